#include "options.h"

#include <charconv>

namespace node {

namespace {

// A whole number above 0 of at most six digits (seconds, counts).
bool parsePositive(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 6) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value > 0;
}

}  // namespace

std::string helpText() {
  return "Usage: lumo-node [OPTIONS]\n"
         "\n"
         "Reference proxy node of the Lumo acceleration service. It serves\n"
         "SOCKS5 (RFC 1928, CONNECT with IPv4 and domain addresses) with\n"
         "user name/password authentication (RFC 1929), and on request the\n"
         "engine's UDP tunnel.\n"
         "\n"
         "The first line on standard output names the SOCKS5 address and port;\n"
         "with --udp-port the second names the tunnel's:\n"
         "  lumo-node: socks5 listening on 127.0.0.1:PORT\n"
         "  lumo-node: udp tunnel listening on 127.0.0.1:PORT\n"
         "One log line per connection, tunnel association or dropped tunnel\n"
         "datagram goes to standard error.\n"
         "\n"
         "SOCKS5:\n"
         "  --listen ADDRESS      address to listen on (default 127.0.0.1)\n"
         "  --port PORT           port to listen on; 0 picks a free port (default 1080)\n"
         "  --user NAME           user name clients must present (1..255 bytes)\n"
         "  --password TEXT       password clients must present (1..255 bytes)\n"
         "                        Without --user/--password the node is open: it\n"
         "                        accepts \"no authentication\", or any credentials\n"
         "                        from a client that offers only user/password.\n"
         "  --unblur              undo the client's Blur transformation on the\n"
         "                        client-to-node bytes after the CONNECT reply\n"
         "  --handshake-timeout S seconds allowed from accept to the CONNECT reply,\n"
         "                        including the outbound connect (default 10)\n"
         "\n"
         "UDP tunnel:\n"
         "  --udp-port PORT       serve the tunnel on this port of the --listen\n"
         "                        address; 0 picks a free port (default: no tunnel).\n"
         "                        Each datagram carries the 24-byte tunnel header\n"
         "                        (magic A5 5A, total length, destination IPv4\n"
         "                        address and port); the payload goes to the\n"
         "                        destination after --map, and every reply comes\n"
         "                        back behind the 20-byte reply header naming the\n"
         "                        destination as the engine gave it. Malformed\n"
         "                        datagrams are dropped with one log line. An ICMP\n"
         "                        echo request (port 0) is sent to the destination\n"
         "                        after --map and its echo reply comes back with\n"
         "                        port 0; other ICMP messages are dropped.\n"
         "  --udp-idle S          seconds without traffic after which an association\n"
         "                        (engine socket, destination) closes (default 60)\n"
         "  --udp-max-associations N\n"
         "                        most associations at once, one socket each; the\n"
         "                        least recently used is closed to make room\n"
         "                        (default 512)\n"
         "  --icmp-delay MS       hold each ICMP echo reply this many milliseconds\n"
         "                        before it goes back (default 0)\n"
         "\n"
         "DNS:\n"
         "  --dns-port PORT       answer DNS queries over UDP on this port of the\n"
         "                        --listen address; 0 picks a free port (default:\n"
         "                        no DNS service). Replies come from that address\n"
         "                        and port; malformed queries are dropped with one\n"
         "                        log line.\n"
         "  --dns-upstream ADDR:PORT\n"
         "                        forward queries the hosts file does not answer\n"
         "                        (loopback only unless --allow-remote); without\n"
         "                        it such queries are refused\n"
         "  --dns-hosts FILE      answer the names of this hosts-format file\n"
         "                        (address, then names) from it\n"
         "\n"
         "Destinations (SOCKS5 and the UDP tunnel):\n"
         "  --map RULE            where to really connect; repeatable. Forms:\n"
         "                          203.0.113.0/24=127.0.0.1        network, port kept\n"
         "                          203.0.113.5=127.0.0.1:9000      address, any port\n"
         "                          203.0.113.5:7000=127.0.0.1:9000 address and port\n"
         "                          game.example:443=127.0.0.1      host name (CONNECT\n"
         "                                                          by domain)\n"
         "                        A rule naming a port wins, then the longest prefix,\n"
         "                        then the rule given first.\n"
         "  --allow-remote        allow targets outside 127.0.0.0/8 and resolve\n"
         "                        unmapped host names; without it such requests\n"
         "                        get reply 02 (not allowed by ruleset) and such\n"
         "                        tunnel datagrams are dropped\n"
         "\n"
         "  -h, --help            show this text and exit\n"
         "\n"
         "SIGINT or SIGTERM closes the listeners, every connection and every tunnel\n"
         "association, then exits 0.\n";
}

bool parseOptions(const std::vector<std::string>& args, NodeOptions& options, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool hasInlineValue = false;
    if (name.rfind("--", 0) == 0) {
      size_t equals = name.find('=');
      if (equals != std::string::npos) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
        hasInlineValue = true;
      }
    }
    // Fetches the option's value from "--name=value" or the next argument.
    auto takeValue = [&]() {
      if (hasInlineValue) return true;
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    auto isFlag = [&]() {
      if (!hasInlineValue) return true;
      error = "option " + name + " takes no value";
      return false;
    };

    if (name == "-h" || name == "--help") {
      options.showHelp = true;
    } else if (name == "--listen") {
      if (!takeValue()) return false;
      if (value.empty()) {
        error = "--listen needs an address";
        return false;
      }
      options.listenAddress = value;
    } else if (name == "--port") {
      if (!takeValue()) return false;
      if (!parsePort(value, options.socksPort)) {
        error = "--port must be a number 0..65535: " + value;
        return false;
      }
    } else if (name == "--user") {
      if (!takeValue()) return false;
      options.user = value;
    } else if (name == "--password") {
      if (!takeValue()) return false;
      options.password = value;
    } else if (name == "--unblur") {
      if (!isFlag()) return false;
      options.unblur = true;
    } else if (name == "--allow-remote") {
      if (!isFlag()) return false;
      options.allowRemote = true;
    } else if (name == "--map") {
      if (!takeValue()) return false;
      if (!options.destinations.addRule(value, error)) return false;
    } else if (name == "--handshake-timeout") {
      if (!takeValue()) return false;
      if (!parsePositive(value, options.handshakeTimeoutSeconds)) {
        error = "--handshake-timeout must be a whole number of seconds above 0: " + value;
        return false;
      }
    } else if (name == "--udp-port") {
      if (!takeValue()) return false;
      uint16_t port = 0;
      if (!parsePort(value, port)) {
        error = "--udp-port must be a number 0..65535: " + value;
        return false;
      }
      options.udpPort = port;
    } else if (name == "--udp-idle") {
      if (!takeValue()) return false;
      if (!parsePositive(value, options.udpIdleSeconds)) {
        error = "--udp-idle must be a whole number of seconds above 0: " + value;
        return false;
      }
    } else if (name == "--icmp-delay") {
      if (!takeValue()) return false;
      if (value != "0" && !parsePositive(value, options.icmpDelayMs)) {
        error = "--icmp-delay must be a whole number of milliseconds: " + value;
        return false;
      }
    } else if (name == "--udp-max-associations") {
      if (!takeValue()) return false;
      if (!parsePositive(value, options.udpMaxAssociations)) {
        error = "--udp-max-associations must be a whole number above 0: " + value;
        return false;
      }
    } else if (name == "--dns-port") {
      if (!takeValue()) return false;
      uint16_t port = 0;
      if (!parsePort(value, port)) {
        error = "--dns-port must be a number 0..65535: " + value;
        return false;
      }
      options.dnsPort = port;
    } else if (name == "--dns-upstream") {
      if (!takeValue()) return false;
      const size_t colon = value.rfind(':');
      Ipv4Endpoint upstream;
      if (colon == std::string::npos || !parseIpv4(value.substr(0, colon), upstream.address) ||
          !parsePort(value.substr(colon + 1), upstream.port) || upstream.port == 0) {
        error = "--dns-upstream must be ADDRESS:PORT: " + value;
        return false;
      }
      options.dnsUpstream = upstream;
    } else if (name == "--dns-hosts") {
      if (!takeValue()) return false;
      options.dnsHostsPath = value;
    } else {
      error = "unknown option: " + args[i];
      return false;
    }
  }

  if (options.dnsUpstream && !isLoopback(options.dnsUpstream->address) && !options.allowRemote) {
    error = "--dns-upstream outside 127.0.0.0/8 needs --allow-remote";
    return false;
  }
  if (options.user.empty() != options.password.empty()) {
    error = "--user and --password go together: give both or neither";
    return false;
  }
  // RFC 1929 carries each field behind a one-byte length.
  if (options.user.size() > 255 || options.password.size() > 255) {
    error = "--user and --password are at most 255 bytes each";
    return false;
  }
  return true;
}

}  // namespace node
