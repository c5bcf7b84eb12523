#include "collector/data_collector.h"

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
// that is never deleted, so a record released during static destruction still
// finds its pool, and leak checkers see every pooled record as reachable.
struct Pools {
  moodycamel::ConcurrentQueue<DCEvent*> free[kLastEventType + 1];

  Pools() {
    for (uint32_t type = kFirstEventType; type <= kLastEventType; ++type)
      for (size_t i = 0; i < initialStock(type); ++i) free[type].enqueue(allocateZeroed(type));
  }
};

Pools& pools() {
  static Pools* instance = new Pools();
  return *instance;
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
  if (pools().free[type].try_dequeue(record)) return record;
  return allocateZeroed(type);
}

void releaseEvent(DCEvent* record) {
  if (record == nullptr) return;
  const uint32_t type = record->type;
  if (type < kFirstEventType || type > kLastEventType) return;
  std::memset(static_cast<void*>(record), 0, kSizes[type]);
  pools().free[type].enqueue(record);
}

size_t poolSize(uint32_t type) {
  if (type < kFirstEventType || type > kLastEventType) return 0;
  return pools().free[type].size_approx();
}

DataCollectorEvent::DataCollectorEvent() = default;

DataCollectorEvent::~DataCollectorEvent() {
  // The derived hook is gone by now: stop without it, returning the records.
  if (collecting()) {
    collecting_.store(0, std::memory_order_release);
    if (consumer_.joinable()) consumer_.join();
  }
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
  collecting_.store(0, std::memory_order_release);
  if (consumer_.joinable()) consumer_.join();
  drain();
}

void DataCollectorEvent::post(DCEvent* record) {
  if (record == nullptr) return;
  if (!collecting() || !queue_.enqueue(record)) releaseEvent(record);
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
