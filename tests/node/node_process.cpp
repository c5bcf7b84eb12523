#include "node_process.h"

#include <charconv>
#include <optional>
#include <utility>

namespace lumotest {

namespace {

// The port of "lumo-node: <what> listening on 127.0.0.1:PORT", or 0 when the
// line is anything else.
uint16_t announcedPort(const std::string& line, const std::string& what) {
  const std::string prefix = "lumo-node: " + what + " listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) != 0) return 0;
  unsigned port = 0;
  const char* begin = line.data() + prefix.size();
  auto [end, ec] = std::from_chars(begin, line.data() + line.size(), port);
  if (ec != std::errc() || end != line.data() + line.size() || port > 65535) return 0;
  return static_cast<uint16_t>(port);
}

}  // namespace

std::string nodeProgram() { return LUMO_NODE_PROGRAM; }

bool NodeProcess::start(const std::vector<std::string>& args, bool withTunnel, bool withDns,
                        std::string& error) {
  std::vector<std::string> all = {nodeProgram(), "--listen", "127.0.0.1", "--port", "0"};
  if (withTunnel) all.insert(all.end(), {"--udp-port", "0"});
  if (withDns) all.insert(all.end(), {"--dns-port", "0"});
  all.insert(all.end(), args.begin(), args.end());
  if (!child_.start(all, {}, error)) return false;
  // The node announces its services one line each, in this order.
  const std::pair<const char*, uint16_t*> services[] = {{"socks5", &port_},
                                                        {"udp tunnel", withTunnel ? &udpPort_ : nullptr},
                                                        {"dns", withDns ? &dnsPort_ : nullptr}};
  for (const auto& [what, port] : services) {
    if (port == nullptr) continue;
    const std::optional<std::string> line = child_.line();
    if (!line) {
      error = std::string("no ") + what + " line from lumo-node; its log: " + child_.errors();
      return false;
    }
    *port = announcedPort(*line, what);
    if (*port == 0) {
      error = "unexpected line from lumo-node: " + *line;
      return false;
    }
  }
  return true;
}

}  // namespace lumotest
