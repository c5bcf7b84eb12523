// Where the node really connects when a client asks for a destination.
//
// Rules come from the command line (--map), one per option:
//
//   203.0.113.0/24=127.0.0.1            a network; the requested port is kept
//   203.0.113.5=127.0.0.1:9000          one address (a /32), every port
//   203.0.113.5:7000=127.0.0.1:9000     one address and port
//   203.0.113.0/24:7000=127.0.0.1       a network and one port
//   game.example:443=127.0.0.1:8443     a host name (CONNECT by domain), one port
//   game.example=127.0.0.1              a host name, every port
//
// The target is always an IPv4 address, with an optional port (absent: the
// requested port). When several rules match, a rule naming the port wins
// over one that does not, then the longest network prefix, then the rule
// given first. Host names compare case-insensitively and match whole names
// only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace node {

// An IPv4 address and port, both in host order.
struct Ipv4Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;
  bool operator==(const Ipv4Endpoint&) const = default;
};

// Strict dotted-quad IPv4 text, read by the platform's one IPv4 parser
// (platform/net.h: no signs, spaces or leading zeros); host order here.
bool parseIpv4(std::string_view text, uint32_t& address);

// Decimal port 0..65535, digits only.
bool parsePort(std::string_view text, uint16_t& port);

// True for 127.0.0.0/8 (host order).
constexpr bool isLoopback(uint32_t address) { return (address >> 24) == 127; }

// "a.b.c.d" and "a.b.c.d:port".
std::string formatIpv4(uint32_t address);
std::string formatEndpoint(const Ipv4Endpoint& endpoint);

class DestinationMap {
 public:
  // Parses one rule (forms above) and adds it. On a syntax error the map is
  // unchanged, false is returned and `error` says what is wrong.
  bool addRule(std::string_view text, std::string& error);

  // The target for a requested IPv4 destination, or nothing when no rule
  // matches.
  std::optional<Ipv4Endpoint> map(const Ipv4Endpoint& requested) const;

  // The target for a requested host name and port, or nothing.
  std::optional<Ipv4Endpoint> mapName(std::string_view name, uint16_t port) const;

  size_t size() const { return addressRules_.size() + nameRules_.size(); }

 private:
  struct Target {
    uint32_t address = 0;
    bool keepPort = true;
    uint16_t port = 0;
  };
  struct AddressRule {
    uint32_t network = 0;
    int prefixLength = 32;
    bool anyPort = true;
    uint16_t port = 0;
    Target target;
  };
  struct NameRule {
    std::string name;  // lower case
    bool anyPort = true;
    uint16_t port = 0;
    Target target;
  };

  static Ipv4Endpoint apply(const Target& target, uint16_t requestedPort);

  std::vector<AddressRule> addressRules_;
  std::vector<NameRule> nameRules_;
};

}  // namespace node
