// The data collector: producers take zeroed records from per-type pools, fill
// them and post them; one consumer thread hands each record to the hook and
// returns it to its pool.
//
// Pools are process-wide, filled when the program loads (400 records for UDP
// flow types, 200 for UDP proxy flows, 100 for TCP proxy flows, 50 for DNS, 20
// for the rest) and never shrunk while the program runs: a record allocated
// when a pool ran dry joins the pool when released. They are never destroyed
// at process exit (threads still running then may use them); only an unload
// of the library with nothing in use frees them (releasePools). Acquire, Release and Post are lock-free and
// may be called from any thread.
#pragma once

#include <concurrentqueue.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "collector/dc_events.h"
#include "platform/time.h"

namespace collector {

// Takes a zeroed record of `type` (1 to 17) from its pool, allocating a new
// one when the pool is empty. Null only for a type outside 1 to 17. The header
// is not filled: the producer sets type, id, time and family.
DCEvent* acquireEvent(uint32_t type);

template <typename Record>
Record* acquire() {
  return static_cast<Record*>(acquireEvent(Record::kType));
}

// Zeroes the record and returns it to the pool of its type field; a record
// whose type is outside 1 to 17 is left alone.
void releaseEvent(DCEvent* record);

// Number of free records in the pool of `type` (for tests and diagnostics).
size_t poolSize(uint32_t type);

// Records acquired and not yet released, over all types (for tests and for
// the unload decision below).
int64_t recordsInUseCount();

// Frees every pool and its records, when no record is in use; false (and
// nothing freed) otherwise. Meant for the library's unload, once no engine
// and no thread of the library remain: the pools are otherwise never freed.
// A later acquire fills new pools. Not to be called while any thread may
// acquire, release or post.
bool releasePools();

class DataCollectorEvent {
 public:
  DataCollectorEvent();
  virtual ~DataCollectorEvent();  // stops the consumer; releases what is queued
  DataCollectorEvent(const DataCollectorEvent&) = delete;
  DataCollectorEvent& operator=(const DataCollectorEvent&) = delete;

  // The per-record hook, called on the consumer thread (or on the thread that
  // stops the collector, for the records it drains). Must not keep `record`.
  virtual void onCollectorEvent(const DCEvent& record) { (void)record; }

  // Starts the consumer thread; nothing happens when already collecting.
  void startCollector();
  // Clears `collecting`, joins the consumer, then hands what is still queued
  // to the hook on the calling thread. Nothing happens when not collecting.
  void stopCollector();

  bool collecting() const { return collecting_.load(std::memory_order_acquire) != 0; }

  // Queues a filled record while collecting; otherwise (or when the queue
  // cannot take it) releases it at once. Never blocks. A record posted while
  // stopCollector runs is either released at once or handed to the hook
  // before stopCollector returns: it is never left for the next start.
  void post(DCEvent* record);

 protected:
  // Called inside post() once the record is admitted (the collector was
  // running) and before it is queued. Tests hold a post at this point.
  virtual void postAdmitted() {}

 private:
  void consume();
  void drain();
  // Waits until no post() is between its admission and its queueing.
  void waitForPosts();

  std::atomic<uint8_t> collecting_{0};
  std::atomic<int> postsInProgress_{0};
  moodycamel::ConcurrentQueue<DCEvent*> queue_;
  std::mutex startStopMutex_;
  std::thread consumer_;
};

// The producers' pattern in one step: while `collector` is collecting, a
// record of type `Record` with its header filled (type, id, the calendar
// time, family); null when the collector is stopped.
template <typename Record>
Record* newEvent(const DataCollectorEvent& collector, uint64_t id, uint32_t family) {
  if (!collector.collecting()) return nullptr;
  Record* record = acquire<Record>();
  record->type = Record::kType;
  record->id = id;
  record->time = platform::calendarSeconds();
  record->family = family;
  return record;
}

}  // namespace collector
