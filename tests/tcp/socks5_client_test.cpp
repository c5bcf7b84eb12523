// Socks5Connect against a scripted node on 127.0.0.1: every result code, the
// exact bytes sent, replies split or cut short, and credentials that do not
// fit the authentication message. ConnectDirect against an echo server.
#include "tcp/socks5_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loopback_peers.h"
#include "platform/owned_socket.h"

namespace {

using lumotest::ScriptedNode;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLoopback = platform::ipv4(127, 0, 0, 1);
const std::string kUser = "user";
const std::string kPassword = "password";

// 203.0.113.5:7000, a documentation address: only the scripted node sees it.
platform::SocketAddress destination() {
  return platform::makeIpv4Address(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(7000));
}

const Bytes kGreeting = {0x05, 0x01, 0x02};
const Bytes kAuth = {0x01, 0x04, 'u', 's', 'e', 'r', 0x08, 'p', 'a', 's', 's', 'w', 'o', 'r', 'd'};
const Bytes kConnect = {0x05, 0x01, 0x00, 0x01, 203, 0, 113, 5, 0x1B, 0x58};
const Bytes kMethodOk = {0x05, 0x02};
const Bytes kAuthOk = {0x01, 0x00};
const Bytes kConnectOk = {0x05, 0x00, 0x00, 0x01, 127, 0, 0, 1, 0x1F, 0x90};

// The node's side up to each request: the greeting read and accepted; the
// authentication read too; the CONNECT read after a successful authentication.
using S = ScriptedNode;
std::vector<S::Step> then(std::vector<S::Step> head, std::initializer_list<S::Step> tail) {
  head.insert(head.end(), tail);
  return head;
}
const std::vector<S::Step> kToAuth = {S::read(3), S::send(kMethodOk), S::read(15)};
const std::vector<S::Step> kToConnect = then(kToAuth, {S::send(kAuthOk), S::read(10)});

struct Outcome {
  uint32_t result = 0;
  int32_t detail = -12345;
  Bytes nodeReceived;
  platform::OwnedSocket socket;  // the client's, with whatever the node sent after its replies
};

Outcome runAgainst(std::vector<ScriptedNode::Step> script, const std::string& user = kUser,
                   const std::string& password = kPassword) {
  ScriptedNode node(std::move(script));
  Outcome outcome;
  outcome.socket.reset(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream));
  outcome.result = tcp::Socks5Connect(platform::kFamilyIpv4, outcome.socket.get(), destination(), kLoopback,
                                      platform::hostToNet16(node.port()), user, password, outcome.detail);
  // The node's reads end at the client's end of stream, not at a deadline.
  platform::shutdownSocket(outcome.socket.get(), platform::ShutdownHow::Send);
  outcome.nodeReceived = node.finish();
  return outcome;
}

// The node's replies whole, split into single bytes, and with the
// destination's first bytes right behind the CONNECT reply (a domain-name
// bound address): the client sends exactly its three messages and leaves the
// stream's bytes on the socket for the relay.
TEST(Socks5Connect, SucceedsAndSendsExactlyTheThreeMessages) {
  std::vector<S::Step> split = {S::read(3),      S::send({0x05}), S::send({0x02}), S::read(15),
                                S::send({0x01}), S::send({0x00}), S::read(10)};
  for (uint8_t byte : kConnectOk) split.push_back(S::send({byte}));
  const Bytes replyAndData = {0x05, 0x00, 0x00, 0x03, 4,   'n', 'o', 'd',
                              'e',  0x1F, 0x90, 'H',  'E', 'L', 'L', 'O'};
  const std::vector<S::Step> scripts[] = {then(kToConnect, {S::send(kConnectOk)}), split,
                                          then(kToConnect, {S::send(replyAndData), S::close()})};
  Bytes expected = kGreeting;
  expected.insert(expected.end(), kAuth.begin(), kAuth.end());
  expected.insert(expected.end(), kConnect.begin(), kConnect.end());
  for (const auto& script : scripts) {
    Outcome outcome = runAgainst(script);
    EXPECT_EQ(outcome.result, tcp::kSocks5Ok);
    EXPECT_EQ(outcome.detail, 0);
    EXPECT_EQ(outcome.nodeReceived, expected);
    if (&script == &scripts[2]) {
      EXPECT_EQ(lumotest::receiveUpTo(outcome.socket.get(), 5), (Bytes{'H', 'E', 'L', 'L', 'O'}));
    }
  }
}

// Each row: what the node does after the greeting arrived, and the result.
struct FailureRow {
  const char* name;
  std::vector<ScriptedNode::Step> script;
  uint32_t result;
  int32_t detail;  // -1: any socket error number (or 0 for an orderly close)
};

TEST(Socks5Connect, EveryFailureOfTheHandshake) {
  const std::vector<FailureRow> rows = {
      {"method reply: no authentication", {S::read(3), S::send({0x05, 0x00})}, tcp::kSocks5Refused, 5},
      {"method reply: none acceptable", {S::read(3), S::send({0x05, 0xFF})}, tcp::kSocks5Refused, 0xFF05},
      {"method reply: version 4", {S::read(3), S::send({0x04, 0x02})}, tcp::kSocks5Refused, 0x0204},
      {"node closes before the method reply", {S::read(3), S::close()}, tcp::kSocks5GreetingReceiveFailed, 0},
      {"method reply cut", {S::read(3), S::send({0x05}), S::close()}, tcp::kSocks5GreetingReceiveFailed, 0},
      {"authentication refused", then(kToAuth, {S::send({0x01, 0x01})}), tcp::kSocks5Refused, 0x0101},
      {"node closes before the authentication reply", then(kToAuth, {S::close()}),
       tcp::kSocks5AuthReceiveFailed, 0},
      {"CONNECT refused by ruleset", then(kToConnect, {S::send({0x05, 0x02, 0x00, 0x01, 0, 0, 0, 0, 0, 0})}),
       tcp::kSocks5ConnectRefused, 0x0205},
      {"CONNECT answered with a wrong version", then(kToConnect, {S::send({0x04, 0x00})}),
       tcp::kSocks5ConnectRefused, 0x0004},
      {"node closes before the CONNECT reply", then(kToConnect, {S::close()}),
       tcp::kSocks5ConnectReceiveFailed, 0},
      {"CONNECT reply cut inside its bound address",
       then(kToConnect, {S::send({0x05, 0x00, 0x00, 0x01, 127, 0}), S::close()}),
       tcp::kSocks5ConnectReceiveFailed, 0},
  };
  for (const FailureRow& row : rows) {
    Outcome outcome = runAgainst(row.script);
    EXPECT_EQ(outcome.result, row.result) << row.name;
    EXPECT_EQ(outcome.detail, row.detail) << row.name;
  }
}

// Failures before the first handshake byte: no node listening (the
// socket's error comes back), and an IPv6 family, refused without connecting.
TEST(Socks5Connect, NoNodeOrAnIpv6FamilyFailsBeforeTheHandshake) {
  platform::OwnedSocket socket(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream));
  int32_t detail = 0;
  const uint32_t result =
      tcp::Socks5Connect(platform::kFamilyIpv4, socket.get(), destination(), kLoopback,
                         platform::hostToNet16(lumotest::unusedLoopbackPort()), kUser, kPassword, detail);
  EXPECT_EQ(platform::lastSocketError(), platform::NetError::ConnectionRefused);
  EXPECT_EQ(result, tcp::kSocks5NodeConnectFailed);
  EXPECT_NE(detail, 0);

  ScriptedNode node({ScriptedNode::read(3)});
  socket.reset(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream));
  detail = -1;
  EXPECT_EQ(tcp::Socks5Connect(platform::kFamilyIpv6, socket.get(), destination(), kLoopback,
                               platform::hostToNet16(node.port()), kUser, kPassword, detail),
            tcp::kSocks5FamilyNotSupported);
  node.finish();
  EXPECT_EQ(detail, 0);
  EXPECT_FALSE(node.connected());
}

TEST(Socks5Connect, CredentialsMustFitTheAuthenticationMessage) {
  struct Row {
    size_t userLength;
    size_t passwordLength;
    bool fits;
  };
  const Row rows[] = {
      {253, 0, true},     // 1 + 1 + 253 + 1 + 0 = 256 bytes: the largest message
      {126, 127, true},   // together 253
      {127, 127, false},  // together 254: one byte too many
      {255, 0, false},    // fits its length byte, not the message
      {256, 0, false},    // no longer fits its length byte
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.userLength << "+" << row.passwordLength);
    const size_t authLength = 3 + row.userLength + row.passwordLength;
    const std::vector<S::Step> greeted = {S::read(3), S::send(kMethodOk)};
    Outcome outcome = runAgainst(
        row.fits ? then(greeted, {S::read(authLength), S::send(kAuthOk), S::read(10), S::send(kConnectOk)})
                 : greeted,
        std::string(row.userLength, 'u'), std::string(row.passwordLength, 'p'));
    if (row.fits) {
      EXPECT_EQ(outcome.result, tcp::kSocks5Ok);
      ASSERT_EQ(outcome.nodeReceived.size(), 3 + authLength + 10);
      EXPECT_EQ(outcome.nodeReceived[4], row.userLength);
      EXPECT_EQ(outcome.nodeReceived[5 + row.userLength], row.passwordLength);
    } else {
      EXPECT_EQ(outcome.result, tcp::kSocks5CredentialsTooLong);
      EXPECT_EQ(outcome.detail, static_cast<int32_t>(row.userLength + row.passwordLength));
      EXPECT_TRUE(outcome.nodeReceived.empty()) << "nothing may reach the node";
    }
  }
}

// A connected socket replaces the caller's; a failed connect leaves none, and
// an IPv6 family is refused with the caller's socket untouched.
TEST(ConnectDirect, ReplacesTheSocketOrLeavesNone) {
  lumotest::EchoServer echo;
  ASSERT_TRUE(echo.listening());
  platform::Socket socket = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
  platform::SocketAddress target = platform::makeIpv4Address(kLoopback, platform::hostToNet16(echo.port()));
  ASSERT_TRUE(tcp::ConnectDirect(platform::kFamilyIpv4, socket, target));
  EXPECT_EQ(lumotest::roundTrip(socket, {1, 2, 3}), (Bytes{1, 2, 3}));
  platform::closeSocket(socket);

  socket = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
  const platform::SocketAddress closed =
      platform::makeIpv4Address(kLoopback, platform::hostToNet16(lumotest::unusedLoopbackPort()));
  const platform::Socket before = socket;
  EXPECT_FALSE(tcp::ConnectDirect(platform::kFamilyIpv6, socket, closed));
  EXPECT_EQ(socket, before);
  EXPECT_FALSE(tcp::ConnectDirect(platform::kFamilyIpv4, socket, closed));
  EXPECT_EQ(socket, platform::kInvalidSocket);
}

}  // namespace
