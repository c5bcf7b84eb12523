// Which addresses belong to the host itself (traffic to them is never
// steered), and small socket-address helpers shared by the steering Parts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/net.h"

namespace hostnet {

// The host's IPv4 adapter addresses, filled once on first use.
class LocalAddressList {
 public:
  // Appends every IPv4 address of every adapter (network order); false when
  // the adapters could not be read.
  using Source = std::function<bool(std::vector<uint32_t>&)>;

  // `source` defaults to the system's adapter list (platform::listAdapters).
  explicit LocalAddressList(Source source = {});

  // True for 0.0.0.0 and 127.0.0.0/8 (always), and for any address in the
  // same /16 network as one of the host's addresses. The list is filled on
  // first use under a lock (tested again inside it); while filling fails
  // only the always-local addresses are local, and the next call tries
  // again. Any thread.
  bool IsLocalAddress(uint32_t ipv4Net);

  // ::1 is local; an IPv4-compatible or IPv4-mapped IPv6 address is tested
  // as its IPv4 address; anything else is not local. Any thread.
  bool IsLocalSocketAddress(const platform::SocketAddress& address);

 private:
  bool ensureFilled();

  Source source_;
  std::mutex fillLock_;
  std::atomic<bool> filled_{false};
  std::vector<uint32_t> addresses_;  // written once, before filled_ is set
};

// The process-wide list the engine uses.
LocalAddressList& localAddresses();
bool IsLocalAddress(uint32_t ipv4Net);
bool IsLocalSocketAddress(const platform::SocketAddress& address);

// Converts an IPv4-compatible (::a.b.c.d) or IPv4-mapped (::ffff:a.b.c.d)
// address of family 23, also the form with bytes 10 and 11 each 0x00 or
// 0xFF, to family 2 with the same port. False (out untouched) otherwise.
bool ToIpv4SocketAddress(const platform::SocketAddress& in6, platform::SocketAddress& out);

// Copies the 4- or 16-byte address (into the first bytes of outAddress16,
// the rest zeroed) and the port (network order) of a family 2 or 23 address.
// False for other families or when `family` differs from the address's.
bool GetAddressAndPort(uint16_t family, const platform::SocketAddress& address, uint8_t (&outAddress16)[16],
                       uint16_t& outPortNet);

// 127.0.0.1 (family 2) or ::1 (family 23) with the port (network order);
// any other family leaves `out` zeroed.
void MakeLoopbackAddress(uint16_t family, uint16_t portNet, platform::SocketAddress& out);

}  // namespace hostnet
