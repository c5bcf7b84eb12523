// lumo-node's UDP tunnel as a program: the test plays the engine on 127.0.0.1,
// a UDP echo server sits behind the documentation addresses the node maps.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "node_process.h"
#include "platform/net.h"
#include "platform/owned_socket.h"
#include "support/test_support.h"
#include "udp/internet_checksum.h"
#include "udp/tunnel_header.h"
#include "udp_echo_server.h"

namespace {

using Bytes = std::vector<uint8_t>;
using platform::hostToNet16;
using platform::ipv4;

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
  for (size_t size : {size_t{1}, size_t{1400}, size_t{60000}}) {
    engine.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(size, 1));
  }
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
  EXPECT_NE(node_.log().find("result=evicted up=1/100 down=1/100 dropped=0"), std::string::npos)
      << node_.log();
  first.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(100, 5));
  ports = echo_.sourcePorts();
  ASSERT_EQ(ports.size(), 5u);
  EXPECT_EQ(ports[4], ports[0]);

  EXPECT_EQ(node_.stop(), 0) << node_.log();
  EXPECT_NE(node_.log().find("udp assoc=1 engine="), std::string::npos);
  EXPECT_EQ(occurrences(node_.log(), "result=node-stopped"), 2u) << node_.log();
}

TEST_F(UdpTunnelTest, IdleAssociationCloses) {
  startNode({"--map", echoMap("203.0.113.0/24"), "--udp-idle", "1"});
  EngineSocket engine(node_.udpPort());
  engine.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(10, 1));
  EXPECT_TRUE(node_.logShows("udp assoc=1 engine="));
  EXPECT_NE(node_.log().find("result=idle up=1/10 down=1/10"), std::string::npos) << node_.log();
  // The next datagram opens a new association from a new outbound socket.
  engine.roundTrip(ipv4(203, 0, 113, 5), 7000, pattern(10, 2));
  EXPECT_TRUE(node_.logShows("udp assoc=2 open"));
  std::vector<uint16_t> ports = echo_.sourcePorts();
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_NE(ports[0], ports[1]);
}

}  // namespace
