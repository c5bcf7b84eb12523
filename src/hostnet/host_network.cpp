#include "hostnet/host_network.h"

#include "platform/sysinfo.h"

namespace hostnet {

HostNetwork::HostNetwork() : routes_(settings_.createRoute) {}

HostNetwork::HostNetwork(HostNetworkSettings settings)
    : settings_(std::move(settings)), routes_(settings_.createRoute) {}

void HostNetwork::ApplyIpv6PrefixPolicy() { hostnet::ApplyIpv6PrefixPolicy(); }

bool HostNetwork::FlushSystemDnsCache() { return hostnet::FlushSystemDnsCache(); }

void HostNetwork::CollectDnsServers() { upstream_.CollectDnsServers(settings_.dnsProbe); }

void HostNetwork::PrepareHostNetwork() { hostnet::PrepareHostNetwork(settings_.teredoServer); }

bool HostNetwork::WriteDriverRules(const DriverRuleInputs& inputs) {
  AdapterFinder find = settings_.findAdapter;
  if (!find) find = [](uint32_t& hop, uint32_t& index) { return FindVirtualAdapter(hop, index); };
  MetricSource metric = settings_.metricOf;
  if (!metric) metric = GetInterfaceMetric;
  return hostnet::WriteDriverRules(inputs, routes_, find, metric, platform::osVersion().major);
}

void HostNetwork::clearRouteSet() { routes_.clear(); }

}  // namespace hostnet
