// lumo-node as a program on 127.0.0.1, stopped by SIGTERM; destinations are
// documentation addresses that only the node's map turns into echo servers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loopback_peers.h"
#include "node_process.h"
#include "support/test_support.h"
#include "tcp/blur.h"

namespace {

using Bytes = std::vector<uint8_t>;
using lumotest::receiveUpTo;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// `value` behind its one-byte length, as SOCKS5 carries names and credentials.
Bytes counted(const std::string& value) {
  Bytes bytes(value.begin(), value.end());
  bytes.insert(bytes.begin(), static_cast<uint8_t>(value.size()));
  return bytes;
}

Bytes greeting(const Bytes& methods) {
  return concat({{0x05, static_cast<uint8_t>(methods.size())}, methods});
}
Bytes auth(const std::string& user, const std::string& password) {
  return concat({{0x01}, counted(user), counted(password)});
}
Bytes connectIpv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port, uint8_t command = 0x01) {
  return {0x05, command, 0x00, 0x01, a, b, c, d, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
}
Bytes connectName(const std::string& name, uint16_t port) {
  return concat({{0x05, 0x01, 0x00, 0x03},
                 counted(name),
                 {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)}});
}
Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

// One send: the node's socket buffer takes these few bytes at once.
bool sendAll(platform::Socket socket, const Bytes& bytes) {
  return platform::sendBytes(socket, bytes.data(), bytes.size()) == static_cast<int>(bytes.size());
}

// The first two bytes of a CONNECT reply (version and reply code).
Bytes replyCode(platform::Socket socket) {
  Bytes reply = receiveUpTo(socket, 10);
  if (reply.size() < 2) return reply;
  return {reply[0], reply[1]};
}

class NodeTest : public lumotest::NodeFixture<lumotest::EchoServer> {
 protected:
  // Starts the node with user u, password p, 203.0.113.0/24 and game.example
  // mapped to the echo server, 198.51.100.0/25 to an address off the machine
  // and 198.51.100.128/25 to a closed loopback port, and `extra`.
  void startNode(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--user", "u", "--password", "p"};
    for (const std::string& map :
         {echoMap("203.0.113.0/24"), echoMap("game.example"), std::string("198.51.100.0/25=192.0.2.1"),
          "198.51.100.128/25=127.0.0.1:" + std::to_string(lumotest::unusedLoopbackPort())})
      args.insert(args.end(), {"--map", map});
    args.insert(args.end(), extra.begin(), extra.end());
    startNodeWith(args);
  }

  // Connects to the node and sends `bytes` at once.
  platform::Socket open(const Bytes& bytes) {
    platform::Socket socket = lumotest::connectLoopback(node_.port());
    EXPECT_NE(socket, platform::kInvalidSocket);
    EXPECT_TRUE(sendAll(socket, bytes));
    return socket;
  }

  // Greets asking for username/password, authenticates as u/p and sends
  // `request` (and whatever follows it) in the same write; expects the
  // authentication to pass and the request's reply code to be `reply`.
  platform::Socket request(const Bytes& request, uint8_t reply) {
    platform::Socket socket = open(concat({greeting({0x02}), auth("u", "p"), request}));
    EXPECT_EQ(receiveUpTo(socket, 4), (Bytes{0x05, 0x02, 0x01, 0x00}));
    EXPECT_EQ(replyCode(socket), (Bytes{0x05, reply}));
    return socket;
  }

  // Expects the node to close `socket` without sending more; closes our end.
  static void expectClosed(platform::Socket socket) {
    EXPECT_TRUE(receiveUpTo(socket, 1).empty());
    platform::closeSocket(socket);
  }
};

TEST_F(NodeTest, RefusesWrongCredentialsConnectsMappedAddressesAndNamesAndRefusesWhatItCannotCarry) {
  ASSERT_TRUE(echo_.listening());
  startNode();
  const std::pair<std::string, std::string> wrong[] = {
      {"u", "P"}, {"u", "p!"}, {"u", ""}, {"v", "p"}, {"", ""}};
  for (const auto& [user, password] : wrong) {
    SCOPED_TRACE(user + "/" + password);
    platform::Socket socket = open(concat({greeting({0x02}), auth(user, password)}));
    EXPECT_EQ(receiveUpTo(socket, 4), (Bytes{0x05, 0x02, 0x01, 0x01})) << "status 1, then closed";
    expectClosed(socket);
  }
  // A node with credentials never lets a client skip them.
  platform::Socket socket = open(greeting({0x00}));
  EXPECT_EQ(receiveUpTo(socket, 2), (Bytes{0x05, 0xFF}));
  expectClosed(socket);
  EXPECT_TRUE(node_.logShows("result=auth-failed"));
  EXPECT_EQ(echo_.accepted(), 0);

  // (A client that waits for each reply in turn is the relay's SOCKS client in TcpEndToEnd.)
  socket = request(connectIpv4(203, 0, 113, 5, 7000), 0x00);
  EXPECT_EQ(lumotest::roundTrip(socket, text("hello lumo")), text("hello lumo"));
  platform::closeSocket(socket);
  EXPECT_TRUE(node_.logShows("to=203.0.113.5:7000 mapped=127.0.0.1:" + std::to_string(echo_.port()) +
                             " user=u result=ok up=10 down=10"))
      << node_.log();

  // A mapped name in any letter case; an unmapped one is neither resolved nor connected.
  socket = request(connectName("Game.Example", 443), 0x00);
  EXPECT_EQ(lumotest::roundTrip(socket, text("by name")), text("by name"));
  platform::closeSocket(socket);
  expectClosed(request(connectName("elsewhere.example", 443), 0x02));
  EXPECT_TRUE(node_.logShows("result=refused-unmapped-name"));

  // Each request the node cannot or must not carry is answered with its reply
  // code and closed: what the node cannot do, a connect that fails, and what
  // is neither loopback nor mapped to loopback (logged with its destination).
  Bytes ipv6 = {0x05, 0x01, 0x00, 0x04};
  ipv6.resize(4 + 16 + 2, 0x00);
  struct Row {
    const char* name;
    Bytes request;
    uint8_t reply;
    const char* logged;  // or null
  };
  const Row rows[] = {
      {"BIND (as UDP ASSOCIATE)", connectIpv4(203, 0, 113, 5, 80, 0x02), 0x07, nullptr},
      {"IPv6", ipv6, 0x08, nullptr},
      {"nothing listens there", connectIpv4(198, 51, 100, 200, 80), 0x05, nullptr},
      {"unmapped", connectIpv4(192, 0, 2, 7, 80), 0x02,
       "to=192.0.2.7:80 mapped=192.0.2.7:80 user=u result=refused-not-loopback"},
      {"mapped elsewhere", connectIpv4(198, 51, 100, 5, 80), 0x02,
       "to=198.51.100.5:80 mapped=192.0.2.1:80 user=u result=refused-not-loopback"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    expectClosed(request(row.request, row.reply));
    if (row.logged != nullptr) {
      EXPECT_TRUE(node_.logShows(row.logged)) << node_.log();
    }
  }
}

TEST_F(NodeTest, OpenNodeAcceptsNoAuthenticationAndAnyCredentials) {
  startNodeWith({"--map", echoMap("203.0.113.0/24")});
  platform::Socket socket =
      open(concat({greeting({0x00, 0x02}), connectIpv4(203, 0, 113, 9, 80), text("x")}));
  EXPECT_EQ(receiveUpTo(socket, 2), (Bytes{0x05, 0x00}));
  EXPECT_EQ(replyCode(socket), (Bytes{0x05, 0x00}));
  EXPECT_EQ(receiveUpTo(socket, 1), text("x"));
  platform::closeSocket(socket);

  socket = open(concat({greeting({0x02}), auth("anyone", "anything"), connectIpv4(203, 0, 113, 9, 80)}));
  EXPECT_EQ(receiveUpTo(socket, 4), (Bytes{0x05, 0x02, 0x01, 0x00}));
  EXPECT_EQ(replyCode(socket), (Bytes{0x05, 0x00}));
  platform::closeSocket(socket);
}

TEST_F(NodeTest, UndoesBlurOnTheUpstreamOnly) {
  startNode({"--unblur"});
  Bytes plain = {0x00, 0x41, 0xF9, 0xFF, 'g', 'a', 'm', 'e'};
  Bytes blurred = plain;
  tcp::BlurInPlace(blurred.data(), blurred.size());
  // The first blurred bytes travel in the same write as the handshake: they
  // are stream bytes all the same. The echo server sees plain bytes and sends
  // them back untransformed.
  platform::Socket socket =
      request(concat({connectIpv4(203, 0, 113, 5, 7000), {blurred[0], blurred[1]}}), 0x00);
  EXPECT_EQ(receiveUpTo(socket, 2), (Bytes{0x00, 0x41}));
  ASSERT_TRUE(sendAll(socket, Bytes(blurred.begin() + 2, blurred.end())));
  EXPECT_EQ(receiveUpTo(socket, 6), Bytes(plain.begin() + 2, plain.end()));
  platform::closeSocket(socket);
}

TEST_F(NodeTest, MalformedGreetingsAreClosedAndTheNodeServesOnUntilTerminationClosesAll) {
  startNode();
  Bytes allMethodsUnknown = {0x05, 0xFF};
  allMethodsUnknown.resize(2 + 255, 0x80);
  Bytes moreThanAnnounced = {0x05, 0x01, 0x02};
  moreThanAnnounced.resize(3 + 1000, 0xEE);
  struct Row {
    const char* name;
    Bytes bytes;
    Bytes reply;  // what the node answers before it closes
  };
  const Row rows[] = {
      {"truncated", {0x05, 0x03, 0x00}, {}},
      {"version 4 (the parser's other faults: Socks5Protocol.Greeting)", {0x04, 0x01, 0x00}, {}},
      {"255 methods, none acceptable", allMethodsUnknown, {0x05, 0xFF}},
      {"more method bytes than announced", moreThanAnnounced, {0x05, 0x02}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    platform::Socket socket = open(row.bytes);
    // A truncated greeting ends with the client's half-close.
    platform::shutdownSocket(socket, platform::ShutdownHow::Send);
    EXPECT_EQ(receiveUpTo(socket, row.reply.size()), row.reply);
    expectClosed(socket);
  }
  for (const char* result :
       {"bad-greeting", "closed-in-greeting", "no-acceptable-method", "bad-auth-request"})
    EXPECT_TRUE(node_.logShows(std::string("result=") + result)) << result;

  // The node still serves; SIGTERM closes what is open and the node exits cleanly.
  platform::Socket relayed = request(connectIpv4(203, 0, 113, 5, 7000), 0x00);
  platform::Socket idle = open(Bytes{0x05});
  EXPECT_EQ(node_.stop(), 0) << node_.log();
  expectClosed(relayed);
  expectClosed(idle);
  // Both connections were logged, the relayed one with its destination.
  EXPECT_NE(node_.log().find("to=203.0.113.5:7000 mapped=127.0.0.1:" + std::to_string(echo_.port()) +
                             " user=u result=node-stopped"),
            std::string::npos)
      << node_.log();
  EXPECT_NE(node_.log().find("to=- mapped=- user=- result=node-stopped"), std::string::npos) << node_.log();
}

TEST_F(NodeTest, SilentClientIsClosedAfterTheHandshakeTimeout) {
  startNode({"--handshake-timeout", "1"});
  expectClosed(open(Bytes{0x05}));
  EXPECT_TRUE(node_.logShows("result=handshake-timeout"));
}

// A command line the options refuse (each kind is in NodeOptions.CommandLines)
// and a listen address the node cannot use end the program with status 2.
TEST(NodeProgram, RejectsBadCommandLines) {
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{lumotest::nodeProgram(), "--frobnicate"},
        {lumotest::nodeProgram(), "--listen", "not-an-address"}}) {
    const lumotest::Outcome o = lumotest::run(argv, {}, {}, 10000);
    EXPECT_EQ(o.status, 2) << argv[1];
    EXPECT_EQ(o.output, "") << argv[1];
    EXPECT_NE(o.errors.find("lumo-node: "), std::string::npos) << o.errors;
  }
}

}  // namespace
