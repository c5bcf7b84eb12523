// Stand-ins for subsystems that are not built yet. Each offers the operations
// the engine's lifecycle and configuration call, does nothing, and says so.
// A subsystem that gets built replaces its stand-in here (the class is
// deleted, not extended) and the engine calls the real one instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {

// UDP proxy with its completion-port service (not built yet: starts and stops
// nothing, carries no datagram).
class UdpProxyPlaceholder {
 public:
  bool startService() { return true; }
  void stopService() {}
  void stopSockets() {}
  bool openIcmpSocket(uint64_t /*flowId*/) { return false; }
  void setUser(uint32_t /*userId*/) {}
  void setNode(uint32_t /*address*/, uint16_t /*port*/) {}
};

// Receives datagrams of the UDP proxy (not built yet: never called).
class UDPProxyHandler {
 public:
  virtual ~UDPProxyHandler() = default;
  virtual void OnProxyDatagram(uint64_t /*flowId*/, const unsigned char* /*peer*/, const char* /*data*/,
                               int /*length*/) {}
};

// The engine's own DNS resolver (not built yet: resolves nothing).
class DnsResolver {
 public:
  virtual ~DnsResolver() = default;
  virtual void onDnsRequest() {}
  virtual void onDnsAnswer() {}
  void startResolver(uint32_t /*nodeAddress*/, uint16_t /*dnsPort*/) {}
  void stopResolver() {}
};

// ICMP echo redirection (not built yet: redirects nothing).
class IcmpRedirector {
 public:
  virtual ~IcmpRedirector() = default;
  virtual void OnEchoReply() {}
  void clearPending() {}
  void startRedirector() {}
  void stopRedirector() {}
};

// The UDP round-trip probe tracker (not built yet: only its switch exists).
struct ProbeTrackerPlaceholder {
  std::atomic<uint8_t> enabled{0};
};

}  // namespace engine
