// The rule list written into the filter driver at every start: which
// connections and datagrams reach the engine's handlers, which pass
// untouched, and adapter mode's choice of virtual adapter.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hostnet/adapter_routes.h"

namespace hostnet {

// What the start sequence hands over.
struct DriverRuleInputs {
  bool tcpEnabled = false;
  bool udpEnabled = false;
  bool adapterMode = false;
  // Game process names (UTF-16), in the configuration's map order.
  std::vector<std::u16string> processNames;
  // The proxy node's IPv4 address, network order.
  uint32_t proxyAddress = 0;
  // Number of ICMP rules of the configuration; above 0 adds the raw-IP rule.
  int32_t icmpRuleCount = 0;
  // The engine's own process id (its DNS traffic passes).
  uint32_t ownProcessId = 0;
};

// Finds the virtual adapter: next hop and interface index; false when none.
using AdapterFinder = std::function<bool(uint32_t& nextHop, uint32_t& interfaceIndex)>;
// The interface metric of an interface index.
using MetricSource = std::function<uint32_t(uint32_t interfaceIndex)>;

// Adds every rule at the head of the driver's list (drvapi's
// addProcessFilterRule, results ignored), so the driver ends with them in
// reverse order of adding. With adapter mode: finds the adapter with
// `findAdapter` (on failure deletes all driver rules, so the driver passes
// everything), sets the route parameters (mask 255.255.255.255, type and
// protocol 3, the metric from `metricOf`: 0 becomes 1, and then 300 when
// `osMajor` is 6 or more) and empties the route set. Returns whether
// adapter mode is in force afterwards. Start thread only.
bool WriteDriverRules(const DriverRuleInputs& inputs, AdapterRoutes& routes,
                      const AdapterFinder& findAdapter, const MetricSource& metricOf, uint32_t osMajor);

// The rules for a watched service's process `processId` (one that carries
// game traffic on the game's behalf): its TCP connects are reported (IPv4 and
// IPv6) when `tcp`, its IPv4 UDP is filtered when `udp`. Added at the head of
// the driver's plain rules, which the driver looks at before the process
// rules. Results ignored. Any thread.
void WriteServiceProcessRules(uint32_t processId, bool tcp, bool udp);

}  // namespace hostnet
