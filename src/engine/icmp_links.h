// What the ICMP echo path consults, answered from the engine: the ICMP rules'
// delays, the node's address, the UDP proxy's ICMP socket and the driver's
// inbound injection. Any thread.
#pragma once

#include "udp/icmp_echoes.h"

namespace engine {

class ZuEngine;

class EngineIcmpLinks final : public udp::IcmpEchoLinks {
 public:
  explicit EngineIcmpLinks(ZuEngine& engine) : engine_(engine) {}

  std::optional<uint32_t> delayFor(uint32_t destinationNet) override;
  uint32_t nodeAddress() override;
  // Through the UDP proxy's socket of the reserved ICMP flow, port 0.
  bool sendToNode(const uint8_t* message, size_t length, uint32_t destinationNet) override;
  // As the engine's own ipReceive: written to the driver unchanged.
  void injectReceive(const uint8_t* packet, size_t length, const drvapi::IpOptions& options) override;

 private:
  ZuEngine& engine_;
};

}  // namespace engine
