// Event queues and their worker pools. A queue holds which connections have
// something pending, not the records themselves: per connection one 32-bit
// mask of pending record codes, so however many records of a connection
// arrive, one job delivers them all. A connection whose job runs is not
// handed out again until the job completes, which keeps each connection's
// callbacks in order without a lock per connection.
//
// Nothing here allocates per record in steady traffic: the per-connection
// state lives in an open-addressing table and the FIFO in a ring, both of
// which only grow, and job records are kept for reuse once they complete.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "drvapi/event_handler.h"
#include "platform/event.h"

namespace drvapi {

// A unit of work that a worker thread runs.
class ThreadJob {
 public:
  virtual ~ThreadJob() = default;
  virtual void run() = 0;
};

// Where worker threads get their jobs from.
class ThreadJobSource {
 public:
  virtual ~ThreadJobSource() = default;
  // The next job to run, or null when nothing is eligible. The caller runs
  // it and hands it back through jobCompleted().
  virtual ThreadJob* getNextJob() = 0;
  virtual void jobCompleted(ThreadJob* job) = 0;
  // Called on each worker thread when it starts and before it ends.
  virtual void threadStarted() = 0;
  virtual void threadStopped() = 0;
};

// Connection kinds of queue entries.
inline constexpr int kKindTcp = 1;
inline constexpr int kKindUdp = 2;

// The kind a record code is queued under: TCP for 0-5, 19 and 25, UDP for
// 8-13 and 20, 0 (not queued) for anything else.
int kindOfCode(uint32_t code);

// Worker threads that wait on a job event (one wake-up lets one worker
// through) and a stop event. A worker that finished a job asks for the next
// one before it waits again, so a stream of jobs runs on the thread that is
// already awake rather than being handed to a sleeping one.
class WorkerPool {
 public:
  WorkerPool() = default;
  ~WorkerPool() { stop(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts `count` threads (fewer than 1: one per processor, at least 1)
  // taking jobs from `source`. False when no thread could be started.
  bool start(ThreadJobSource& source, int count, bool hostsInline = false);
  // Signals the stop event and joins every thread.
  void stop();
  // Wakes one waiting worker.
  void wake() { jobEvent_.set(); }

 private:
  void workerMain(ThreadJobSource* source, bool hostsInline);

  platform::Event jobEvent_{platform::Event::Reset::Automatic};
  platform::Event stopEvent_{platform::Event::Reset::Manual};
  std::atomic<bool> stopping_{false};  // raised with stopEvent_, read between jobs
  std::vector<std::thread> threads_;
};

// The job a queue hands out: the connection's kind, id and the pending mask
// taken with it. JobT derives from this and implements run().
struct QueuedJob : ThreadJob {
  int kind = 0;
  uint64_t id = 0;
  uint32_t mask = 0;
  uint64_t generation = 0;  // the queue's generation when it was handed out
  bool inlined = false;     // run by the thread that claimed it, not a worker
};

// The queue's state per connection of one kind: the record codes pending for
// it (non-zero exactly while it waits in the FIFO) and whether its job runs.
// Open addressing with linear probing and backward-shift removal; the slots
// only ever grow (to keep the load at most one half), so finding, adding and
// removing connections allocates nothing once the table is big enough.
class ConnectionStates {
 public:
  struct State {
    uint64_t id = 0;
    uint32_t mask = 0;
    bool running = false;
    bool used = false;
  };

  // The state of `id`, or null.
  State* find(uint64_t id);
  // The state of `id`, added (mask 0, not running) when it had none. The
  // pointer holds until the next add or removal.
  State& findOrAdd(uint64_t id);
  // Removes a state that find/findOrAdd returned.
  void erase(State* state);
  void clear();
  size_t size() const { return size_; }
  // Slots allocated (for tests: the table does not shrink or churn).
  size_t capacity() const { return slots_.size(); }

 private:
  size_t home(uint64_t id) const;
  void grow();

  std::vector<State> slots_;
  size_t size_ = 0;
};

// A first-in first-out list of values in a ring that only grows; removal
// from the middle closes the gap by moving the later entries forward.
template <class T>
class Ring {
 public:
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  T& at(size_t i) { return slots_[(head_ + i) & (slots_.size() - 1)]; }
  void pushBack(const T& value) {
    if (count_ == slots_.size()) grow();
    slots_[(head_ + count_) & (slots_.size() - 1)] = value;
    ++count_;
  }
  // Removes the i-th entry (0 is the oldest), keeping the order of the rest.
  void erase(size_t i) {
    if (i == 0) {
      head_ = (head_ + 1) & (slots_.size() - 1);
    } else {
      for (size_t j = i; j + 1 < count_; ++j) at(j) = at(j + 1);
    }
    --count_;
  }
  void clear() { head_ = count_ = 0; }

 private:
  void grow() {
    std::vector<T> grown(slots_.empty() ? 16 : slots_.size() * 2);
    for (size_t i = 0; i < count_; ++i) grown[i] = at(i);
    slots_.swap(grown);
    head_ = 0;
  }

  std::vector<T> slots_;  // a power of two in size
  size_t head_ = 0, count_ = 0;
};

// A queue of connections with pending records, over the job class JobT
// (DrvEvent or DrvEventOut). Its own lock guards everything in it.
class EventQueueBase : public ThreadJobSource {
 public:
  EventQueueBase() = default;
  ~EventQueueBase() override;

  // Marks record `code` pending for `id`. A connection already waiting gets
  // the bit added; a new one is appended to the FIFO. Codes of no kind are
  // ignored. Wakes a worker unless the queue is paused or the connection
  // already waits or has its job running (that worker takes it next). Any
  // thread.
  void push(uint32_t code, uint64_t id);

  // Like push(), but when the connection has nothing queued or running here
  // and the queue is open, its job is handed to the caller at once instead
  // of waking a worker: the caller runs it (with no lock held) and hands it
  // back through finishClaimed(). The connection counts as running in
  // between, so its jobs still never overlap and stay in order. Null when the
  // record was queued instead.
  QueuedJob* claimOrPush(uint32_t code, uint64_t id);
  void finishClaimed(QueuedJob* job);
  // claimOrPush, then running and finishing what was claimed, but only on a
  // thread that may make handler callbacks outside a callback (see
  // allowInlineCallbacks); elsewhere the same as push().
  void runOrPush(uint32_t code, uint64_t id);
  // Marks this queue's worker threads as hosts of jobs of other queues run
  // through runOrPush (their handler threadStart has been called). Before
  // start().
  void setHostsInlineJobs(bool hosts) { hostsInline_ = hosts; }

  ThreadJob* getNextJob() override;
  void jobCompleted(ThreadJob* job) override;
  void threadStarted() override;
  void threadStopped() override;

  // While paused, completions and pushes do not wake further workers. A
  // strict queue also hands out no job while paused, so that everything a
  // batch queues for one connection is handled by one job.
  void setStrictPause(bool strict) { strictPause_ = strict; }
  void pause();
  // Un-pauses and wakes a worker when anything is waiting.
  void resume();

  // Waits while more than `limit` connections are queued or running,
  // looking again on every completion and at least every 10 seconds; returns
  // early when `stop` is signalled.
  void drain(size_t limit, platform::Event& stop);

  // Forgets anything queued and starts the worker pool; `handler` receives
  // threadStart/threadEnd.
  bool start(int threads, DRV_EventHandler* handler);
  // Stops the pool and forgets everything queued.
  void stop();
  // Forgets everything queued. Only while the pool is stopped (stop() and
  // freeDriver).
  void clear();

  // Connections queued plus running (for tests and drain).
  size_t load();

 protected:
  virtual QueuedJob* makeJob() = 0;

 private:
  struct Key {
    uint64_t id = 0;
    int kind = 0;
  };

  size_t loadLocked() const { return fifo_.size() + running_; }
  QueuedJob* takeSpareLocked();

  std::mutex lock_;
  Ring<Key> fifo_;
  ConnectionStates states_[2];  // per kind
  size_t running_ = 0;          // jobs handed out and not completed
  size_t ready_ = 0;            // FIFO entries whose connection has no job running
  // Completed job records, handed out again before new ones are made (at
  // most one per worker is ever made).
  std::vector<QueuedJob*> spareJobs_;
  bool paused_ = false;
  bool strictPause_ = false;
  bool open_ = false;  // started and not stopping: claims are allowed
  bool hostsInline_ = false;
  uint64_t generation_ = 0;  // raised by clear(): older jobs are forgotten
  size_t claimed_ = 0;       // claimed jobs not yet finished
  std::condition_variable claimsDone_;
  platform::Event progress_{platform::Event::Reset::Automatic};
  WorkerPool pool_;
  DRV_EventHandler* handler_ = nullptr;
};

template <class JobT>
class EventQueue final : public EventQueueBase {
 public:
  ~EventQueue() override { stop(); }

 protected:
  QueuedJob* makeJob() override { return new JobT(); }
};

}  // namespace drvapi
