// The engine's socket-address layout, and the 28-byte form of it that driver
// records, the rule tables and the host map carry.
//
// Layout (the driver's and the engine's, whatever the system):
//   IPv4: 0 u16 family 2 (little-endian) | 2 port | 4 address | 8 zero bytes | 16..27 zero
//   IPv6: 0 u16 family 23 | 2 port | 4 flow info | 8 address (16 bytes) | 24 scope id
// Ports and addresses are in network byte order. Nothing here calls the
// operating system; net.h translates to and from the system's own form.
#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace platform {

// Address families as the engine and the driver number them.
inline constexpr uint16_t kFamilyIpv4 = 2;
inline constexpr uint16_t kFamilyIpv6 = 23;

// Byte lengths of the two address forms; the IPv6 one is also the length of
// every address field of a driver record.
inline constexpr size_t kIpv4AddressLength = 16;
inline constexpr size_t kIpv6AddressLength = 28;

// Byte order helpers (the engine keeps ports and IPv4 addresses in network
// byte order, as they travel).
// Every target of the engine (x86, x86-64) is little-endian.
static_assert(std::endian::native == std::endian::little);
constexpr uint16_t hostToNet16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
constexpr uint16_t netToHost16(uint16_t v) { return hostToNet16(v); }
constexpr uint32_t hostToNet32(uint32_t v) {
  return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}
constexpr uint32_t netToHost32(uint32_t v) { return hostToNet32(v); }

// An IPv4 address in network byte order built from its four octets
// (ipv4(127,0,0,1) is 127.0.0.1).
constexpr uint32_t ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return hostToNet32((uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d);
}

// 28 bytes in the layout above: an address field of a driver record as it
// stands on the wire, and a key of the rule tables. Values compare byte-wise,
// so every IPv4 address orders before every IPv6 one. Plain bytes with no
// alignment, so a record that holds one keeps its packed layout.
struct SocketAddress28 {
  std::array<uint8_t, kIpv6AddressLength> bytes{};

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
    std::memcpy(a.bytes.data(), raw, kIpv4AddressLength);
    if (a.family() == kFamilyIpv6)
      std::memcpy(a.bytes.data() + kIpv4AddressLength, static_cast<const uint8_t*>(raw) + kIpv4AddressLength,
                  kIpv6AddressLength - kIpv4AddressLength);
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
// What lets a packed driver record hold one as a field and be copied as bytes.
static_assert(sizeof(SocketAddress28) == kIpv6AddressLength && alignof(SocketAddress28) == 1);
static_assert(std::is_trivially_copyable_v<SocketAddress28> && std::is_standard_layout_v<SocketAddress28>);

}  // namespace platform
