// The engine's socket-address layout and IPv4 text, the same on every system
// (see net.h); nothing here calls the operating system.
#include "platform/net.h"

#include <cstring>

namespace platform {

uint32_t SocketAddress::ipv4() const {
  uint32_t v;
  std::memcpy(&v, bytes + 4, 4);
  return v;
}

size_t SocketAddress::length() const {
  switch (family()) {
    case kFamilyIpv4: return kIpv4AddressLength;
    case kFamilyIpv6: return kIpv6AddressLength;
    default: return 0;
  }
}

SocketAddress makeIpv4Address(uint32_t addressNet, uint16_t portNet) {
  SocketAddress a;
  a.bytes[0] = static_cast<uint8_t>(kFamilyIpv4);
  a.setPort(portNet);
  std::memcpy(a.bytes + 4, &addressNet, 4);
  return a;
}

SocketAddress makeIpv6Address(const uint8_t address[16], uint16_t portNet, uint32_t scopeId) {
  SocketAddress a;
  a.bytes[0] = static_cast<uint8_t>(kFamilyIpv6);
  a.setPort(portNet);
  std::memcpy(a.bytes + 8, address, 16);
  std::memcpy(a.bytes + 24, &scopeId, 4);
  return a;
}

bool fromDriverAddress(const SocketAddress28& field, SocketAddress& out) {
  out = SocketAddress{};
  // An IPv4 field carries 16 meaningful bytes; the driver's tail is ignored.
  if (field.family() == kFamilyIpv4) {
    std::memcpy(out.bytes, field.bytes.data(), kIpv4AddressLength);
    return true;
  }
  if (field.family() == kFamilyIpv6) {
    std::memcpy(out.bytes, field.bytes.data(), kIpv6AddressLength);
    return true;
  }
  return false;
}

SocketAddress28 toDriverAddress(const SocketAddress& address) {
  SocketAddress28 field;
  std::memcpy(field.bytes.data(), address.bytes, address.length());
  return field;
}

bool fromDriverAddress(const uint8_t* field28, SocketAddress& out) {
  if (field28 == nullptr) {
    out = SocketAddress{};
    return false;
  }
  return fromDriverAddress(SocketAddress28::FromRaw(field28), out);
}

void toDriverAddress(const SocketAddress& address, uint8_t* field28) {
  if (field28 != nullptr)
    std::memcpy(field28, toDriverAddress(address).bytes.data(), sizeof(SocketAddress28));
}

bool parseIpv4(std::string_view text, uint32_t& addressNet) {
  uint32_t host = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.') return false;
      text.remove_prefix(1);
    }
    size_t digits = 0;
    uint32_t value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 3)
      value = value * 10 + static_cast<uint32_t>(text[digits++] - '0');
    if (digits == 0 || value > 255 || (digits > 1 && text.front() == '0')) return false;
    text.remove_prefix(digits);
    host = (host << 8) | value;
  }
  if (!text.empty()) return false;
  addressNet = hostToNet32(host);
  return true;
}

bool parseIpv4Network(std::string_view text, uint32_t& addressNet, uint32_t& prefixLength) {
  const size_t slash = text.find('/');
  uint32_t length = 32;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 2 || (digits.size() > 1 && digits[0] == '0')) return false;
    length = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      length = length * 10 + static_cast<uint32_t>(c - '0');
    }
    if (length > 32) return false;
  }
  uint32_t address = 0;
  if (!parseIpv4(text.substr(0, slash), address)) return false;
  addressNet = address;
  prefixLength = length;
  return true;
}

uint32_t inetAddr(const char* text) {
  uint32_t addressNet = 0;
  return text != nullptr && parseIpv4(text, addressNet) ? addressNet : 0xFFFFFFFFu;
}

std::string ipv4ToText(uint32_t addressNet) {
  const uint32_t h = netToHost32(addressNet);
  return std::to_string(h >> 24) + "." + std::to_string((h >> 16) & 0xFF) + "." +
         std::to_string((h >> 8) & 0xFF) + "." + std::to_string(h & 0xFF);
}

const char* netErrorName(NetError error) {
  switch (error) {
    case NetError::None: return "no error";
    case NetError::WouldBlock: return "would block";
    case NetError::InProgress: return "in progress";
    case NetError::AlreadyInProgress: return "already in progress";
    case NetError::TimedOut: return "timed out";
    case NetError::ConnectionRefused: return "connection refused";
    case NetError::ConnectionReset: return "connection reset";
    case NetError::ConnectionAborted: return "connection aborted";
    case NetError::NotConnected: return "not connected";
    case NetError::AddressInUse: return "address in use";
    case NetError::AddressNotAvailable: return "address not available";
    case NetError::AccessDenied: return "access denied";
    case NetError::InvalidArgument: return "invalid argument";
    case NetError::NotSocket: return "not a socket";
    case NetError::MessageTooLong: return "message too long";
    case NetError::NetworkUnreachable: return "network unreachable";
    case NetError::HostUnreachable: return "host unreachable";
    case NetError::Interrupted: return "interrupted";
    case NetError::Shutdown: return "shut down";
    case NetError::NoBuffers: return "no buffer space";
    case NetError::NotInitialised: return "networking not started";
    case NetError::Other: return "other error";
  }
  return "other error";
}

bool ToIpv4SocketAddress(const SocketAddress& in6, SocketAddress& out) {
  if (in6.family() != kFamilyIpv6) return false;
  const uint8_t* a = in6.ipv6();
  for (int i = 0; i < 10; ++i)
    if (a[i] != 0) return false;
  if ((a[10] != 0 && a[10] != 0xFF) || (a[11] != 0 && a[11] != 0xFF)) return false;
  uint32_t v;
  std::memcpy(&v, a + 12, 4);
  out = makeIpv4Address(v, in6.port());
  return true;
}

bool GetAddressAndPort(uint16_t family, const SocketAddress& address, uint8_t (&outAddress16)[16],
                       uint16_t& outPortNet) {
  if (address.family() != family) return false;
  if (family == kFamilyIpv4) {
    std::memset(outAddress16, 0, 16);
    std::memcpy(outAddress16, address.bytes + 4, 4);
  } else if (family == kFamilyIpv6) {
    std::memcpy(outAddress16, address.ipv6(), 16);
  } else {
    return false;
  }
  outPortNet = address.port();
  return true;
}

void MakeLoopbackAddress(uint16_t family, uint16_t portNet, SocketAddress& out) {
  out = SocketAddress{};
  if (family == kFamilyIpv4) {
    out = makeIpv4Address(ipv4(127, 0, 0, 1), portNet);
  } else if (family == kFamilyIpv6) {
    const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    out = makeIpv6Address(loopback, portNet);
  }
}

}  // namespace platform
