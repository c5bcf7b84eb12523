#include "options.h"

#include <charconv>

namespace node {

namespace {

bool parseSeconds(const std::string& text, uint32_t& value) {
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
         "Reference proxy node of the Lumo acceleration service. Today it serves\n"
         "SOCKS5 (RFC 1928, CONNECT with IPv4 and domain addresses) with\n"
         "user name/password authentication (RFC 1929).\n"
         "\n"
         "The first line on standard output names the SOCKS5 address and port:\n"
         "  lumo-node: socks5 listening on 127.0.0.1:PORT\n"
         "One log line per connection goes to standard error.\n"
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
         "Destinations:\n"
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
         "                        get reply 02 (not allowed by ruleset)\n"
         "\n"
         "  -h, --help            show this text and exit\n"
         "\n"
         "SIGINT or SIGTERM closes the listener and every connection, then exits 0.\n";
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
      if (!parseSeconds(value, options.handshakeTimeoutSeconds)) {
        error = "--handshake-timeout must be a whole number of seconds above 0: " + value;
        return false;
      }
    } else {
      error = "unknown option: " + args[i];
      return false;
    }
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
