#include "node_process.h"

#include <charconv>

namespace lumotest {

std::string nodeProgram() { return LUMO_NODE_PROGRAM; }

bool NodeProcess::start(const std::vector<std::string>& args, std::string& error) {
  std::vector<std::string> all = {"--listen", "127.0.0.1", "--port", "0"};
  all.insert(all.end(), args.begin(), args.end());
  if (!child_.start(nodeProgram(), all, error)) return false;
  // "lumo-node: socks5 listening on 127.0.0.1:PORT"
  std::string line;
  if (!child_.readLine(line)) {
    error = "no first line from lumo-node; its log: " + child_.errorOutput();
    return false;
  }
  size_t colon = line.rfind(':');
  unsigned port = 0;
  const char* begin = line.data() + (colon == std::string::npos ? line.size() : colon + 1);
  auto [end, ec] = std::from_chars(begin, line.data() + line.size(), port);
  if (line.find("socks5 listening on 127.0.0.1:") == std::string::npos || ec != std::errc() ||
      end != line.data() + line.size() || port == 0 || port > 65535) {
    error = "unexpected first line from lumo-node: " + line;
    return false;
  }
  port_ = static_cast<uint16_t>(port);
  return true;
}

}  // namespace lumotest
