// The relay on its own: its listener's port choice, and the game-ping
// watches on a real loopback connection.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "collector/data_collector.h"
#include "loopback_peers.h"
#include "platform/net.h"
#include "tcp/ping_responder.h"
#include "tcp/relay.h"

using platform::SocketAddress;

namespace {

platform::Socket listenOn(uint16_t port) {
  platform::Socket s = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
  if (!platform::bindSocket(s, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), platform::hostToNet16(port))) ||
      !platform::listenSocket(s, 1)) {
    platform::closeSocket(s);
    return platform::kInvalidSocket;
  }
  return s;
}

struct RelayParts {
  tcp::RedirectTable redirects;
  tcp::PingResponder ping;
  collector::DataCollectorEvent collector;
  std::atomic<uint8_t> running{1};
  std::atomic<uint32_t> blur{0};
  tcp::Relay relay{redirects, ping, collector, running, blur, [] { return tcp::RelayNode{}; }};
};

// A connected pair of loopback stream sockets.
struct SocketPair {
  platform::Socket a = platform::kInvalidSocket, b = platform::kInvalidSocket;
  SocketPair() {
    platform::Socket l = listenOn(0);
    SocketAddress bound;
    platform::localAddressOf(l, bound);
    a = lumotest::connectLoopback(platform::netToHost16(bound.port()));
    b = platform::acceptSocket(l, nullptr);
    platform::closeSocket(l);
  }
  ~SocketPair() {
    platform::closeSocket(a);
    platform::closeSocket(b);
  }
};

}  // namespace

TEST(RelayListener, TakenPortsAreSkippedNeverShared) {
  RelayParts parts;
  // Hold the highest free port of the range ourselves.
  platform::Socket held = platform::kInvalidSocket;
  uint16_t heldPort = 50888;
  for (; heldPort >= 50001 && held == platform::kInvalidSocket; --heldPort) held = listenOn(heldPort);
  ASSERT_NE(held, platform::kInvalidSocket);
  ++heldPort;
  ASSERT_TRUE(parts.relay.OpenRelayListener(platform::kFamilyIpv4));
  EXPECT_LT(parts.relay.port(platform::kFamilyIpv4), heldPort) << "the relay moved below the taken port";
  EXPECT_GE(parts.relay.port(platform::kFamilyIpv4), 50001);
  parts.relay.closeListener(platform::kFamilyIpv4);
  EXPECT_EQ(parts.relay.port(platform::kFamilyIpv4), 0xFFFF);
  platform::closeSocket(held);
}

TEST(RelayListener, NoFreePortInTheRangeFails) {
  RelayParts parts;
  std::vector<platform::Socket> held;
  for (uint32_t port = 50001; port <= 50888; ++port) {
    platform::Socket s = listenOn(static_cast<uint16_t>(port));
    if (s != platform::kInvalidSocket) held.push_back(s);
  }
  EXPECT_FALSE(parts.relay.OpenRelayListener(platform::kFamilyIpv4));
  EXPECT_FALSE(parts.relay.listenerOpen(platform::kFamilyIpv4));
  for (platform::Socket s : held) platform::closeSocket(s);
}

TEST(PingResponder, WaitStaysWithinAStepOfTheDelayAndNeverAbove500) {
  for (uint32_t t = 0; t < 40; ++t) {
    const uint32_t w = tcp::PingResponder::PingWait(100, t);
    EXPECT_GE(w, 91u);
    EXPECT_LE(w, 109u);
    EXPECT_EQ(w >= 100, (t & 1u) != 0 || t % 10 == 0) << t;
  }
  EXPECT_EQ(tcp::PingResponder::PingWait(5000, 7), 500u);
  EXPECT_EQ(tcp::PingResponder::PingWait(0, 3), 0u);
  EXPECT_EQ(tcp::PingResponder::PingWait(3, 1), 3u) << "step 1: no jitter";
}

TEST(PingResponder, AnswersAWatchedPingAndDropsTheNodesCopy) {
  tcp::PingResponder ping;
  std::vector<uint32_t> waits;
  ping.SetClockForTesting([] { return 1001u; }, [&](uint32_t ms) { waits.push_back(ms); });
  ping.AddAddressRule(0, platform::hostToNet16(7000), 100);
  SocketPair client;  // a: the relay's client socket, b: the application
  const SocketAddress destination = platform::makeIpv4Address(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(7000));
  const uint8_t pingBytes[10] = {0x09, 0x01, 0, 0, 0, 0, 0x0A, 0x0B, 0x0C, 0x0D};

  ping.Register(1, client.a, destination);
  EXPECT_EQ(ping.WatchCount(), 0u) << "nothing is watched while the responder is off";
  EXPECT_FALSE(ping.OnUpstream(1, pingBytes, 10, false));

  ping.SetEnabled(true);
  ping.Register(1, client.a, destination);
  ping.Register(1, client.a, destination);
  EXPECT_EQ(ping.WatchCount(), 1u);
  ping.Register(2, client.a,
                platform::makeIpv4Address(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(7001)));
  EXPECT_EQ(ping.WatchCount(), 1u) << "no rule for that port";

  ASSERT_TRUE(ping.OnUpstream(1, pingBytes, 10, false));
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_EQ(waits[0], tcp::PingResponder::PingWait(100, 1001));
  EXPECT_EQ(lumotest::receiveUpTo(client.b, 10), std::vector<uint8_t>(pingBytes, pingBytes + 10));

  uint8_t other[10];
  std::memcpy(other, pingBytes, 10);
  other[9] = 0xEE;
  EXPECT_FALSE(ping.OnDownstream(1, other, 10)) << "an answer with other bytes is forwarded";
  EXPECT_TRUE(ping.OnDownstream(1, pingBytes, 10)) << "the node's identical answer is dropped";
  EXPECT_FALSE(ping.OnDownstream(1, pingBytes, 10)) << "only once";

  uint8_t notPing[10];
  std::memcpy(notPing, pingBytes, 10);
  notPing[3] = 1;
  EXPECT_FALSE(ping.OnUpstream(1, notPing, 10, false)) << "bytes 2 to 5 must be zero";
  EXPECT_FALSE(ping.OnUpstream(1, pingBytes, 9, false));

  uint8_t blurred[10];
  for (int i = 0; i < 10; ++i) blurred[i] = static_cast<uint8_t>(~static_cast<uint8_t>(pingBytes[i] + 7));
  EXPECT_TRUE(ping.OnUpstream(1, blurred, 10, true)) << "a blurred ping is recognised";
  EXPECT_EQ(lumotest::receiveUpTo(client.b, 10), std::vector<uint8_t>(pingBytes, pingBytes + 10))
      << "the client gets its own, untransformed bytes";

  ping.Unregister(1);
  EXPECT_FALSE(ping.OnUpstream(1, pingBytes, 10, false));
  ping.Clear();
  EXPECT_EQ(ping.AddressRuleCount(), 0u);
}
