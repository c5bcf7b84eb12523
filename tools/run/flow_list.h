// The list of steered flows that `lumo-run --flows` shows each second. The
// engine's exports give only two counters (GetFlow); the flows themselves
// are known to lumo-driver's capture server, which answers a FlowsRequest on
// its capture socket with a FlowsReply (tools/capture/capture_wire.h): each
// TCP connect, UDP socket and ICMP socket of the captured programs, what the
// driver decided for it and what it carried.
//
// The list reads, for example:
//
// lumo: flows (from lumo-driver): 2
//   tcp  curl[1234]  10.0.0.2:40112 -> 203.0.113.5:8000  via relay 127.0.0.1:50001  up 87 B down 8.0 MiB  3s
//   udp  dig[1240]  10.0.0.2:5000 -> 198.51.100.7:53  through the library  up 1 dgrams 40 B down 1 dgrams 56
//   B  1s
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture_wire.h"
#include "descriptor.h"

namespace run {

// "123 B", "12.3 KiB", "4.0 MiB" (also the counter lines').
std::string formatBytes(uint64_t bytes);

struct FlowList {
  uint32_t total = 0;      // flows the driver knew
  bool truncated = false;  // not all of them are in `flows`
  std::vector<capture::wire::FlowRecord> flows;
};

// Checks one packet of `size` bytes from the capture socket: a FlowsReply
// whose records fill it exactly. False, with the reason in `error`, for
// anything else.
bool parseFlowList(const void* packet, size_t size, FlowList& out, std::string& error);

// The head line and one line per flow, as above. Program names are shown
// with control characters replaced by '?'.
std::vector<std::string> flowListLines(const FlowList& list);

// Asks lumo-driver for the list on its capture socket without ever waiting
// for it: ask() sends the request, and the answer is read once the
// descriptor is readable. One connection is kept across requests and made
// again after a failure. Not thread-safe.
class FlowListReader {
 public:
  explicit FlowListReader(std::string socketPath);
  FlowListReader(const FlowListReader&) = delete;
  FlowListReader& operator=(const FlowListReader&) = delete;

  // Sends a request. Returns the lines to show now: one saying why the
  // driver cannot answer (nothing serves the socket, or the previous request
  // is still unanswered), else none.
  std::vector<std::string> ask();

  // The descriptor to wait on for the answer (POLLIN); -1 while none is
  // awaited.
  int descriptor() const;

  // Reads the answer once descriptor() is readable: the list's lines, or one
  // line saying what went wrong (the connection is closed then).
  std::vector<std::string> read();

 private:
  std::vector<std::string> failed(const std::string& why);

  std::string socketPath_;
  Descriptor connection_;
  bool awaiting_ = false;
  std::vector<uint8_t> buffer_;
};

}  // namespace run
