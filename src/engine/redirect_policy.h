// Where a TCP connection may go, answered from the engine's own tables and
// subsystems: host addresses, the filter file's tables, the upstream DNS
// server, adapter mode, the node settings and the relay.
#pragma once

#include "tcp/tcp_redirector.h"

namespace engine {

class ZuEngine;

class EngineRedirectPolicy final : public tcp::RedirectPolicy {
 public:
  explicit EngineRedirectPolicy(ZuEngine& engine) : engine_(engine) {}

  bool isLocalAddress(uint32_t addressNet) override;
  bool isLocalSocketAddress(const platform::SocketAddress& address) override;
  std::optional<tcp::HostRewriteTarget> findHostRewrite(uint32_t addressNet, uint16_t portNet) override;
  std::optional<tcp::PortMapTarget> findPortMap(uint32_t addressNet, uint16_t portNet) override;
  rules::AddressRule findAddressRule(const platform::SocketAddress& ipv4Destination) override;
  bool isWebSteered(const platform::SocketAddress& ipv4Destination, bool selected) override;
  bool lookUp(uint16_t type, const std::string& name, std::vector<platform::SocketAddress>& addresses) override;
  bool webRelayRunning() override;
  bool adapterMode() override;
  void addHostRoute(uint32_t addressNet) override;
  bool nodeUsable() override;
  uint16_t relayPort4() override;
  uint16_t relayPort6() override;

 private:
  ZuEngine& engine_;
};

}  // namespace engine
