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

}  // namespace hostnet
