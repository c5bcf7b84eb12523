// The host map: a working value built during one configuration, from the
// system hosts file and the filter file's fixed addresses, and consumed by the
// filter tables and the host-address table.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

#include "platform/socket_address28.h"
#include "platform/text.h"

namespace rules {

using platform::SocketAddress28;

// Host name (letters A to Z lower-cased, as rule names and queried names are;
// byte-wise order) → ordered set of 28-byte socket addresses (IPv4 ones hold
// family and address, IPv6 ones the whole address).
using HostMap = std::map<std::string, std::set<SocketAddress28>>;

// Adds `address` to the set of `name` lower-cased (creating the name when
// new; an address already in the set is not added twice). "Game.Example.com"
// in a hosts file and "game.example.com" in a rule are the same host.
inline void AddHostAddress(HostMap& map, std::string_view name, const SocketAddress28& address) {
  map[platform::toLowerAscii(name)].insert(address);
}

}  // namespace rules
