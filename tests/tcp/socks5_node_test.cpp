// Socks5Connect against the project's own node, lumo-node, which maps a
// documentation address to a local echo server.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "loopback_peers.h"
#include "node_process.h"
#include "support/test_support.h"
#include "tcp/blur.h"
#include "tcp/socks5_client.h"

namespace {

using Bytes = std::vector<uint8_t>;


using Connected = lumotest::Socks5Connected;
using lumotest::roundTrip;
using lumotest::socks5ThroughLoopback;

TEST(Socks5ConnectWithLumoNode, ReachesTheMappedServerAndTheNodeUndoesBlur) {
  lumotest::EchoServer echo;
  ASSERT_TRUE(echo.listening());
  lumotest::NodeProcess node;
  std::string error;
  ASSERT_TRUE(node.start({"--user", "player", "--password", "12345", "--unblur", "--map",
                          "203.0.113.0/24=127.0.0.1:" + std::to_string(echo.port())},
                         error))
      << error;

  platform::SocketAddress destination =
      platform::makeIpv4Address(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(7000));
  Connected connected = socks5ThroughLoopback(node.port(), destination, "player", "12345");
  ASSERT_EQ(connected.result, tcp::kSocks5Ok) << connected.detail;
  EXPECT_EQ(connected.detail, 0);
  // What the relay does with blurEnabled: transform upstream, read downstream
  // as it comes. The echo server saw the plain bytes, so they come back plain.
  const Bytes plain = {0x00, 0x41, 0xF9, 0xFF, 'p', 'i', 'n', 'g'};
  Bytes blurred = plain;
  tcp::BlurInPlace(blurred.data(), blurred.size());
  EXPECT_EQ(roundTrip(connected.socket, blurred), plain);
  platform::closeSocket(connected.socket);

  Connected refused = socks5ThroughLoopback(node.port(), destination, "player", "54321");
  platform::closeSocket(refused.socket);
  EXPECT_EQ(refused.result, tcp::kSocks5Refused);
  EXPECT_EQ(refused.detail, 0x0101);

  // An unmapped public destination is refused by the node, not connected.
  platform::SocketAddress unmapped =
      platform::makeIpv4Address(platform::ipv4(198, 51, 100, 7), platform::hostToNet16(80));
  Connected notAllowed = socks5ThroughLoopback(node.port(), unmapped, "player", "12345");
  platform::closeSocket(notAllowed.socket);
  EXPECT_EQ(notAllowed.result, tcp::kSocks5ConnectRefused);
  EXPECT_EQ(notAllowed.detail, 0x0205);

  EXPECT_EQ(node.stop(), 0) << node.log();
  EXPECT_EQ(echo.accepted(), 1);
}

}  // namespace
