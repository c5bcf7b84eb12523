// The engine's upstream DNS servers: those of the system's DNS servers that
// really answer, probed at every start.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "hostnet/dns_query.h"
#include "platform/net.h"

namespace hostnet {

// Where and how the servers are probed. Tests point the port at a local
// responder; the defaults are the public ones.
struct DnsProbeSettings {
  // A public web host name that always resolves.
  std::string probeHostName = "www.microsoft.com";
  // Port the probe queries go to, network order.
  uint16_t serverPortNet = platform::hostToNet16(53);
  // Upstream server used when no system server answers (never probed).
  uint32_t fallbackServer = platform::ipv4(8, 8, 8, 8);
  MillisecondClock clock;
};

// True when `server` answers an A query for the probe host name with at
// least one address.
bool ProbeDnsServer(uint32_t server, const DnsProbeSettings& settings = {});

// The upstream server list (IPv4, network order). Filled on the start thread;
// read by the TCP redirection's host look-ups (the first server). Every
// member may be called from any thread.
class UpstreamDnsServers {
 public:
  using Probe = std::function<bool(uint32_t server)>;

  // Reads the system's DNS servers (through commandRunner()) and collects
  // them with ProbeDnsServer.
  void CollectDnsServers(const DnsProbeSettings& settings = {});

  // Walks `systemServers` in order, probing each and stopping at the first
  // that fails; probes each kept one again (and a third time when that
  // fails) and appends those that pass. When the list is still empty
  // afterwards, appends `fallback`. The list grows at every call; it is never
  // cleared.
  void CollectDnsServers(const std::vector<uint32_t>& systemServers, const Probe& probe,
                         uint32_t fallback);

  std::vector<uint32_t> servers() const;
  // The first server, 0 when the list is empty.
  uint32_t first() const;

 private:
  mutable std::mutex lock_;
  std::vector<uint32_t> servers_;
};

}  // namespace hostnet
