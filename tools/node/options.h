// Command-line options of lumo-node.
//
// Each channel of the node has its own group of options (SOCKS5, the UDP
// tunnel); the destination rules serve both. Options take their value as the
// next argument or after '=' (--port 1080, --port=1080).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "destination_map.h"

namespace node {

struct NodeOptions {
  // Where the SOCKS5 server listens. Port 0 lets the system pick a free port,
  // which the node prints as the first line of its standard output.
  std::string listenAddress = "127.0.0.1";
  uint16_t socksPort = 1080;

  // RFC 1929 credentials. Both set: only user/password authentication with
  // exactly these is accepted. Both empty: the node is open and accepts "no
  // authentication", or any user name and password from a client that offers
  // only that method.
  std::string user;
  std::string password;

  // Undo the client's Blur transformation on the client-to-node stream after
  // the CONNECT reply.
  bool unblur = false;

  // The UDP tunnel's port on the same address as SOCKS5; absent: no tunnel.
  // Port 0 lets the system pick a free port, printed on the second line of
  // standard output.
  std::optional<uint16_t> udpPort;
  // Seconds without a datagram either way after which a tunnel association
  // (engine socket, destination) is closed.
  uint32_t udpIdleSeconds = 60;
  // Most tunnel associations open at once (one socket each); the least
  // recently used goes first when a new one would exceed it.
  uint32_t udpMaxAssociations = 512;
  // Milliseconds the node holds each ICMP echo reply before it goes back
  // through the tunnel (a far node); 0 sends it at once.
  uint32_t icmpDelayMs = 0;

  // The DNS service's port on the same address as SOCKS5; absent: no DNS
  // service. Port 0 lets the system pick a free port, printed after the
  // other ports.
  std::optional<uint16_t> dnsPort;
  // Where queries that the hosts file does not answer go (host order);
  // loopback only unless allowRemote.
  std::optional<Ipv4Endpoint> dnsUpstream;
  // A hosts-format file answered by the DNS service itself.
  std::string dnsHostsPath;

  // Destinations outside 127.0.0.0/8 (after mapping) and host names that no
  // rule maps are refused unless this is set (both channels).
  bool allowRemote = false;

  DestinationMap destinations;

  // Seconds from accepting a client to sending its CONNECT reply, including
  // the outbound connect; a client that takes longer is closed.
  uint32_t handshakeTimeoutSeconds = 10;

  bool showHelp = false;
};

// Parses the arguments after the program name into `options`. Returns false
// with a one-line explanation in `error` on an unknown option, a missing or
// bad value, a bad map rule, or credentials given only half.
bool parseOptions(const std::vector<std::string>& args, NodeOptions& options, std::string& error);

// The text of --help: every option with its default.
std::string helpText();

}  // namespace node
