#include "node/destination_map.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using node::DestinationMap;
using node::Ipv4Endpoint;

uint32_t ip(const char* text) {
  uint32_t address = 0;
  EXPECT_TRUE(node::parseIpv4(text, address)) << text;
  return address;
}

TEST(DestinationMap, RuleSyntax) {
  struct Row {
    const char* rule;
    bool valid;
  };
  const Row rows[] = {
      {"203.0.113.0/24=127.0.0.1", true},
      {"203.0.113.5=127.0.0.1:9000", true},
      {"203.0.113.5:7000=127.0.0.1:9000", true},
      {"203.0.113.0/24:7000=127.0.0.1", true},
      {"0.0.0.0/0=127.0.0.1", true},
      {"game.example:443=127.0.0.1:8443", true},
      {"Game-Server_1.example=127.0.0.1", true},
      {"203.0.113.0/24", false},              // no target
      {"=127.0.0.1", false},                  // no source
      {"203.0.113.0/24=", false},             // no target
      {"203.0.113.0/24=127.0.0.1=x", false},  // two '='
      {"203.0.113.0/33=127.0.0.1", false},    // prefix beyond 32
      {"203.0.113.5/24=127.0.0.1", false},    // host bits beyond the prefix
      {"203.0.113.05=127.0.0.1", false},      // the strict parser (its rows are in tests/platform)
      {"203.0.113.5:0=127.0.0.1", false},
      {"203.0.113.5:65536=127.0.0.1", false},
      {"203.0.113.5:70a=127.0.0.1", false},
      {"203.0.113.5=127.0.0.1:", false},
      {"203.0.113.5=127.0.0.1:0", false},
      {"203.0.113.5=localhost", false},  // targets are addresses
      {"203.0.113.5=::1", false},
      {"bad name!=127.0.0.1", false},
  };
  for (const Row& row : rows) {
    DestinationMap map;
    std::string error;
    EXPECT_EQ(map.addRule(row.rule, error), row.valid) << row.rule << ": " << error;
    EXPECT_EQ(map.size(), row.valid ? 1u : 0u) << row.rule;
    if (!row.valid) {
      EXPECT_FALSE(error.empty()) << row.rule;
    }
  }
}

// Addresses: the port rule, then the longest prefix (the default route last
// of all), then the first. Names: whole names in any letter case.
TEST(DestinationMap, ChoosesThePortRuleThenTheLongestPrefixThenTheFirstAndWholeNames) {
  DestinationMap map;
  std::string error;
  for (const char* rule :
       {"203.0.113.0/24=127.0.0.1", "203.0.113.0/28=127.0.0.2", "203.0.113.5=127.0.0.3:9000",
        "203.0.113.0/24:7000=127.0.0.4", "198.51.100.0/24=127.0.0.5", "198.51.100.0/24=127.0.0.6",
        "203.0.113.0/24:7000=127.0.0.7", "0.0.0.0/0=127.0.0.8:1", "Game.Example=127.0.0.9",
        "game.example:443=127.0.0.10:8443"}) {
    ASSERT_TRUE(map.addRule(rule, error)) << rule << ": " << error;
  }
  struct Row {
    const char* address;
    uint16_t port;
    Ipv4Endpoint expected;
  };
  const std::vector<Row> rows = {
      {"203.0.113.200", 80, {ip("127.0.0.1"), 80}},    // only the /24: port kept
      {"203.0.113.9", 80, {ip("127.0.0.2"), 80}},      // the /28 is longer
      {"203.0.113.5", 80, {ip("127.0.0.3"), 9000}},    // the /32 with its own port
      {"203.0.113.5", 7000, {ip("127.0.0.4"), 7000}},  // a port rule beats any prefix
      {"198.51.100.1", 1, {ip("127.0.0.5"), 1}},       // equal rules: the first
      {"198.51.101.1", 1, {ip("127.0.0.8"), 1}},       // only the default route
      {"192.0.2.1", 7000, {ip("127.0.0.8"), 1}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(map.map({ip(row.address), row.port}), row.expected) << row.address << ":" << row.port;
  }
  EXPECT_EQ(map.mapName("game.example", 80), (Ipv4Endpoint{ip("127.0.0.9"), 80}));
  EXPECT_EQ(map.mapName("GAME.example", 443), (Ipv4Endpoint{ip("127.0.0.10"), 8443}));
  EXPECT_EQ(map.mapName("other.game.example", 80), std::nullopt);
  EXPECT_EQ(map.mapName("game.exampl", 80), std::nullopt);
}

}  // namespace
