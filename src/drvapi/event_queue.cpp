#include "drvapi/event_queue.h"

#include "platform/sysinfo.h"

namespace drvapi {

namespace {
// Set on worker threads that may run another queue's job inline (see
// EventQueueBase::runOrPush); cleared while they run one, so a callback that
// calls back into the library never runs a second callback inside itself.
thread_local bool tlInlineHost = false;
}  // namespace

int kindOfCode(uint32_t code) {
  switch (code) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 19:
    case 25:
      return kKindTcp;
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
    case 20:
      return kKindUdp;
    default:
      return 0;
  }
}

bool WorkerPool::start(ThreadJobSource& source, int count, bool hostsInline) {
  stop();
  if (count < 1) count = static_cast<int>(platform::processorCount());
  if (count < 1) count = 1;
  jobEvent_.reset();
  stopEvent_.reset();
  for (int i = 0; i < count; ++i) {
    try {
      threads_.emplace_back(&WorkerPool::workerMain, this, &source, hostsInline);
    } catch (...) {
      break;
    }
  }
  return !threads_.empty();
}

void WorkerPool::stop() {
  if (threads_.empty()) return;
  stopping_.store(true);
  stopEvent_.set();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  stopping_.store(false);
}

void WorkerPool::workerMain(ThreadJobSource* source, bool hostsInline) {
  source->threadStarted();
  tlInlineHost = hostsInline;
  // The stop event comes first so that it wins over a pending job.
  platform::Event* events[2] = {&stopEvent_, &jobEvent_};
  for (;;) {
    if (platform::waitAny(events, 2, platform::kInfinite) != 1) break;
    // Jobs are taken until none is eligible; the queue wakes a second worker
    // when more than one is.
    while (!stopping_.load(std::memory_order_relaxed)) {
      ThreadJob* job = source->getNextJob();
      if (job == nullptr) break;
      job->run();
      source->jobCompleted(job);
    }
  }
  tlInlineHost = false;
  source->threadStopped();
}

size_t ConnectionStates::home(uint64_t id) const {
  // A 64-bit mix, so that ids that differ only in their high bits spread too.
  id ^= id >> 33;
  id *= 0xff51afd7ed558ccdULL;
  id ^= id >> 33;
  return static_cast<size_t>(id) & (slots_.size() - 1);
}

ConnectionStates::State* ConnectionStates::find(uint64_t id) {
  if (size_ == 0) return nullptr;
  const size_t mask = slots_.size() - 1;
  for (size_t i = home(id);; i = (i + 1) & mask) {
    State& s = slots_[i];
    if (!s.used) return nullptr;
    if (s.id == id) return &s;
  }
}

ConnectionStates::State& ConnectionStates::findOrAdd(uint64_t id) {
  if (State* s = find(id)) return *s;
  if ((size_ + 1) * 2 > slots_.size()) grow();
  const size_t mask = slots_.size() - 1;
  size_t i = home(id);
  while (slots_[i].used) i = (i + 1) & mask;
  slots_[i] = State{id, 0, false, true};
  ++size_;
  return slots_[i];
}

void ConnectionStates::erase(State* state) {
  const size_t mask = slots_.size() - 1;
  size_t hole = static_cast<size_t>(state - slots_.data());
  // Backward shift: every later entry of the same probe run that may move
  // into the hole does, so look-ups never need tombstones.
  for (size_t i = (hole + 1) & mask; slots_[i].used; i = (i + 1) & mask) {
    const size_t want = home(slots_[i].id);
    // Movable when its home is not in the cyclic range (hole, i].
    const bool homeAfterHole = hole <= i ? (hole < want && want <= i) : (hole < want || want <= i);
    if (!homeAfterHole) {
      slots_[hole] = slots_[i];
      hole = i;
    }
  }
  slots_[hole] = State{};
  --size_;
}

void ConnectionStates::clear() {
  for (State& s : slots_) s = State{};
  size_ = 0;
}

void ConnectionStates::grow() {
  std::vector<State> old(slots_.empty() ? 16 : slots_.size() * 2);
  old.swap(slots_);
  size_ = 0;
  for (const State& s : old) {
    if (!s.used) continue;
    State& added = findOrAdd(s.id);
    added = s;
  }
}

EventQueueBase::~EventQueueBase() {
  for (QueuedJob* job : spareJobs_) delete job;
}

void EventQueueBase::push(uint32_t code, uint64_t id) {
  const int kind = kindOfCode(code);
  if (kind == 0) return;
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ConnectionStates::State& state = states_[kind - 1].findOrAdd(id);
    if (state.mask == 0) {
      fifo_.pushBack({id, kind});
      // A connection whose job runs is picked up by that worker when the
      // job completes; only one that can run now needs a wake-up.
      if (!state.running) {
        ++ready_;
        wake = !paused_;
      }
    }
    state.mask |= 1u << code;
  }
  if (wake) pool_.wake();
}

ThreadJob* EventQueueBase::getNextJob() {
  QueuedJob* job = nullptr;
  bool more = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (paused_ && strictPause_) return nullptr;  // resume() wakes a worker again
    for (size_t i = 0; i < fifo_.size();) {
      const Key key = fifo_.at(i);
      ConnectionStates::State* state = states_[key.kind - 1].find(key.id);
      if (state != nullptr && state->running) {
        ++i;
        continue;
      }
      if (state == nullptr || state->mask == 0) {
        fifo_.erase(i);
        continue;
      }
      job = takeSpareLocked();
      job->inlined = false;
      job->kind = key.kind;
      job->id = key.id;
      job->mask = state->mask;
      state->mask = 0;
      state->running = true;
      ++running_;
      --ready_;
      fifo_.erase(i);
      break;
    }
    // Let another worker take what else can run, so different connections
    // run in parallel rather than one after the other.
    more = job != nullptr && ready_ > 0 && !paused_;
  }
  if (more) pool_.wake();
  return job;
}

QueuedJob* EventQueueBase::takeSpareLocked() {
  QueuedJob* job = nullptr;
  if (spareJobs_.empty()) {
    job = makeJob();
  } else {
    job = spareJobs_.back();
    spareJobs_.pop_back();
  }
  job->generation = generation_;
  return job;
}

QueuedJob* EventQueueBase::claimOrPush(uint32_t code, uint64_t id) {
  const int kind = kindOfCode(code);
  if (kind == 0) return nullptr;
  QueuedJob* job = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ConnectionStates::State* state = open_ ? states_[kind - 1].find(id) : nullptr;
    if (open_ && state == nullptr) {
      ConnectionStates::State& added = states_[kind - 1].findOrAdd(id);
      added.running = true;
      ++running_;
      ++claimed_;
      job = takeSpareLocked();
      job->inlined = true;
      job->kind = kind;
      job->id = id;
      job->mask = 1u << code;
    }
  }
  if (job == nullptr) push(code, id);
  return job;
}

void EventQueueBase::finishClaimed(QueuedJob* job) {
  jobCompleted(job);
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // What was pushed for the connection meanwhile woke nobody: it waited
    // for this job to end.
    wake = ready_ > 0 && !paused_;
    if (--claimed_ == 0) claimsDone_.notify_all();
  }
  if (wake) pool_.wake();
}

void EventQueueBase::runOrPush(uint32_t code, uint64_t id) {
  if (!tlInlineHost) {
    push(code, id);
    return;
  }
  QueuedJob* job = claimOrPush(code, id);
  if (job == nullptr) return;
  tlInlineHost = false;
  job->run();
  tlInlineHost = true;
  finishClaimed(job);
}

void EventQueueBase::jobCompleted(ThreadJob* base) {
  QueuedJob* job = static_cast<QueuedJob*>(base);
  {
    std::lock_guard<std::mutex> guard(lock_);
    ConnectionStates& states = states_[job->kind - 1];
    if (ConnectionStates::State* state = states.find(job->id);
        job->generation == generation_ && state != nullptr && state->running) {
      state->running = false;
      --running_;
      // What came for it meanwhile waits in the FIFO and can run now (this
      // worker asks for it next); with nothing, the connection leaves the table.
      if (state->mask != 0)
        ++ready_;
      else
        states.erase(state);
    }
    spareJobs_.push_back(job);
  }
  progress_.set();
}

void EventQueueBase::threadStarted() {
  if (handler_ != nullptr) handler_->threadStart();
}

void EventQueueBase::threadStopped() {
  if (handler_ != nullptr) handler_->threadEnd();
}

void EventQueueBase::pause() {
  std::lock_guard<std::mutex> guard(lock_);
  paused_ = true;
}

void EventQueueBase::resume() {
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    paused_ = false;
    wake = ready_ > 0;
  }
  if (wake) pool_.wake();
}

size_t EventQueueBase::load() {
  std::lock_guard<std::mutex> guard(lock_);
  return loadLocked();
}

void EventQueueBase::drain(size_t limit, platform::Event& stop) {
  platform::Event* events[2] = {&stop, &progress_};
  while (load() > limit) {
    if (platform::waitAny(events, 2, 10000) == 0) return;
  }
}

bool EventQueueBase::start(int threads, DRV_EventHandler* handler) {
  pool_.stop();
  handler_ = handler;
  clear();  // whatever a previous run left is not this run's business
  {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
  }
  return pool_.start(*this, threads, hostsInline_);
}

void EventQueueBase::stop() {
  {
    // No new claims; the ones being run finish before the queue is cleared
    // (their records may live in memory that is freed after a stop).
    std::unique_lock<std::mutex> guard(lock_);
    open_ = false;
    claimsDone_.wait(guard, [this] { return claimed_ == 0; });
  }
  pool_.stop();
  clear();
}

void EventQueueBase::clear() {
  std::lock_guard<std::mutex> guard(lock_);
  fifo_.clear();
  states_[0].clear();
  states_[1].clear();
  running_ = 0;
  ready_ = 0;
  paused_ = false;
  ++generation_;
}

}  // namespace drvapi
