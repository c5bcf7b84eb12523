#include "engine/udp_links.h"

#include "engine/zu_engine.h"
#include "hostnet/local_addresses.h"

namespace engine {

// The filter file's protocol number for UDP address rules.
static constexpr uint32_t kRuleProtocolUdp = 2;

udp::SteeringSettings EngineUdpLinks::settings() {
  udp::SteeringSettings s;
  {
    std::lock_guard<std::mutex> lock(engine_.configLock_);
    s.proxyAddress = engine_.proxyConfig_.proxyAddress;
    s.proxyUdpPort = engine_.proxyConfig_.proxyUdpPort;
    s.userId = engine_.proxyConfig_.userId;
  }
  s.directMode = engine_.udpDirectMode_.load() != 0;
  s.adapterMode = engine_.adapterMode_.load() != 0;
  return s;
}

bool EngineUdpLinks::isLocalDestination(const platform::SocketAddress& remote) {
  if (remote.family() == platform::kFamilyIpv4) return hostnet::IsLocalAddress(remote.ipv4());
  return hostnet::IsLocalSocketAddress(remote);
}

rules::AddressRule EngineUdpLinks::addressRule(const platform::SocketAddress& remote) {
  // Without UDP rules in the file the look-up is skipped.
  if (!engine_.filterTables_.UdpRulesPresent()) return rules::AddressRule::None;
  return engine_.filterTables_.FindAddressRule(remote.family(), remote.bytes, kRuleProtocolUdp);
}

void EngineUdpLinks::addHostRoute(uint32_t addressNet) { engine_.hostNet_.AddHostRoute(addressNet); }

bool EngineUdpLinks::openFlowSocket(uint64_t flowId) { return engine_.udpProxy_.OpenFlowSocket(flowId); }

void EngineUdpLinks::closeFlowSocket(uint64_t flowId) { engine_.udpProxy_.CloseFlowSocket(flowId); }

bool EngineUdpLinks::sendDatagram(uint64_t flowId, const uint8_t* data, size_t length,
                                  const platform::SocketAddress& peer) {
  platform::SocketAddress to = peer;  // the proxy may rewrite its copy's port
  return engine_.udpProxy_.SendDatagram(flowId, data, length, to, UdpProxy::kKindDatagram);
}

}  // namespace engine
