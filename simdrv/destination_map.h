// Where the simulated driver's live modes let traffic go: loopback as it is,
// documentation addresses to a local server (like the reference node's
// --map), nothing else, so no test ever sends a packet off the machine.
#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/net.h"

namespace simdrv {

class DestinationMap {
 public:
  // Carries addresses in `cidr` ("203.0.113.0/24", or one address) to
  // `localAddress` (a 127.x.y.z address), keeping the port. False for
  // unparsable text or a target outside loopback. Any thread.
  bool add(std::string_view cidr, std::string_view localAddress);

  // Where traffic for `in` really goes: a loopback address (127.0.0.0/8,
  // ::1) as it is; an IPv4 address, or an IPv4-mapped IPv6 one, inside a
  // mapped network to that network's loopback target with the same port
  // (first entry added wins). False, with `out` untouched, for anything
  // else: such traffic is refused. Any thread.
  bool resolve(const platform::SocketAddress& in, platform::SocketAddress& out) const;

  static bool isLoopback(const platform::SocketAddress& address);

 private:
  struct Entry {
    uint32_t network = 0;  // network order
    uint32_t mask = 0;     // network order
    uint32_t target = 0;   // network order
  };
  mutable std::mutex lock_;
  std::vector<Entry> entries_;
};

}  // namespace simdrv
