// Inside the driver interface library: what the reader thread, the TCP and
// UDP jobs and flow control share. Not for use outside src/drvapi.
#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>

#include "drvapi/library.h"

namespace drvapi::detail {

// The library lock, held by a job that leaves it around each handler
// callback, record write and queue push.
using Guard = std::unique_lock<RecursiveLock>;

// A record code's bit in a job's mask of pending codes.
constexpr uint32_t bit(uint32_t code) { return 1u << code; }

// A 32-bit field at any alignment of a record's payload.
inline uint32_t readU32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The jobs of the two queues for one connection or flow: delivering its
// pending records to the handler (`mask` holds their codes' bits), and
// writing its queued injections when the driver asks for them. A job of a
// connection never overlaps another of the same connection and queue.
void runTcpEvent(uint64_t id, uint32_t mask);
void runTcpEventOut(uint64_t id, uint32_t mask);
void runUdpEvent(uint64_t id, uint32_t mask);
void runUdpEventOut(uint64_t id, uint32_t mask);

// What a verdict's write, or its failure, means for the entry (see
// tcp_events.cpp); the maintenance writes verdicts too. Under the library
// lock, held through `lk`.
void afterVerdict(Guard& lk, uint64_t id, const TcpConnInfo& verdict, bool written);

}  // namespace drvapi::detail
