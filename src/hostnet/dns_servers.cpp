#include "hostnet/dns_servers.h"

#include "hostnet/command_runner.h"

namespace hostnet {

bool ProbeDnsServer(uint32_t server, const DnsProbeSettings& settings) {
  DnsQueryResult result;
  DnsQueryBlocking(server, kDnsTypeA, settings.probeHostName, result, settings.serverPortNet,
                   settings.clock);
  return !result.addresses.empty();
}

void UpstreamDnsServers::CollectDnsServers(const DnsProbeSettings& settings) {
  std::vector<uint32_t> system;
  commandRunner().systemDnsServers(system);
  CollectDnsServers(
      system, [&settings](uint32_t server) { return ProbeDnsServer(server, settings); },
      settings.fallbackServer);
}

void UpstreamDnsServers::CollectDnsServers(const std::vector<uint32_t>& systemServers,
                                           const Probe& probe, uint32_t fallback) {
  // The walk stops at the first server that does not answer: the servers
  // behind it are not trusted either.
  std::vector<uint32_t> kept;
  for (uint32_t server : systemServers) {
    if (!probe(server)) break;
    kept.push_back(server);
  }
  std::vector<uint32_t> confirmed;
  for (uint32_t server : kept)
    if (probe(server) || probe(server)) confirmed.push_back(server);

  std::lock_guard<std::mutex> guard(lock_);
  servers_.insert(servers_.end(), confirmed.begin(), confirmed.end());
  if (servers_.empty()) servers_.push_back(fallback);
}

std::vector<uint32_t> UpstreamDnsServers::servers() const {
  std::lock_guard<std::mutex> guard(lock_);
  return servers_;
}

uint32_t UpstreamDnsServers::first() const {
  std::lock_guard<std::mutex> guard(lock_);
  return servers_.empty() ? 0 : servers_.front();
}

}  // namespace hostnet
