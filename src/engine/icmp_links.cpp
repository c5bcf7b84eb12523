#include "engine/icmp_links.h"

#include "engine/zu_engine.h"

namespace engine {

std::optional<uint32_t> EngineIcmpLinks::delayFor(uint32_t destinationNet) {
  return engine_.ruleLists_.IcmpDelayFor(destinationNet);
}

uint32_t EngineIcmpLinks::nodeAddress() {
  std::lock_guard<std::mutex> lock(engine_.configLock_);
  return engine_.proxyConfig_.proxyAddress;
}

bool EngineIcmpLinks::sendToNode(const uint8_t* message, size_t length, uint32_t destinationNet) {
  platform::SocketAddress to = platform::makeIpv4Address(destinationNet, 0);
  return engine_.udpProxy_.SendDatagram(UdpProxy::icmpFlowId, message, length, to, UdpProxy::kKindIcmp);
}

void EngineIcmpLinks::injectReceive(const uint8_t* packet, size_t length, const drvapi::IpOptions& options) {
  engine_.ipReceive(reinterpret_cast<const char*>(packet), static_cast<int>(length), &options);
}

}  // namespace engine
