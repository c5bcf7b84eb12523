// Event queues and their worker pools. A queue holds which connections have
// something pending, not the records themselves: per connection one 32-bit
// mask of pending record codes, so however many records of a connection
// arrive, one job delivers them all. A connection whose job runs is not
// handed out again until the job completes, which keeps each connection's
// callbacks in order without a lock per connection.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
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
// through) and a stop event.
class WorkerPool {
 public:
  WorkerPool() = default;
  ~WorkerPool() { stop(); }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts `count` threads (fewer than 1: one per processor, at least 1)
  // taking jobs from `source`. False when no thread could be started.
  bool start(ThreadJobSource& source, int count);
  // Signals the stop event and joins every thread.
  void stop();
  // Wakes one waiting worker.
  void wake() { jobEvent_.set(); }

 private:
  void workerMain(ThreadJobSource* source);

  platform::Event jobEvent_{platform::Event::Reset::Automatic};
  platform::Event stopEvent_{platform::Event::Reset::Manual};
  std::vector<std::thread> threads_;
};

// The job a queue hands out: the connection's kind, id and the pending mask
// taken with it. JobT derives from this and implements run().
struct QueuedJob : ThreadJob {
  int kind = 0;
  uint64_t id = 0;
  uint32_t mask = 0;
};

// A queue of connections with pending records, over the job class JobT
// (DrvEvent or DrvEventOut). Its own lock guards everything in it.
class EventQueueBase : public ThreadJobSource {
 public:
  EventQueueBase() = default;
  ~EventQueueBase() override = default;

  // Marks record `code` pending for `id`. A connection already waiting gets
  // the bit added; a new one is appended to the FIFO. Codes of no kind are
  // ignored. Wakes a worker unless the queue is paused. Any thread.
  void push(uint32_t code, uint64_t id);

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
    uint64_t id;
    int kind;
  };

  size_t loadLocked() const { return fifo_.size() + running_[0].size() + running_[1].size(); }

  std::mutex lock_;
  std::deque<Key> fifo_;
  std::unordered_map<uint64_t, uint32_t> pending_[2];
  std::unordered_set<uint64_t> running_[2];
  bool paused_ = false;
  bool strictPause_ = false;
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
