// Facts about the host's network and the one change the engine makes to its
// routing table: a host route through the acceleration service's adapter.
//
// Windows: the IP Helper (GetNetworkParams, GetAdaptersInfo,
// GetIpInterfaceEntry, CreateIpForwardEntry). Linux: the resolver
// configuration file, getifaddrs with the interfaces' aliases read over
// netlink, and an RTM_NEWROUTE netlink request. All IPv4 values are in
// network byte order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The system's DNS servers, IPv4 only, in the system's order, appended to
// `out`. False when the list could not be read (nothing appended). Windows:
// GetNetworkParams into a zeroed 584-byte block, retried with the size asked
// for on ERROR_BUFFER_OVERFLOW. Linux: the "nameserver" lines of the
// resolver configuration file (setResolverConfigPath). Any thread.
bool systemDnsServers(std::vector<uint32_t>& out);

// Linux only: the resolver configuration file that systemDnsServers reads:
// the environment variable LUMO_RESOLV_CONF when set at start, else
// "/etc/resolv.conf", unless changed here. Windows ignores it. Call before use,
// not concurrently with systemDnsServers.
void setResolverConfigPath(const std::string& path);

// One network adapter as the engine looks at it.
struct AdapterInfo {
  // Windows: the adapter's description. Linux: the interface's alias when it
  // has one, else its name.
  std::string description;
  uint32_t interfaceIndex = 0;
  // Its IPv4 addresses as dotted text, in the system's order (Windows lists
  // "0.0.0.0" for an adapter without one).
  std::vector<std::string> ipv4Addresses;
};

// The host's adapters (loopback excluded) in the system's order. False when
// the list could not be read. Windows: GetAdaptersInfo (a first call for the
// size; any result but success or ERROR_BUFFER_OVERFLOW fails). Any thread.
bool listAdapters(std::vector<AdapterInfo>& out);

// The IPv4 metric of an interface. Windows: 1 before version 6 or when
// "Iphlpapi.dll" cannot be loaded; otherwise GetIpInterfaceEntry's metric,
// or 300 when that call fails. Linux has no per-interface metric: 0 (the
// caller's rule for "no metric" applies). Any thread.
uint32_t interfaceMetric(uint32_t interfaceIndex);

// A route for the IPv4 routing table.
struct HostRoute {
  uint32_t destination = 0;
  uint32_t mask = 0xFFFFFFFFu;
  uint32_t nextHop = 0;
  uint32_t interfaceIndex = 0;
  uint32_t type = 3;      // Windows route type (3: the next hop is not the final destination)
  uint32_t protocol = 3;  // Windows route protocol (3: set by management)
  uint32_t metric = 0;
};

// Adds the route. Windows: CreateIpForwardEntry (policy, age and next-hop AS
// 0, metrics 2 to 5 unused). Linux: RTM_NEWROUTE in the main table, static
// protocol, with the next hop as gateway unless it is one of the interface's
// own addresses (then the route is on-link). True when the system took it.
// Any thread.
bool createHostRoute(const HostRoute& route);

}  // namespace platform
