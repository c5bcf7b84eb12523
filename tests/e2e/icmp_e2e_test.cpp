// A game's pings to a network an ICMP rule covers, from one end to the other:
// through the exports and lumo-node's tunnel, each answered exactly once, by
// the node's reply when it comes first, else by the engine after the rule's
// delay, and none after Stop. (Pings the rules leave alone are tested in tests/udp.)
#include <chrono>
#include <cstring>

#include "../udp/icmp_packets.h"
#include "e2e_support.h"
#include "live_ip.h"

using simdrv::LiveIp;
using Clock = std::chrono::steady_clock;

namespace {

using lumotest::Bytes;

constexpr uint32_t kPingingProcess = 4242;
constexpr uint16_t kIdentifier = 0x1337;  // 4919 in the node's log

const uint32_t kPinged = platform::ipv4(203, 0, 113, 4);  // covered by every test's rule
std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Each test starts its own node and engine.
class IcmpEndToEnd : public lumotest::NodeAndEngine<LiveIp, true> {
 protected:
  void SetUp() override {}
  // Starts the node with `nodeArgs` and the engine with the ICMP `rules`.
  void startAll(const std::vector<std::string>& nodeArgs, const char* rules) {
    startNodeAndInit(nodeArgs);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(lumotest::configureGame(node.port(), node.udpPort(), 7, rules, 0));
    ASSERT_TRUE(Start(0, 1, 0, 0, 0, 0));
  }

  // Options the driver reports with a request; the reply must carry them.
  static drvapi::IpOptions requestOptions() {
    drvapi::IpOptions options{};
    options.reserved[0] = static_cast<uint8_t>(drvapi::kFamilyIpv4);  // as the driver reports it
    options.reserved[4] = 0x11, options.reserved[9] = 0x22;
    return options;
  }
};

// Each ping is answered exactly once: with a silent node (it refuses to ping
// outside loopback) by the engine after the rule's delay, with the request's
// options; with a node mapped to loopback by the node's reply, which comes
// before the engine's own falls due (that one is dropped).
class IcmpReplies : public IcmpEndToEnd, public ::testing::WithParamInterface<bool> {};

TEST_P(IcmpReplies, EachPingIsAnsweredOnce) {
  const bool nodeAnswers = GetParam();
  if (nodeAnswers) {
    ASSERT_NO_FATAL_FAILURE(
        startAll({"--map", "203.0.113.0/24=127.0.0.1", "--icmp-delay", "2"}, "203.0.113.0/24,200-200"));
  } else {
    ASSERT_NO_FATAL_FAILURE(startAll({}, "203.0.113.0/24,20-20"));
  }
  for (uint16_t sequence = 1; sequence <= 3; ++sequence) {
    const Bytes request = lumotest::echoRequest(kPinged, kIdentifier, sequence);
    const Clock::time_point sent = Clock::now();
    ASSERT_EQ(live.send(kPingingProcess, text(request), requestOptions()), LiveIp::SendResult::Reported);
    if (nodeAnswers) {
      ASSERT_TRUE(node.logShows("seq=" + std::to_string(sequence) + " result=replied")) << node.log();
    }
    std::optional<LiveIp::Packet> reply = live.receive(10000);
    ASSERT_TRUE(reply.has_value()) << "no reply to ping " << sequence;
    const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(reply->arrived - sent);
    EXPECT_TRUE(reply->injected);
    lumotest::expectValidReply({reply->data.begin(), reply->data.end()}, request);
    if (nodeAnswers) {
      EXPECT_FALSE(live.receive(400).has_value()) << "one reply per ping";
      continue;
    }
    EXPECT_GE(waited.count(), 20000) << "a reply can come no sooner than the delay";
    const drvapi::IpOptions options = requestOptions();
    EXPECT_EQ(std::memcmp(&reply->options, &options, sizeof options), 0) << "the request's options";
  }
  if (nodeAnswers) return;
  EXPECT_TRUE(node.logShows("to=203.0.113.4 mapped=203.0.113.4 id=4919 seq=3 result=refused-not-loopback"))
      << node.log();
  EXPECT_FALSE(live.receive(300).has_value()) << "one reply per ping";
  EXPECT_TRUE(live.onNetwork().empty()) << "the requests never went onto the network";
}

INSTANTIATE_TEST_SUITE_P(Node, IcmpReplies, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Answers" : "Silent"; });

// The engine's Stop ends the ICMP scheduler and the echoes it holds (the
// scheduler's thread is tested only here).
TEST_F(IcmpEndToEnd, StopEndsTheSchedulerWithItsEchoes) {
  ASSERT_NO_FATAL_FAILURE(startAll({}, "203.0.113.0/24,1000-1000"));
  const Bytes request = lumotest::echoRequest(kPinged, kIdentifier, 1);
  ASSERT_EQ(live.send(kPingingProcess, text(request), requestOptions()), LiveIp::SendResult::Reported);
  ASSERT_TRUE(node.logShows("result=refused-not-loopback")) << "the request went through the tunnel";
  ASSERT_TRUE(Stop(0));
  const Clock::time_point stopped = Clock::now();
  // The driver stays open, so a scheduler still running would inject the
  // reply once its second is over: nothing may arrive after Stop returned.
  while (std::optional<LiveIp::Packet> late = live.receive(1500)) EXPECT_LE(late->arrived, stopped);
}

}  // namespace
