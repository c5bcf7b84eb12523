#include "destination_map.h"

#include <cstring>

namespace simdrv {
namespace {

// The IPv4 address inside an IPv4-mapped IPv6 address, or 0.
uint32_t mappedIpv4(const platform::SocketAddress& a) {
  static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (a.family() != platform::kFamilyIpv6 || std::memcmp(a.ipv6(), prefix, 12) != 0) return 0;
  uint32_t v;
  std::memcpy(&v, a.ipv6() + 12, 4);
  return v;
}

}  // namespace

bool DestinationMap::isLoopback(const platform::SocketAddress& a) {
  if (a.family() == platform::kFamilyIpv4) return (platform::netToHost32(a.ipv4()) >> 24) == 127;
  if (a.family() == platform::kFamilyIpv6) {
    static const uint8_t loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(a.ipv6(), loopback6, 16) == 0;
  }
  return false;
}

bool DestinationMap::add(std::string_view cidr, std::string_view localAddress) {
  Entry e;
  uint32_t prefix = 0;
  if (!platform::parseIpv4Network(cidr, e.network, prefix) || !platform::parseIpv4(localAddress, e.target) ||
      (platform::netToHost32(e.target) >> 24) != 127)
    return false;
  e.mask = prefix == 0 ? 0 : platform::hostToNet32(0xFFFFFFFFu << (32 - prefix));
  e.network &= e.mask;
  std::lock_guard<std::mutex> lock(lock_);
  entries_.push_back(e);
  return true;
}

bool DestinationMap::resolve(const platform::SocketAddress& in, platform::SocketAddress& out) const {
  if (isLoopback(in)) {
    out = in;
    return true;
  }
  const uint32_t address = in.family() == platform::kFamilyIpv4 ? in.ipv4() : mappedIpv4(in);
  if (address == 0) return false;
  std::lock_guard<std::mutex> lock(lock_);
  for (const Entry& e : entries_) {
    if ((address & e.mask) == e.network) {
      out = platform::makeIpv4Address(e.target, in.port());
      return true;
    }
  }
  return false;
}

}  // namespace simdrv
