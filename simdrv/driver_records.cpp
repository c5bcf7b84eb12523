#include "driver_records.h"

#include <cstring>

namespace simdrv {

platform::SocketAddress28 addressField(const platform::SocketAddress& address) {
  return platform::toDriverAddress(address);
}

platform::SocketAddress28 ipv4Field(uint32_t addressNet, uint16_t portNet) {
  return addressField(platform::makeIpv4Address(addressNet, portNet));
}

std::string datagramOptions(std::optional<uint32_t> kind, const platform::SocketAddress28& local) {
  if (kind != 2u) return {};
  std::string options(kKind2OptionsLength, '\0');
  std::memcpy(options.data() + kLocalAddressOption, local.bytes.data(), sizeof local);
  return options;
}

bool parseDatagramRecord(const std::vector<uint8_t>& payload, platform::SocketAddress28& remote,
                         std::string_view& datagram) {
  if (payload.size() < sizeof(drvapi::UdpDatagramHeader)) return false;
  drvapi::UdpDatagramHeader header;
  std::memcpy(&header, payload.data(), sizeof header);
  const size_t optionsLength = header.optionsLength;
  if (optionsLength > payload.size() - sizeof header) return false;
  remote = header.remoteAddress;
  const size_t at = sizeof header + optionsLength;
  datagram = std::string_view(reinterpret_cast<const char*>(payload.data()) + at, payload.size() - at);
  return true;
}

}  // namespace simdrv
