// Pieces of the driver's records that every live carrier of traffic (the
// in-process live modes and the capture server of real programs) builds or
// reads the same way: address fields, the parts of a datagram record, and
// the options a kind-2 driver reports with each datagram.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net.h"
#include "sim_driver.h"

namespace simdrv {

// A kind-2 driver tells the flow's local address at this offset of the
// options of every datagram it reports; the options are then this long.
inline constexpr size_t kLocalAddressOption = 32;
inline constexpr size_t kKind2OptionsLength = kLocalAddressOption + sizeof(platform::SocketAddress28);

// The 28-byte driver field of `address` (zeros for an unknown family).
platform::SocketAddress28 addressField(const platform::SocketAddress& address);

// A family-2 field of an IPv4 address and port, both in network order.
platform::SocketAddress28 ipv4Field(uint32_t addressNet, uint16_t portNet = 0);

// The options a driver of `kind` reports with a datagram of the flow bound to
// `local`: for kind 2 the local address at kLocalAddressOption, else none.
std::string datagramOptions(std::optional<uint32_t> kind, const platform::SocketAddress28& local);

// The parts of a datagram record the library wrote (codes 10 and 11):
//   0 remoteAddress[28] | 28 options.flags | 32 options.optionsLength (n) |
//   36 options data[n] | 36+n datagram
// `datagram` points into `payload`. False when the lengths do not add up.
bool parseDatagramRecord(const std::vector<uint8_t>& payload, platform::SocketAddress28& remote,
                         std::string_view& datagram);

}  // namespace simdrv
