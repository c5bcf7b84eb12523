// Host network set-up as the engine owns it: the upstream DNS servers, the
// adapter route parameters with the route set, and the operations of the
// start and stop sequences, with the settings that tests point at loopback.
#pragma once

#include <cstdint>
#include <string>

#include "hostnet/adapter_routes.h"
#include "hostnet/dns_servers.h"
#include "hostnet/driver_rules.h"
#include "hostnet/network_commands.h"

namespace hostnet {

struct HostNetworkSettings {
  DnsProbeSettings dnsProbe;
  std::string teredoServer = kDefaultTeredoServer;
  // Empty: the system's adapter list and interface metric.
  AdapterFinder findAdapter;
  MetricSource metricOf;
  // Empty: the system's routing table.
  AdapterRoutes::RouteCreator createRoute;
};

class HostNetwork {
 public:
  // Default settings: the public probe defaults and the real host (through
  // commandRunner()).
  HostNetwork();
  explicit HostNetwork(HostNetworkSettings settings);

  // Initialise: the IPv6 prefix policy (system version 6 or more).
  void ApplyIpv6PrefixPolicy();
  // Start: the DNS cache flush, the upstream servers, the host preparation.
  bool FlushSystemDnsCache();
  void CollectDnsServers();
  void PrepareHostNetwork();
  // Start: writes the driver rules; returns whether adapter mode is in force.
  bool WriteDriverRules(const DriverRuleInputs& inputs);
  // Stop: forgets the routed destinations (under the route set's mutex).
  void clearRouteSet();

  // Driver-event threads, in adapter mode.
  bool AddHostRoute(uint32_t destination) { return routes_.AddHostRoute(destination); }

  UpstreamDnsServers& upstreamServers() { return upstream_; }
  AdapterRoutes& routes() { return routes_; }
  const HostNetworkSettings& settings() const { return settings_; }

 private:
  HostNetworkSettings settings_;
  UpstreamDnsServers upstream_;
  AdapterRoutes routes_;
};

}  // namespace hostnet
