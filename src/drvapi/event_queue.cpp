#include "drvapi/event_queue.h"

#include "platform/sysinfo.h"

namespace drvapi {

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

bool WorkerPool::start(ThreadJobSource& source, int count) {
  stop();
  if (count < 1) count = static_cast<int>(platform::processorCount());
  if (count < 1) count = 1;
  jobEvent_.reset();
  stopEvent_.reset();
  for (int i = 0; i < count; ++i) {
    try {
      threads_.emplace_back(&WorkerPool::workerMain, this, &source);
    } catch (...) {
      break;
    }
  }
  return !threads_.empty();
}

void WorkerPool::stop() {
  if (threads_.empty()) return;
  stopEvent_.set();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

void WorkerPool::workerMain(ThreadJobSource* source) {
  source->threadStarted();
  // The stop event comes first so that it wins over a pending job.
  platform::Event* events[2] = {&stopEvent_, &jobEvent_};
  for (;;) {
    if (platform::waitAny(events, 2, platform::kInfinite) != 1) break;
    ThreadJob* job = source->getNextJob();
    if (job == nullptr) continue;
    job->run();
    source->jobCompleted(job);
  }
  source->threadStopped();
}

void EventQueueBase::push(uint32_t code, uint64_t id) {
  const int kind = kindOfCode(code);
  if (kind == 0) return;
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto& pending = pending_[kind - 1];
    auto it = pending.find(id);
    if (it != pending.end()) {
      it->second |= 1u << code;
    } else {
      pending.emplace(id, 1u << code);
      fifo_.push_back({id, kind});
    }
    wake = !paused_;
  }
  if (wake) pool_.wake();
}

ThreadJob* EventQueueBase::getNextJob() {
  QueuedJob* job = nullptr;
  bool more = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (paused_ && strictPause_) return nullptr;  // resume() wakes a worker again
    for (auto it = fifo_.begin(); it != fifo_.end();) {
      const int k = it->kind - 1;
      if (running_[k].count(it->id) != 0) {
        ++it;
        continue;
      }
      auto p = pending_[k].find(it->id);
      if (p == pending_[k].end()) {
        it = fifo_.erase(it);
        continue;
      }
      job = makeJob();
      job->kind = it->kind;
      job->id = it->id;
      job->mask = p->second;
      pending_[k].erase(p);
      running_[k].insert(it->id);
      fifo_.erase(it);
      break;
    }
    // Let another worker look at what is left, so different connections run
    // in parallel rather than one after the other.
    more = job != nullptr && !fifo_.empty() && !paused_;
  }
  if (more) pool_.wake();
  return job;
}

void EventQueueBase::jobCompleted(ThreadJob* base) {
  QueuedJob* job = static_cast<QueuedJob*>(base);
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    running_[job->kind - 1].erase(job->id);
    wake = !paused_ && !fifo_.empty();
  }
  delete job;
  progress_.set();
  if (wake) pool_.wake();
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
    wake = !fifo_.empty();
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
  return pool_.start(*this, threads);
}

void EventQueueBase::stop() {
  pool_.stop();
  clear();
}

void EventQueueBase::clear() {
  std::lock_guard<std::mutex> guard(lock_);
  fifo_.clear();
  pending_[0].clear();
  pending_[1].clear();
  running_[0].clear();
  running_[1].clear();
  paused_ = false;
}

}  // namespace drvapi
