// The host map: a working value built during one configuration, from the
// system hosts file and the filter file's fixed addresses, and consumed by the
// filter tables and the host-address table.
#pragma once

#include <map>
#include <set>
#include <string>

#include "rules/socket_address.h"

namespace rules {

// Host name (byte-wise order) → ordered set of 28-byte socket addresses
// (IPv4 ones hold family and address, IPv6 ones the whole address).
using HostMap = std::map<std::string, std::set<SocketAddress28>>;

// Adds `address` to `name`'s set (creating the name when new; an address
// already in the set is not added twice).
inline void AddHostAddress(HostMap& map, const std::string& name, const SocketAddress28& address) {
  map[name].insert(address);
}

}  // namespace rules
