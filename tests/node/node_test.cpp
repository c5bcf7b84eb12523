// lumo-node as a program on 127.0.0.1, stopped by SIGTERM: its SOCKS5 side,
// then its UDP tunnel with the test playing the engine. Destinations are
// documentation addresses that only the node's map turns into echo servers.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "loopback_peers.h"
#include "node_process.h"
#include "platform/net.h"
#include "platform/owned_socket.h"
#include "support/test_support.h"
#include "tcp/blur.h"
#include "udp/internet_checksum.h"
#include "udp/tunnel_header.h"
#include "udp_echo_server.h"

namespace {

using Bytes = std::vector<uint8_t>;
using lumotest::receiveUpTo;
using platform::hostToNet16;
using platform::ipv4;

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
  EXPECT_TRUE(node_.logShows("to=203.0.113.5:7000 mapped=127.0.0.1:" + std::to_string(echo_.port()) +
                             " user=u result=node-stopped"))
      << node_.log();
  EXPECT_TRUE(node_.logShows("to=- mapped=- user=- result=node-stopped")) << node_.log();
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

// The UDP tunnel: the test plays the engine.
constexpr uint32_t kUserId = 0x01020304;

// The engine's side of a tunnel message to `addressNet`:`port`.
Bytes tunnelMessage(uint32_t addressNet, uint16_t port, const Bytes& payload) {
  Bytes message(payload.size() + UdpProxy::kTunnelHeaderLength);
  size_t length = UdpProxy::BuildTunnelMessage(message.data(), message.size(), kUserId, hostToNet16(port),
                                               addressNet, 0x12345678, payload.data(), payload.size());
  EXPECT_EQ(length, message.size());
  return message;
}

Bytes pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

// A UDP socket on 127.0.0.1 standing in for one of the engine's flow sockets,
// talking to the node's tunnel on `nodePort`.
class EngineSocket {
 public:
  explicit EngineSocket(uint16_t nodePort) : nodePort_(nodePort) {
    EXPECT_TRUE(platform::bindSocket(socket_.get(), platform::makeIpv4Address(ipv4(127, 0, 0, 1), 0)));
  }

  void send(const Bytes& datagram) {
    int sent = platform::sendTo(socket_.get(), datagram.data(), datagram.size(),
                                platform::makeIpv4Address(ipv4(127, 0, 0, 1), hostToNet16(nodePort_)));
    EXPECT_EQ(sent, static_cast<int>(datagram.size()));
  }

  // The next datagram's reply message, or nothing within 10 s.
  std::optional<UdpProxy::ReplyMessage> receive() {
    if (platform::waitReadable(socket_.get(), 10000) != 1) return std::nullopt;
    const int count = platform::receiveFrom(socket_.get(), buffer_.data(), buffer_.size(), nullptr);
    UdpProxy::ReplyMessage message;
    if (count < 0 || !UdpProxy::ParseReplyMessage(buffer_.data(), static_cast<size_t>(count), message))
      return std::nullopt;
    return message;
  }

  // Sends `payload` through the tunnel to `addressNet`:`port` and expects it
  // back behind a reply header that names that same address and port.
  void roundTrip(uint32_t addressNet, uint16_t port, const Bytes& payload) {
    send(tunnelMessage(addressNet, port, payload));
    std::optional<UdpProxy::ReplyMessage> reply = receive();
    ASSERT_TRUE(reply.has_value()) << "no reply for " << payload.size() << " bytes";
    EXPECT_EQ(reply->peerAddressNet, addressNet);
    EXPECT_EQ(reply->peerPortNet, hostToNet16(port));
    EXPECT_EQ(Bytes(reply->payload, reply->payload + reply->length), payload);
  }

 private:
  platform::OwnedSocket socket_{platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram)};
  uint16_t nodePort_;
  Bytes buffer_ = Bytes(65536);
};

size_t occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

class UdpTunnelTest : public lumotest::NodeFixture<lumotest::UdpEchoServer> {
 protected:
  void startNode(const std::vector<std::string>& args) {
    ASSERT_TRUE(echo_.ready());
    startNodeWith(args, true);
  }
};

// The lower half of 203.0.113.0/24 reaches the echo server; the upper half
// is mapped to an address outside loopback, which the node refuses.
TEST_F(UdpTunnelTest, RepliesNameTheDestinationBadDatagramsAreDroppedAndEchoRequestsPinged) {
  startNode({"--map", echoMap("203.0.113.0/25"), "--map", "203.0.113.128/25=192.0.2.1"});
  EngineSocket engine(node_.udpPort());
  // Sizes from one byte to beyond what one IPv4 fragment holds; each
  // destination is its own association, and each reply names its own.
  for (size_t size : {size_t{1}, size_t{1400}, size_t{60000}})
    engine.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(size, 1));
  engine.roundTrip(ipv4(203, 0, 113, 77), 27015, pattern(64, 2));
  EXPECT_TRUE(node_.logShows("to=203.0.113.5:7000 mapped=127.0.0.1:" + std::to_string(echo_.port()) +
                             " user=16909060"))
      << node_.log();
  EXPECT_TRUE(node_.logShows("to=203.0.113.77:27015 mapped=127.0.0.1:" + std::to_string(echo_.port())));

  const Bytes good = tunnelMessage(ipv4(203, 0, 113, 5), 7000, {'o', 'k'});
  Bytes badMagic = good;
  badMagic[1] = 0x5B;
  Bytes longerThanSaid = good;
  longerThanSaid.push_back(0);
  Bytes shorterThanSaid = good;
  shorterThanSaid.pop_back();
  struct Row {
    Bytes datagram;
    std::string logged;
  };
  const Row rows[] = {
      {{}, "size=0 reason=short"},
      {Bytes(good.begin(), good.begin() + 23), "size=23 reason=short"},
      {badMagic, "size=26 reason=bad-magic"},
      {longerThanSaid, "size=27 reason=bad-length"},
      {shorterThanSaid, "size=25 reason=bad-length"},
      {tunnelMessage(ipv4(203, 0, 113, 5), 0, pattern(64, 3)), "reason=icmp-not-echo to=203.0.113.5"},
      {tunnelMessage(ipv4(198, 51, 100, 7), 53, {1}),
       "reason=refused-not-loopback to=198.51.100.7:53 mapped=198.51.100.7:53"},
      {tunnelMessage(ipv4(203, 0, 113, 200), 7000, {1}),
       "reason=refused-not-loopback to=203.0.113.200:7000 mapped=192.0.2.1:7000"},
  };
  const size_t echoedBefore = echo_.sourcePorts().size();
  for (const Row& row : rows) {
    engine.send(row.datagram);
    // The node handles an engine socket's datagrams in order: the good one's
    // reply comes back, and nothing dropped before it reached the echo server.
    engine.roundTrip(ipv4(203, 0, 113, 5), 7000, {'o', 'k'});
    EXPECT_TRUE(node_.logShows(row.logged)) << row.logged << "\n" << node_.log();
  }
  EXPECT_EQ(echo_.sourcePorts().size(), echoedBefore + std::size(rows));
  EXPECT_EQ(occurrences(node_.log(), "udp drop "), std::size(rows)) << node_.log();
  EXPECT_EQ(occurrences(node_.log(), " open engine="), 2u) << "one association per destination\n"
                                                           << node_.log();

  // Echo requests to the lower half are pinged on 127.0.0.1 and answered with port 0.
  for (uint16_t sequence : {uint16_t{1}, uint16_t{2}}) {
    Bytes request = pattern(8 + 40, 9);
    request[0] = 8, request[1] = 0, request[2] = 0, request[3] = 0;
    request[4] = 0xBE, request[5] = 0xEF, request[6] = 0, request[7] = static_cast<uint8_t>(sequence);
    udp::StoreChecksum(&request[2], udp::InternetChecksum(request.data(), request.size()));
    engine.send(tunnelMessage(ipv4(203, 0, 113, 5), 0, request));
    std::optional<UdpProxy::ReplyMessage> reply = engine.receive();
    ASSERT_TRUE(reply.has_value()) << node_.log();
    EXPECT_EQ(reply->peerAddressNet, ipv4(203, 0, 113, 5));
    EXPECT_EQ(reply->peerPortNet, 0);
    const Bytes echoed(reply->payload, reply->payload + reply->length);
    ASSERT_EQ(echoed.size(), request.size());
    EXPECT_EQ(echoed[0], 0) << "an echo reply";
    EXPECT_EQ(udp::InternetChecksum(echoed.data(), echoed.size()), 0) << "its checksum holds";
    // The request's identifier comes back whatever socket the node pinged from.
    EXPECT_TRUE(std::equal(echoed.begin() + 4, echoed.end(), request.begin() + 4));
  }
  EXPECT_TRUE(node_.logShows("icmp echo engine=")) << node_.log();
  EXPECT_EQ(occurrences(node_.log(), "result=replied"), 2u) << node_.log();
  // Where the map leads off the machine, the node does not ping.
  Bytes request = {8, 0, 0, 0, 0, 1, 0, 1};
  udp::StoreChecksum(&request[2], udp::InternetChecksum(request.data(), request.size()));
  engine.send(tunnelMessage(ipv4(203, 0, 113, 200), 0, request));
  EXPECT_TRUE(node_.logShows("to=203.0.113.200 mapped=192.0.2.1 id=1 seq=1 result=refused-not-loopback"))
      << node_.log();
}

TEST_F(UdpTunnelTest, EngineSocketsGetAssociationsOfTheirOwnWithinTheBound) {
  startNode({"--map", echoMap("203.0.113.0/24"), "--udp-max-associations", "2"});
  EngineSocket first(node_.udpPort()), second(node_.udpPort()), third(node_.udpPort());
  first.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(100, 1));
  second.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(100, 2));
  first.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(100, 3));
  // Same destination, two engine sockets: two outbound sockets.
  std::vector<uint16_t> ports = echo_.sourcePorts();
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_NE(ports[0], ports[1]);
  EXPECT_EQ(ports[0], ports[2]);

  // A third association closes the least recently used one (the second).
  third.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(100, 4));
  EXPECT_TRUE(node_.logShows("udp assoc=2 engine="));
  EXPECT_TRUE(node_.logShows("result=evicted up=1/100 down=1/100 dropped=0")) << node_.log();
  first.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(100, 5));
  ports = echo_.sourcePorts();
  ASSERT_EQ(ports.size(), 5u);
  EXPECT_EQ(ports[4], ports[0]);

  EXPECT_EQ(node_.stop(), 0) << node_.log();
  EXPECT_TRUE(node_.logShows("udp assoc=1 engine="));
  EXPECT_EQ(occurrences(node_.log(), "result=node-stopped"), 2u) << node_.log();
}

TEST_F(UdpTunnelTest, IdleAssociationCloses) {
  startNode({"--map", echoMap("203.0.113.0/24"), "--udp-idle", "1"});
  EngineSocket engine(node_.udpPort());
  engine.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(10, 1));
  EXPECT_TRUE(node_.logShows("udp assoc=1 engine="));
  EXPECT_TRUE(node_.logShows("result=idle up=1/10 down=1/10")) << node_.log();
  // The next datagram opens a new association from a new outbound socket.
  engine.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(10, 2));
  EXPECT_TRUE(node_.logShows("udp assoc=2 open"));
  std::vector<uint16_t> ports = echo_.sourcePorts();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_NE(ports[0], ports[1]);
}

}  // namespace
