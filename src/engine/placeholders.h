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

}  // namespace engine
