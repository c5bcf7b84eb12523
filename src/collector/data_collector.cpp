#include "collector/data_collector.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/time.h"

namespace collector {
namespace {

constexpr size_t kSizes[kLastEventType + 1] = {
    0,
    sizeof(DCTcpConnectRequestEvent),
    sizeof(DCTcpClosedEvent),
    sizeof(DCUdpCreatedEvent),
    sizeof(DCUdpFlowUpEvent),
    sizeof(DCUdpFlowDownEvent),
    sizeof(DCUdpClosedEvent),
    sizeof(DCTcpForwardEvent),
    sizeof(DCTcpProxyBeginEvent),
    sizeof(DCTcpProxyFlowUpEvent),
    sizeof(DCTcpProxyFlowDownEvent),
    sizeof(DCTcpProxyEndEvent),
    sizeof(DCUdpProxyBeginEvent),
    sizeof(DCUdpProxyFlowUpEvent),
    sizeof(DCUdpProxyFlowDownEvent),
    sizeof(DCUdpProxyEndEvent),
    sizeof(DCDnsRequestEvent),
    sizeof(DCDnsResponseEvent),
};

size_t initialStock(uint32_t type) {
  switch (type) {
    case kUdpFlowUp:
    case kUdpFlowDown:
      return 400;
    case kUdpProxyFlowUp:
    case kUdpProxyFlowDown:
      return 200;
    case kTcpProxyFlowUp:
    case kTcpProxyFlowDown:
      return 100;
    case kDnsRequest:
    case kDnsResponse:
      return 50;
    default:
      return 20;
  }
}

DCEvent* allocateZeroed(uint32_t type) {
  // calloc: zero-filled, suitably aligned for the packed plain-data records.
  void* block = std::calloc(1, kSizes[type]);
  if (block == nullptr) throw std::bad_alloc();
  return static_cast<DCEvent*>(block);
}

// The pools live for the whole process. They are reached through a pointer
// that is never deleted while the process runs, so a record released during
// static destruction (or by a thread still running at process exit) still
// finds its pool, and leak checkers see every pooled record as reachable.
// Only releasePools() frees them, when the library is unloaded with no engine
// and no record in use.
struct Pools {
  moodycamel::ConcurrentQueue<DCEvent*> free[kLastEventType + 1];

  Pools() {
    for (uint32_t type = kFirstEventType; type <= kLastEventType; ++type)
      for (size_t i = 0; i < initialStock(type); ++i) free[type].enqueue(allocateZeroed(type));
  }
  ~Pools() {
    DCEvent* record = nullptr;
    for (auto& pool : free)
      while (pool.try_dequeue(record)) std::free(record);
  }
};

std::atomic<Pools*> poolsInstance{nullptr};
std::mutex poolsLock;
// Records acquired and not yet released (or freed).
std::atomic<int64_t> recordsInUse{0};

Pools& pools() {
  Pools* p = poolsInstance.load(std::memory_order_acquire);
  if (p != nullptr) return *p;
  std::lock_guard<std::mutex> guard(poolsLock);
  p = poolsInstance.load(std::memory_order_relaxed);
  if (p == nullptr) {
    p = new Pools();
    poolsInstance.store(p, std::memory_order_release);
  }
  return *p;
}

// Fill the pools when the program (or library) loads, not on the first post.
[[maybe_unused]] const bool poolsFilledAtLoad = (pools(), true);

}  // namespace

void DCText::assign(std::string_view value) {
  const size_t n = value.size() < 255 ? value.size() : 255;
  std::memcpy(text, value.data(), n);
  text[n] = '\0';
  length = static_cast<uint32_t>(n);
}

size_t eventSize(uint32_t type) {
  return type >= kFirstEventType && type <= kLastEventType ? kSizes[type] : 0;
}

DCEvent* acquireEvent(uint32_t type) {
  if (type < kFirstEventType || type > kLastEventType) return nullptr;
  DCEvent* record = nullptr;
  if (!pools().free[type].try_dequeue(record)) record = allocateZeroed(type);
  recordsInUse.fetch_add(1, std::memory_order_relaxed);
  return record;
}

void releaseEvent(DCEvent* record) {
  if (record == nullptr) return;
  const uint32_t type = record->type;
  if (type < kFirstEventType || type > kLastEventType) return;
  std::memset(static_cast<void*>(record), 0, kSizes[type]);
  // A queue that cannot grow any more gives the record back to the heap.
  if (!pools().free[type].enqueue(record)) std::free(record);
  recordsInUse.fetch_sub(1, std::memory_order_relaxed);
}

int64_t recordsInUseCount() { return recordsInUse.load(std::memory_order_acquire); }

bool releasePools() {
  std::lock_guard<std::mutex> guard(poolsLock);
  if (recordsInUse.load(std::memory_order_acquire) != 0) return false;
  delete poolsInstance.exchange(nullptr, std::memory_order_acq_rel);
  return true;
}

size_t poolSize(uint32_t type) {
  if (type < kFirstEventType || type > kLastEventType) return 0;
  return pools().free[type].size_approx();
}

DataCollectorEvent::DataCollectorEvent() = default;

DataCollectorEvent::~DataCollectorEvent() {
  // The derived hook is gone by now: stop without it, returning the records.
  if (collecting()) {
    collecting_.store(0, std::memory_order_seq_cst);
    if (consumer_.joinable()) consumer_.join();
  }
  waitForPosts();
  DCEvent* record = nullptr;
  while (queue_.try_dequeue(record)) releaseEvent(record);
}

void DataCollectorEvent::startCollector() {
  if (collecting()) return;
  std::lock_guard<std::mutex> lock(startStopMutex_);
  if (collecting()) return;
  collecting_.store(1, std::memory_order_release);
  consumer_ = std::thread([this] { consume(); });
}

void DataCollectorEvent::stopCollector() {
  if (!collecting()) return;
  std::lock_guard<std::mutex> lock(startStopMutex_);
  if (!collecting()) return;
  collecting_.store(0, std::memory_order_seq_cst);
  if (consumer_.joinable()) consumer_.join();
  waitForPosts();
  drain();
}

void DataCollectorEvent::waitForPosts() {
  // A post that saw `collecting` set before it was cleared may still be on
  // its way into the queue; the last drain must come after it, or its record
  // would wait in the queue and be counted after the next start. Posts take
  // no lock and finish in a moment, so the wait only yields.
  while (postsInProgress_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

void DataCollectorEvent::post(DCEvent* record) {
  if (record == nullptr) return;
  // Announced before `collecting` is read: the stop sequence clears
  // `collecting` and then reads this count (both sequentially consistent), so
  // either this post sees the collector stopped or the stop waits for it.
  postsInProgress_.fetch_add(1, std::memory_order_seq_cst);
  bool queued = false;
  if (collecting_.load(std::memory_order_seq_cst) != 0) {
    postAdmitted();
    queued = queue_.enqueue(record);
  }
  postsInProgress_.fetch_sub(1, std::memory_order_seq_cst);
  if (!queued) releaseEvent(record);
}

void DataCollectorEvent::drain() {
  DCEvent* record = nullptr;
  while (queue_.try_dequeue(record)) {
    onCollectorEvent(*record);
    releaseEvent(record);
  }
}

void DataCollectorEvent::consume() {
  while (collecting()) {
    drain();
    platform::sleepMs(10);
  }
}

}  // namespace collector
