// The 28-byte socket address of the rule tables and the host map.
//
// Layout (the driver's and the engine's, whatever the system):
//   IPv4: 0 u16 family 2 (little-endian) | 2 port | 4 address | 8 zero bytes | 16..27 zero
//   IPv6: 0 u16 family 23 | 2 port | 4 flow info | 8 address (16 bytes) | 24 scope id
// Ports and addresses are in network byte order. Values compare byte-wise, so
// every IPv4 address orders before every IPv6 one.
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <cstring>

namespace rules {

inline constexpr uint16_t kFamilyIpv4 = 2;
inline constexpr uint16_t kFamilyIpv6 = 23;

static_assert(std::endian::native == std::endian::little, "the engine's targets are little-endian");
constexpr uint16_t HostToNet16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
constexpr uint32_t HostToNet32(uint32_t v) {
  return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}

// An IPv4 address in network byte order from its octets (Ipv4(10,1,2,3)).
constexpr uint32_t Ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return HostToNet32((uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d);
}

struct SocketAddress28 {
  std::array<uint8_t, 28> bytes{};

  uint16_t family() const { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }
  uint16_t port() const {  // network order
    uint16_t p;
    std::memcpy(&p, &bytes[2], 2);
    return p;
  }
  uint32_t ipv4() const {  // network order; meaningful for family 2
    uint32_t a;
    std::memcpy(&a, &bytes[4], 4);
    return a;
  }
  const uint8_t* ipv6() const { return &bytes[8]; }  // 16 bytes; family 23

  // The same address with port 0 (and, for IPv6, flow info 0): the form in
  // which addresses are table keys.
  SocketAddress28 withoutPort() const {
    SocketAddress28 copy = *this;
    copy.bytes[2] = copy.bytes[3] = 0;
    if (family() == kFamilyIpv6) std::memset(&copy.bytes[4], 0, 4);
    return copy;
  }

  // Reads 28 bytes (16 for family 2, the rest zero) from an address in the
  // layout above; `raw` must hold at least 16 bytes, 28 when its family is 23.
  static SocketAddress28 FromRaw(const void* raw) {
    SocketAddress28 a;
    std::memcpy(a.bytes.data(), raw, 16);
    if (a.family() == kFamilyIpv6) std::memcpy(a.bytes.data() + 16, static_cast<const uint8_t*>(raw) + 16, 12);
    return a;
  }
  static SocketAddress28 FromIpv4(uint32_t addressNet, uint16_t portNet = 0) {
    SocketAddress28 a;
    a.bytes[0] = kFamilyIpv4;
    std::memcpy(&a.bytes[2], &portNet, 2);
    std::memcpy(&a.bytes[4], &addressNet, 4);
    return a;
  }
  static SocketAddress28 FromIpv6(const uint8_t address[16], uint16_t portNet = 0, uint32_t scopeId = 0) {
    SocketAddress28 a;
    a.bytes[0] = kFamilyIpv6;
    std::memcpy(&a.bytes[2], &portNet, 2);
    std::memcpy(&a.bytes[8], address, 16);
    std::memcpy(&a.bytes[24], &scopeId, 4);
    return a;
  }

  friend auto operator<=>(const SocketAddress28&, const SocketAddress28&) = default;
  friend bool operator==(const SocketAddress28&, const SocketAddress28&) = default;
};

}  // namespace rules
