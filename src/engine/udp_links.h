// What the UDP flow handling consults besides the process queries, answered
// from the engine: the node settings and switches, the
// host's own networks, the filter file's UDP rules, adapter-mode routes, and
// the UDP proxy's per-flow sockets. Any thread.
#pragma once

#include "udp/udp_flows.h"

namespace engine {

class ZuEngine;

class EngineUdpLinks final : public udp::SteeringPolicy, public udp::TunnelTransport {
 public:
  explicit EngineUdpLinks(ZuEngine& engine) : engine_(engine) {}

  // SteeringPolicy
  udp::SteeringSettings settings() override;
  bool isLocalDestination(const platform::SocketAddress& remote) override;
  rules::AddressRule addressRule(const platform::SocketAddress& remote) override;
  void addHostRoute(uint32_t addressNet) override;

  // TunnelTransport: the UDP proxy's sockets.
  bool openFlowSocket(uint64_t flowId) override;
  void closeFlowSocket(uint64_t flowId) override;
  bool sendDatagram(uint64_t flowId, const uint8_t* data, size_t length,
                    const platform::SocketAddress& peer) override;

 private:
  ZuEngine& engine_;
};

}  // namespace engine
