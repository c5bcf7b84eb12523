// lumo-node's parts on their own: its command line, the destination map,
// and the SOCKS5 parsers (annotated messages, then every truncation and each
// corrupted field).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "node/destination_map.h"
#include "node/options.h"
#include "node/socks5_protocol.h"

namespace {

using Args = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
using node::DestinationMap;
using node::Ipv4Endpoint;
using node::ParseStatus;

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
    EXPECT_TRUE(row.valid || !error.empty()) << shown << ": a refusal says why";
  }
}

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
    EXPECT_TRUE(row.valid || !error.empty()) << row.rule << ": a refusal says why";
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
        "game.example:443=127.0.0.10:8443"})
    ASSERT_TRUE(map.addRule(rule, error)) << rule << ": " << error;
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
  for (const Row& row : rows)
    EXPECT_EQ(map.map({ip(row.address), row.port}), row.expected) << row.address << ":" << row.port;
  EXPECT_EQ(map.mapName("game.example", 80), (Ipv4Endpoint{ip("127.0.0.9"), 80}));
  EXPECT_EQ(map.mapName("GAME.example", 443), (Ipv4Endpoint{ip("127.0.0.10"), 8443}));
  EXPECT_EQ(map.mapName("other.game.example", 80), std::nullopt);
  EXPECT_EQ(map.mapName("game.exampl", 80), std::nullopt);
}

// Every proper prefix of a valid message needs more bytes; the whole message
// completes and takes exactly its own length, also with bytes behind it.
template <typename Message, typename Parser>
void expectPrefixesNeedMore(Parser parse, const Bytes& message) {
  for (size_t length = 0; length < message.size(); ++length) {
    Message parsed;
    size_t consumed = 0;
    EXPECT_EQ(parse(std::span<const uint8_t>(message.data(), length), parsed, consumed),
              ParseStatus::kNeedMore)
        << "prefix of " << length;
  }
  Bytes withTail = message;
  withTail.insert(withTail.end(), {0xAA, 0xBB});
  Message parsed;
  size_t consumed = 0;
  EXPECT_EQ(parse(withTail, parsed, consumed), ParseStatus::kComplete);
  EXPECT_EQ(consumed, message.size());
}

TEST(Socks5Protocol, Greeting) {
  const Bytes greeting = {0x05, 0x02,   // VER, NMETHODS
                          0x00, 0x02};  // no authentication, user/password
  expectPrefixesNeedMore<node::Greeting>(node::parseGreeting, greeting);
  node::Greeting parsed;
  size_t consumed = 0;
  ASSERT_EQ(node::parseGreeting(greeting, parsed, consumed), ParseStatus::kComplete);
  EXPECT_EQ(parsed.methods, (Bytes{0x00, 0x02}));

  Bytes all(2 + 255, 0x80);  // the most methods a greeting can list
  all[0] = 0x05;
  all[1] = 0xFF;
  ASSERT_EQ(node::parseGreeting(all, parsed, consumed), ParseStatus::kComplete);
  EXPECT_EQ(parsed.methods.size(), 255u);

  for (const Bytes& bad : {Bytes{0x04, 0x01, 0x00}, Bytes{0x05, 0x00}, Bytes{0x00}})
    EXPECT_EQ(node::parseGreeting(bad, parsed, consumed), ParseStatus::kMalformed);
}

TEST(Socks5Protocol, AuthRequest) {
  const Bytes auth = {0x01,                  // sub-negotiation version
                      0x02, 'u', 'x',        // ULEN, UNAME
                      0x03, 'p', 'w', 'd'};  // PLEN, PASSWD
  expectPrefixesNeedMore<node::AuthRequest>(node::parseAuthRequest, auth);
  node::AuthRequest parsed;
  size_t consumed = 0;
  ASSERT_EQ(node::parseAuthRequest(auth, parsed, consumed), ParseStatus::kComplete);
  EXPECT_EQ(parsed.user, "ux");
  EXPECT_EQ(parsed.password, "pwd");

  // Lengths that claim more than arrives wait for more; they never read past.
  EXPECT_EQ(node::parseAuthRequest(Bytes{0x01, 0xFF, 'a'}, parsed, consumed), ParseStatus::kNeedMore);
  EXPECT_EQ(node::parseAuthRequest(Bytes{0x05, 0x01, 'a', 0x01, 'b'}, parsed, consumed),
            ParseStatus::kMalformed);
}

TEST(Socks5Protocol, Requests) {
  const Bytes ipv4 = {0x05, 0x01, 0x00, 0x01,  // VER, CONNECT, RSV, ATYP IPv4
                      203,  0,    113,  5,     // DST.ADDR
                      0x1B, 0x58};             // DST.PORT 7000
  expectPrefixesNeedMore<node::Request>(node::parseRequest, ipv4);
  node::Request parsed;
  size_t consumed = 0;
  ASSERT_EQ(node::parseRequest(ipv4, parsed, consumed), ParseStatus::kComplete);
  EXPECT_EQ(parsed.command, node::kCommandConnect);
  EXPECT_EQ(parsed.addressType, node::kAddressIpv4);
  EXPECT_EQ(parsed.ipv4, 0xCB007105u);
  EXPECT_EQ(parsed.port, 7000);

  const Bytes domain = {0x05, 0x01, 0x00, 0x03,       // ATYP domain
                        0x04, 'g',  'a',  'm',  'e',  // length, name
                        0x01, 0xBB};                  // 443
  expectPrefixesNeedMore<node::Request>(node::parseRequest, domain);
  ASSERT_EQ(node::parseRequest(domain, parsed, consumed), ParseStatus::kComplete);
  EXPECT_EQ(parsed.domain, "game");
  EXPECT_EQ(parsed.port, 443);

  Bytes ipv6 = {0x05, 0x01, 0x00, 0x04};
  ipv6.resize(4 + 16 + 2, 0x00);
  expectPrefixesNeedMore<node::Request>(node::parseRequest, ipv6);

  // An unknown address type stops after the fixed part; the server answers 08.
  ASSERT_EQ(node::parseRequest(Bytes{0x05, 0x01, 0x00, 0x09, 1, 2, 3}, parsed, consumed),
            ParseStatus::kComplete);
  EXPECT_EQ(parsed.addressType, 0x09);
  EXPECT_EQ(consumed, 4u);

  const Bytes malformed[] = {
      {0x04, 0x01, 0x00, 0x01, 1, 2, 3, 4, 0, 80},  // version 4
      {0x05, 0x01, 0x01, 0x01, 1, 2, 3, 4, 0, 80},  // reserved byte set
      {0x05, 0x01, 0x00, 0x03, 0x00, 0, 80},        // empty name
  };
  for (const Bytes& bad : malformed)
    EXPECT_EQ(node::parseRequest(bad, parsed, consumed), ParseStatus::kMalformed);
}

}  // namespace
