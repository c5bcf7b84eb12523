// The node's SOCKS5 parsers: annotated messages, then every truncation and
// each corrupted field.
#include "node/socks5_protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using node::ParseStatus;
using Bytes = std::vector<uint8_t>;

// Every proper prefix of a valid message needs more bytes; the whole message
// completes and takes exactly its own length, also with bytes behind it.
template <typename Message, typename Parser>
void expectPrefixesNeedMore(Parser parse, const Bytes& message) {
  for (size_t length = 0; length < message.size(); ++length) {
    Message parsed;
    size_t consumed = 0;
    EXPECT_EQ(parse(std::span<const uint8_t>(message.data(), length), parsed, consumed), ParseStatus::kNeedMore)
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
  const Bytes greeting = {0x05, 0x02,  // VER, NMETHODS
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

  for (const Bytes& bad : {Bytes{0x04, 0x01, 0x00}, Bytes{0x05, 0x00}, Bytes{0x00}}) {
    EXPECT_EQ(node::parseGreeting(bad, parsed, consumed), ParseStatus::kMalformed);
  }
}

TEST(Socks5Protocol, AuthRequest) {
  const Bytes auth = {0x01,                    // sub-negotiation version
                      0x02, 'u', 'x',          // ULEN, UNAME
                      0x03, 'p', 'w', 'd'};    // PLEN, PASSWD
  expectPrefixesNeedMore<node::AuthRequest>(node::parseAuthRequest, auth);
  node::AuthRequest parsed;
  size_t consumed = 0;
  ASSERT_EQ(node::parseAuthRequest(auth, parsed, consumed), ParseStatus::kComplete);
  EXPECT_EQ(parsed.user, "ux");
  EXPECT_EQ(parsed.password, "pwd");

  // Lengths that claim more than arrives wait for more; they never read past.
  EXPECT_EQ(node::parseAuthRequest(Bytes{0x01, 0xFF, 'a'}, parsed, consumed), ParseStatus::kNeedMore);
  EXPECT_EQ(node::parseAuthRequest(Bytes{0x05, 0x01, 'a', 0x01, 'b'}, parsed, consumed), ParseStatus::kMalformed);
}

TEST(Socks5Protocol, Requests) {
  const Bytes ipv4 = {0x05, 0x01, 0x00, 0x01,  // VER, CONNECT, RSV, ATYP IPv4
                      203, 0, 113, 5,          // DST.ADDR
                      0x1B, 0x58};             // DST.PORT 7000
  expectPrefixesNeedMore<node::Request>(node::parseRequest, ipv4);
  node::Request parsed;
  size_t consumed = 0;
  ASSERT_EQ(node::parseRequest(ipv4, parsed, consumed), ParseStatus::kComplete);
  EXPECT_EQ(parsed.command, node::kCommandConnect);
  EXPECT_EQ(parsed.addressType, node::kAddressIpv4);
  EXPECT_EQ(parsed.ipv4, 0xCB007105u);
  EXPECT_EQ(parsed.port, 7000);

  const Bytes domain = {0x05, 0x01, 0x00, 0x03,  // ATYP domain
                        0x04, 'g', 'a', 'm', 'e',  // length, name
                        0x01, 0xBB};               // 443
  expectPrefixesNeedMore<node::Request>(node::parseRequest, domain);
  ASSERT_EQ(node::parseRequest(domain, parsed, consumed), ParseStatus::kComplete);
  EXPECT_EQ(parsed.domain, "game");
  EXPECT_EQ(parsed.port, 443);

  Bytes ipv6 = {0x05, 0x01, 0x00, 0x04};
  ipv6.resize(4 + 16 + 2, 0x00);
  expectPrefixesNeedMore<node::Request>(node::parseRequest, ipv6);

  // An unknown address type stops after the fixed part; the server answers 08.
  ASSERT_EQ(node::parseRequest(Bytes{0x05, 0x01, 0x00, 0x09, 1, 2, 3}, parsed, consumed), ParseStatus::kComplete);
  EXPECT_EQ(parsed.addressType, 0x09);
  EXPECT_EQ(consumed, 4u);

  const Bytes malformed[] = {
      {0x04, 0x01, 0x00, 0x01, 1, 2, 3, 4, 0, 80},  // version 4
      {0x05, 0x01, 0x01, 0x01, 1, 2, 3, 4, 0, 80},  // reserved byte set
      {0x05, 0x01, 0x00, 0x03, 0x00, 0, 80},        // empty name
  };
  for (const Bytes& bad : malformed) {
    EXPECT_EQ(node::parseRequest(bad, parsed, consumed), ParseStatus::kMalformed);
  }
}

}  // namespace
