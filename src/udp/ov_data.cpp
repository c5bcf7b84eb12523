#include "udp/ov_data.h"

#include <concurrentqueue.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

namespace UdpProxy {
namespace {

struct OvDataPool {
  moodycamel::ConcurrentQueue<OV_DATA*> free;
  std::atomic<size_t> made{0};
  OV_DATA* block = nullptr;

  OvDataPool() {
    // One zeroed block for the first records.
    block = new OV_DATA[kInitialOvDataRecords]();
    for (size_t i = 0; i < kInitialOvDataRecords; ++i) free.enqueue(&block[i]);
    made.store(kInitialOvDataRecords);
  }
  // Only with every record back in the queue (ReleaseOvDataPool).
  ~OvDataPool() {
    OV_DATA* record = nullptr;
    while (free.try_dequeue(record))
      if (record < block || record >= block + kInitialOvDataRecords) delete record;
    delete[] block;
  }
};

void makeReady(OV_DATA* record) { std::memset(static_cast<void*>(record), 0, offsetof(OV_DATA, buffer)); }

// Never destroyed at exit: records may still be held by the system then, and
// a pool that outlived its queue would hand out freed memory. Only an unload
// of the library with every record back frees it (ReleaseOvDataPool).
std::atomic<OvDataPool*> poolInstance{nullptr};
std::mutex poolLock;

OvDataPool& pool() {
  OvDataPool* p = poolInstance.load(std::memory_order_acquire);
  if (p != nullptr) return *p;
  std::lock_guard<std::mutex> guard(poolLock);
  p = poolInstance.load(std::memory_order_relaxed);
  if (p == nullptr) {
    p = new OvDataPool;
    poolInstance.store(p, std::memory_order_release);
  }
  return *p;
}

// The records are made when the library loads, not at the first send.
[[maybe_unused]] const bool madeAtLoad = (pool(), true);

}  // namespace

OV_DATA* AcquireOvData() {
  OV_DATA* record = nullptr;
  if (pool().free.try_dequeue(record)) return record;
  record = new (std::nothrow) OV_DATA;
  if (record == nullptr) return nullptr;
  makeReady(record);
  pool().made.fetch_add(1);
  return record;
}

void ReleaseOvData(OV_DATA* record) {
  if (record == nullptr) return;
  makeReady(record);
  pool().free.enqueue(record);
}

size_t OvDataRecordsMade() { return pool().made.load(); }
size_t OvDataRecordsFree() { return pool().free.size_approx(); }

bool ReleaseOvDataPool() {
  std::lock_guard<std::mutex> guard(poolLock);
  OvDataPool* p = poolInstance.load(std::memory_order_acquire);
  if (p == nullptr) return true;
  if (p->free.size_approx() != p->made.load()) return false;
  poolInstance.store(nullptr, std::memory_order_release);
  delete p;
  return true;
}

}  // namespace UdpProxy
