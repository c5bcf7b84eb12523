#include "node/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;

TEST(NodeOptions, CommandLines) {
  struct Row {
    Args args;
    bool valid;
  };
  const std::vector<Row> rows = {
      {{}, true},
      {{"--port", "0", "--listen", "127.0.0.2"}, true},
      {{"--port=65535", "--user=u", "--password=p", "--unblur", "--allow-remote"}, true},
      {{"--map", "203.0.113.0/24=127.0.0.1", "--map=game.example=127.0.0.1:80"}, true},
      {{"--handshake-timeout", "3"}, true},
      {{"--udp-port", "0", "--udp-idle=5", "--udp-max-associations", "1"}, true},
      {{"--port"}, false},  // value missing
      {{"--port", "65536"}, false},
      {{"--port", "-1"}, false},
      {{"--user", "u"}, false},  // password missing
      {{"--password", "p"}, false},
      {{"--user", std::string(256, 'u'), "--password", "p"}, false},
      {{"--map", "203.0.113.0/24"}, false},
      {{"--unblur=yes"}, false},
      {{"--handshake-timeout", "0"}, false},
      {{"--udp-port", "65536"}, false},
      {{"--udp-port"}, false},
      {{"--udp-idle", "0"}, false},
      {{"--udp-max-associations", "0"}, false},
      {{"--frobnicate"}, false},
      {{"extra"}, false},
  };
  for (const Row& row : rows) {
    node::NodeOptions options;
    std::string error;
    std::string shown;
    for (const std::string& arg : row.args) shown += arg.substr(0, 20) + " ";
    EXPECT_EQ(node::parseOptions(row.args, options, error), row.valid) << shown << ": " << error;
    if (!row.valid) {
      EXPECT_FALSE(error.empty()) << shown;
    }
  }
}

}  // namespace
