#include "udp/ov_data.h"

#include <concurrentqueue.h>

#include <atomic>
#include <cstring>
#include <new>

namespace UdpProxy {
namespace {

struct OvDataPool {
  moodycamel::ConcurrentQueue<OV_DATA*> free;
  std::atomic<size_t> made{0};

  OvDataPool() {
    // One zeroed block for the first records.
    OV_DATA* block = new OV_DATA[kInitialOvDataRecords]();
    for (size_t i = 0; i < kInitialOvDataRecords; ++i) free.enqueue(&block[i]);
    made.store(kInitialOvDataRecords);
  }
};

void makeReady(OV_DATA* record) { std::memset(static_cast<void*>(record), 0, offsetof(OV_DATA, buffer)); }

// Never destroyed: records may still be held by the system at exit, and a
// pool that outlived its queue would hand out freed memory.
OvDataPool& pool() {
  static OvDataPool* const instance = new OvDataPool;
  return *instance;
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

}  // namespace UdpProxy
