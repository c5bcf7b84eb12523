#include "engine/redirect_policy.h"

#include "engine/zu_engine.h"
#include "hostnet/dns_query.h"
#include "hostnet/local_addresses.h"
#include "process/process_selection.h"

namespace engine {

// The local web relay program that host-rewritten connections may use.
static constexpr char16_t kWebRelayProgram[] = u"Brannock.exe";

bool EngineRedirectPolicy::isLocalAddress(uint32_t addressNet) { return hostnet::IsLocalAddress(addressNet); }

bool EngineRedirectPolicy::isLocalSocketAddress(const platform::SocketAddress& address) {
  return hostnet::IsLocalSocketAddress(address);
}

std::optional<tcp::HostRewriteTarget> EngineRedirectPolicy::findHostRewrite(uint32_t addressNet,
                                                                            uint16_t portNet) {
  auto entry = engine_.filterTables_.FindHostRewrite(addressNet, portNet);
  if (!entry) return std::nullopt;
  return tcp::HostRewriteTarget{entry->targetHost, entry->webRelayPort};
}

std::optional<tcp::PortMapTarget> EngineRedirectPolicy::findPortMap(uint32_t addressNet, uint16_t portNet) {
  auto entry = engine_.filterTables_.FindPortMap(addressNet, portNet);
  if (!entry) return std::nullopt;
  return tcp::PortMapTarget{entry->targetHost, entry->targetPort, entry->type, entry->targetIsName != 0};
}

rules::AddressRule EngineRedirectPolicy::findAddressRule(const platform::SocketAddress& ipv4Destination) {
  return engine_.filterTables_.FindAddressRule(platform::kFamilyIpv4, ipv4Destination.bytes, 1);
}

bool EngineRedirectPolicy::isWebSteered(const platform::SocketAddress& ipv4Destination, bool selected) {
  return engine_.filterTables_.IsWebSteered(ipv4Destination.bytes, selected);
}

bool EngineRedirectPolicy::lookUp(uint16_t type, const std::string& name,
                                  std::vector<platform::SocketAddress>& addresses) {
  hostnet::DnsQueryResult result;
  if (!hostnet::DnsQueryBlocking(engine_.hostNet_.upstreamServers().first(), type, name, result))
    return false;
  addresses = std::move(result.addresses);
  return true;
}

bool EngineRedirectPolicy::webRelayRunning() { return process::FindProcessIdByName(kWebRelayProgram) > 0; }

bool EngineRedirectPolicy::adapterMode() { return engine_.adapterMode(); }

void EngineRedirectPolicy::addHostRoute(uint32_t addressNet) { engine_.hostNet_.AddHostRoute(addressNet); }

bool EngineRedirectPolicy::nodeUsable() {
  std::lock_guard<std::mutex> lock(engine_.configLock_);
  return engine_.proxyConfig_.proxyAddress != 0 && engine_.proxyConfig_.proxyTcpPort != 0;
}

uint16_t EngineRedirectPolicy::relayPort4() { return engine_.relay_.port(platform::kFamilyIpv4); }
uint16_t EngineRedirectPolicy::relayPort6() { return engine_.relay_.port(platform::kFamilyIpv6); }

}  // namespace engine
