// The UDP proxy's overlapped records and their process-wide pool.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/completion.h"
#include "platform/net.h"
#include "udp/tunnel_header.h"

namespace UdpProxy {

// What a record is doing while the port holds it.
inline constexpr uint32_t kOperationSend = 3;
inline constexpr uint32_t kOperationReceive = 4;

// One outstanding send or receive of a flow socket. The platform header comes
// first, so that a completion's record pointer is the OV_DATA.
struct OV_DATA {
  platform::Overlapped overlapped;
  uint64_t flowId;
  uint32_t operation;                   // kOperationSend or kOperationReceive
  uint32_t kind;                        // 0 datagram, 2 ICMP
  platform::SocketAddress fromAddress;  // a receive's source
  int32_t fromAddressLength;            // 128 before a receive
  uint8_t buffer[kTunnelRecordBuffer];  // a send's header and payload, or the received datagram
};
static_assert(offsetof(OV_DATA, overlapped) == 0);
static_assert(sizeof(OV_DATA::buffer) == kTunnelRecordBuffer);

// The number of records made when the library loads.
inline constexpr size_t kInitialOvDataRecords = 20;

// Takes a free record, ready for use (everything before `buffer` zeroed).
// When none is free a new one is made; null only when that allocation fails.
// Records go back to the heap only with the pool (ReleaseOvDataPool). Any
// thread, lock-free.
OV_DATA* AcquireOvData();
// Makes the record ready again and puts it back. Any thread, lock-free.
void ReleaseOvData(OV_DATA* record);

// Records made since load (kInitialOvDataRecords plus every one made because
// the pool was empty), and records free now (exact only while no thread
// takes or returns one). For counting leaks and growth.
size_t OvDataRecordsMade();
size_t OvDataRecordsFree();

// Frees the pool and all its records when every record made is back in it
// (true), for the library's unload once no engine remains; false, freeing
// nothing, while any record is still out. A later AcquireOvData makes a new
// pool. Not to be called while another thread may take or return a record.
bool ReleaseOvDataPool();

}  // namespace UdpProxy
