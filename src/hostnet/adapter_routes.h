// The acceleration service's virtual adapter and the host routes through it
// that adapter mode creates for steered destinations.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "platform/netinfo.h"

namespace hostnet {

// Picks the virtual adapter from `adapters` (in list order):
// first pass: a description that, lower-cased, starts with "my" or is exactly
// "kitra", whose first IPv4 address starts with "172." or "10.10.";
// second pass: the first adapter of any description whose first IPv4
// address starts with "172.". The next hop is the .1 host of the adapter's
// network for a first-pass "10.10." address, else the adapter's own address
// (network order). False when nothing fits (outputs untouched).
bool FindVirtualAdapter(const std::vector<platform::AdapterInfo>& adapters, uint32_t& outNextHop,
                        uint32_t& outInterfaceIndex);
// The same over the system's adapter list; false also when it cannot be read.
bool FindVirtualAdapter(uint32_t& outNextHop, uint32_t& outInterfaceIndex);

// The IPv4 metric of the interface (platform::interfaceMetric).
uint32_t GetInterfaceMetric(uint32_t interfaceIndex);

// What adapter mode routes through: set on the start thread.
struct AdapterRouteParameters {
  uint32_t nextHop = 0;
  uint32_t mask = 0xFFFFFFFFu;
  uint32_t type = 3;
  uint32_t protocol = 3;
  uint32_t interfaceIndex = 0;
  uint32_t metric = 0;
};

// The route parameters and the set of destinations that already have a host
// route, with its own mutex.
class AdapterRoutes {
 public:
  using RouteCreator = std::function<bool(const platform::HostRoute&)>;

  // `creator` adds a route to the routing table; it defaults to
  // commandRunner().createHostRoute.
  explicit AdapterRoutes(RouteCreator creator = {});

  // Start thread, before steering begins.
  void setParameters(const AdapterRouteParameters& parameters);
  AdapterRouteParameters parameters() const;

  // Makes sure a host route to `destination` (network order) through the
  // adapter exists: a destination already in the set is left alone;
  // otherwise it is added to the set and the route is created (after the
  // mutex is released). The routing table's answer is not consulted and a
  // failed route is not retried. Returns true. Any thread (driver events).
  bool AddHostRoute(uint32_t destination);

  // Empties the set of routed destinations (routes in the system stay).
  void clear();
  bool contains(uint32_t destination) const;
  size_t size() const;

 private:
  RouteCreator creator_;
  mutable std::mutex lock_;
  AdapterRouteParameters parameters_;
  std::set<uint32_t> routed_;
};

}  // namespace hostnet
