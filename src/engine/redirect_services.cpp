#include "engine/redirect_services.h"

#include "drvapi/drvapi.h"
#include "engine/zu_engine.h"
#include "hostnet/dns_query.h"
#include "hostnet/local_addresses.h"
#include "process/process_selection.h"

namespace engine {

// The local web relay program that host-rewritten connections may use.
static constexpr char16_t kWebRelayProgram[] = u"Brannock.exe";

std::string EngineRedirectServices::processNameOf(uint32_t processId) { return process::ProcessNameOf(processId); }

bool EngineRedirectServices::isSelectedProcess(uint32_t processId, const std::string& processName) {
  std::lock_guard<std::mutex> lock(engine_.configLock_);
  return process::IsSelectedProcess(engine_.gameConfig_.processes, engine_.serviceMonitor_, processId, processName);
}

bool EngineRedirectServices::admit(uint32_t processId, const std::u16string& processName) {
  return engine_.processLimit_.Admit(processId, processName);
}

bool EngineRedirectServices::isLocalAddress(uint32_t addressNet) { return hostnet::IsLocalAddress(addressNet); }

bool EngineRedirectServices::isLocalSocketAddress(const platform::SocketAddress& address) {
  return hostnet::IsLocalSocketAddress(address);
}

std::optional<tcp::HostRewriteTarget> EngineRedirectServices::findHostRewrite(uint32_t addressNet, uint16_t portNet) {
  auto entry = engine_.filterTables_.FindHostRewrite(addressNet, portNet);
  if (!entry) return std::nullopt;
  return tcp::HostRewriteTarget{entry->targetHost, entry->webRelayPort};
}

std::optional<tcp::PortMapTarget> EngineRedirectServices::findPortMap(uint32_t addressNet, uint16_t portNet) {
  auto entry = engine_.filterTables_.FindPortMap(addressNet, portNet);
  if (!entry) return std::nullopt;
  return tcp::PortMapTarget{entry->targetHost, entry->targetPort, entry->type, entry->targetIsName != 0};
}

rules::AddressRule EngineRedirectServices::findAddressRule(const platform::SocketAddress& ipv4Destination) {
  return engine_.filterTables_.FindAddressRule(platform::kFamilyIpv4, ipv4Destination.bytes, 1);
}

bool EngineRedirectServices::isWebSteered(const platform::SocketAddress& ipv4Destination, bool selected) {
  return engine_.filterTables_.IsWebSteered(ipv4Destination.bytes, selected);
}

bool EngineRedirectServices::lookUp(uint16_t type, const std::string& name,
                                    std::vector<platform::SocketAddress>& addresses) {
  hostnet::DnsQueryResult result;
  if (!hostnet::DnsQueryBlocking(engine_.hostNet_.upstreamServers().first(), type, name, result)) return false;
  addresses = std::move(result.addresses);
  return true;
}

bool EngineRedirectServices::webRelayRunning() { return process::FindProcessIdByName(kWebRelayProgram) > 0; }

bool EngineRedirectServices::adapterMode() { return engine_.adapterMode(); }

void EngineRedirectServices::addHostRoute(uint32_t addressNet) { engine_.hostNet_.AddHostRoute(addressNet); }

bool EngineRedirectServices::nodeUsable() {
  std::lock_guard<std::mutex> lock(engine_.configLock_);
  return engine_.proxyConfig_.proxyAddress != 0 && engine_.proxyConfig_.proxyTcpPort != 0;
}

uint16_t EngineRedirectServices::relayPort4() { return engine_.relay_.port(platform::kFamilyIpv4); }
uint16_t EngineRedirectServices::relayPort6() { return engine_.relay_.port(platform::kFamilyIpv6); }

int EngineRedirectServices::disableFiltering(uint64_t id) { return drvapi::tcpDisableFiltering(id); }

int EngineRedirectServices::injectReceive(uint64_t id, const char* data, int length) {
  return drvapi::tcpInjectReceive(id, data, length);
}

int EngineRedirectServices::injectSend(uint64_t id, const char* data, int length) {
  return drvapi::tcpInjectSend(id, data, length);
}

int EngineRedirectServices::getConnInfo(uint64_t id, drvapi::TcpConnInfo& info) {
  return drvapi::tcpGetConnInfo(id, &info);
}

}  // namespace engine
