#include "hostnet/local_addresses.h"

#include <cstring>

#include "platform/netinfo.h"

namespace hostnet {
namespace {

bool systemAdapterAddresses(std::vector<uint32_t>& out) {
  std::vector<platform::AdapterInfo> adapters;
  if (!platform::listAdapters(adapters)) return false;
  for (const auto& adapter : adapters)
    for (const auto& text : adapter.ipv4Addresses) out.push_back(platform::inetAddr(text.c_str()));
  return true;
}

}  // namespace

LocalAddressList::LocalAddressList(Source source)
    : source_(source ? std::move(source) : Source(systemAdapterAddresses)) {}

bool LocalAddressList::ensureFilled() {
  if (filled_.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> guard(fillLock_);
  if (filled_.load(std::memory_order_relaxed)) return true;
  std::vector<uint32_t> found;
  if (!source_(found)) return false;
  addresses_ = std::move(found);
  filled_.store(true, std::memory_order_release);
  return true;
}

bool LocalAddressList::IsLocalAddress(uint32_t ipv4Net) {
  // Loopback and the unspecified address are the host's whatever its
  // adapters are, also when their list cannot be read.
  const uint32_t host = platform::netToHost32(ipv4Net);
  if (host == 0 || (host >> 24) == 127) return true;
  if (!ensureFilled()) return false;
  for (uint32_t a : addresses_)
    if ((platform::netToHost32(a) >> 16) == (host >> 16)) return true;
  return false;
}

bool LocalAddressList::IsLocalSocketAddress(const platform::SocketAddress& address) {
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (address.family() == platform::kFamilyIpv6 && std::memcmp(address.ipv6(), kLoopback6, 16) == 0)
    return true;
  platform::SocketAddress v4;
  if (!platform::ToIpv4SocketAddress(address, v4)) return false;
  return IsLocalAddress(v4.ipv4());
}

LocalAddressList& localAddresses() {
  static LocalAddressList list;
  return list;
}

bool IsLocalAddress(uint32_t ipv4Net) { return localAddresses().IsLocalAddress(ipv4Net); }

bool IsLocalSocketAddress(const platform::SocketAddress& address) {
  return localAddresses().IsLocalSocketAddress(address);
}

}  // namespace hostnet
