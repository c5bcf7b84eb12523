// What the TCP handlers consult, answered from the engine's own tables and
// subsystems: process selection, host addresses, the filter file's tables,
// the upstream DNS server, adapter mode, the node settings and the relay.
#pragma once

#include "tcp/tcp_redirector.h"

namespace engine {

class ZuEngine;

class EngineRedirectServices final : public tcp::RedirectServices {
 public:
  explicit EngineRedirectServices(ZuEngine& engine) : engine_(engine) {}

  std::string processNameOf(uint32_t processId) override;
  bool isSelectedProcess(uint32_t processId, const std::string& processName) override;
  bool admit(uint32_t processId, const std::u16string& processName) override;
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
  int disableFiltering(uint64_t id) override;
  int injectReceive(uint64_t id, const char* data, int length) override;
  int injectSend(uint64_t id, const char* data, int length) override;
  int getConnInfo(uint64_t id, drvapi::TcpConnInfo& info) override;

 private:
  ZuEngine& engine_;
};

}  // namespace engine
