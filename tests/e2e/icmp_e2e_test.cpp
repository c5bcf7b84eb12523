// A game's pings to a network that an ICMP rule covers, from one end to the
// other: the simulated driver hands the application's raw echo requests to
// the engine (loaded through its exports), which sends them through
// lumo-node's tunnel and answers each one exactly once, with the node's echo
// reply when that comes first, else with its own after the rule's delay.
// Pings the rules leave alone go onto the (simulated) network unchanged.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "live_ip.h"
#include "lumo/lumo.h"
#include "platform/net.h"
#include "platform/services.h"
#include "sim_driver.h"
#include "support/test_support.h"
#include "udp/internet_checksum.h"

using lumotest::E2eNode;
using simdrv::LiveIp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kPingingProcess = 4242;

uint32_t address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return platform::ipv4(a, b, c, d); }

// An echo request from 192.0.2.10 to `destination` as a pinging program
// builds it: TTL 128, identifier and sequence as given, 32 payload bytes.
std::string echoRequest(uint32_t destinationNet, uint16_t sequence, uint8_t typeOfService = 0) {
  std::string packet(20 + 8 + 32, '\0');
  auto* p = reinterpret_cast<uint8_t*>(packet.data());
  p[0] = 0x45;
  p[1] = typeOfService;
  p[3] = static_cast<uint8_t>(packet.size());
  p[8] = 128;
  p[9] = 1;
  const uint32_t source = address(192, 0, 2, 10);
  std::memcpy(p + 12, &source, 4);
  std::memcpy(p + 16, &destinationNet, 4);
  p[20] = 8;
  p[24] = 0x13, p[25] = 0x37;
  p[26] = static_cast<uint8_t>(sequence >> 8), p[27] = static_cast<uint8_t>(sequence);
  for (size_t i = 28; i < packet.size(); ++i) p[i] = static_cast<uint8_t>('a' + i % 23);
  udp::StoreChecksum(p + 22, udp::InternetChecksum(p + 20, packet.size() - 20));
  udp::StoreChecksum(p + 10, udp::InternetChecksum(p, 20));
  return packet;
}

// The 16-bit one's complement sum, written apart from the engine's: 0xFFFF
// over data that carries a correct checksum.
uint16_t onesComplementSum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; i += 2) {
    sum += (i + 1 < length) ? (data[i] * 256u + data[i + 1]) : data[i] * 256u;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<uint16_t>(sum);
}

// A well-formed echo reply to `request` from its destination.
void expectEchoReply(const std::string& replyText, const std::string& requestText) {
  const auto* reply = reinterpret_cast<const uint8_t*>(replyText.data());
  const auto* request = reinterpret_cast<const uint8_t*>(requestText.data());
  ASSERT_EQ(replyText.size(), requestText.size());
  EXPECT_EQ(std::memcmp(reply + 12, request + 16, 4), 0) << "from the address pinged";
  EXPECT_EQ(std::memcmp(reply + 16, request + 12, 4), 0) << "to the pinging host";
  EXPECT_EQ(onesComplementSum(reply, 20), 0xFFFF) << "header checksum";
  EXPECT_EQ(onesComplementSum(reply + 20, replyText.size() - 20), 0xFFFF) << "ICMP checksum";
  EXPECT_EQ(reply[20], 0) << "an echo reply";
  EXPECT_EQ(replyText.substr(24), requestText.substr(24)) << "identifier, sequence and payload";
}

class IcmpEndToEnd : public ::testing::Test {
 protected:
  // Starts the node with `nodeArgs` and the engine with the ICMP `rules`.
  // (Skips, and the caller returns, when there is no node of its own.)
  void startAll(std::vector<std::string> nodeArgs, const char* rules) {
#ifdef _WIN32
    // Each test needs the node to behave its own way (silent, slow, mapped),
    // and the script starts one node for all tests.
    GTEST_SKIP() << "needs a node of its own";
#endif
    LUMO_E2E_NEED_NODE();
    std::string error;
    ASSERT_TRUE(node.startWithTunnel(nodeArgs, error)) << error;
    started = true;
    ASSERT_TRUE(lumotest::installSimulatedDriver(driver));
    // Only the network's answers to pings that pass need a map.
    ASSERT_TRUE(live.map("198.51.100.0/24", "127.0.0.1"));
    ASSERT_TRUE(live.map("203.0.113.0/24", "127.0.0.1"));
    ASSERT_TRUE(live.map("192.168.1.1", "127.0.0.1"));
    ASSERT_TRUE(Init(0));
    ASSERT_TRUE(lumotest::configureGame(node.port(), node.udpPort(), 7, rules, 0));
    ASSERT_TRUE(Start(0, 1, 0, 0, 0, 0));
  }

  void TearDown() override {
    if (!started) return;
    EXPECT_TRUE(UnInit(1));
    node.stop();
  }

  bool nodeLogShows(const std::string& needle) {
    return lumotest::waitFor([&] { return node.log().find(needle) != std::string::npos; });
  }

  // Options the driver reports with a request; the reply must carry them.
  static drvapi::IpOptions requestOptions() {
    drvapi::IpOptions options{};
    options.reserved[0] = static_cast<uint8_t>(drvapi::kFamilyIpv4);  // as the driver reports it
    options.reserved[4] = 0x11, options.reserved[9] = 0x22;
    return options;
  }

  bool started = false;
  E2eNode node;
  simdrv::SimDriver driver;
  LiveIp live{driver};
};

TEST_F(IcmpEndToEnd, SilentNodeAnswerComesOnceAfterTheRulesDelay) {
  // The node refuses to ping outside loopback: it never answers.
  ASSERT_NO_FATAL_FAILURE(startAll({}, "203.0.113.0/24,20-20"));
  if (IsSkipped()) return;
  for (uint16_t sequence = 1; sequence <= 3; ++sequence) {
    const std::string request = echoRequest(address(203, 0, 113, 4), sequence);
    const Clock::time_point sent = Clock::now();
    ASSERT_EQ(live.send(kPingingProcess, request, requestOptions()), LiveIp::SendResult::Reported);
    std::optional<LiveIp::Packet> reply = live.receive(10000);
    ASSERT_TRUE(reply.has_value()) << "no reply to ping " << sequence;
    const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(reply->arrived - sent);
    EXPECT_GE(waited.count(), 20000) << "a reply can come no sooner than the delay";
    std::printf("ping %u answered after %.2f ms (rule: 20 ms)\n", sequence, waited.count() / 1000.0);
    EXPECT_TRUE(reply->injected);
    expectEchoReply(reply->data, request);
    const drvapi::IpOptions options = requestOptions();
    EXPECT_EQ(std::memcmp(&reply->options, &options, sizeof options), 0) << "the request's options";
  }
  EXPECT_TRUE(nodeLogShows("to=203.0.113.4 mapped=203.0.113.4 id=4919 seq=3 result=refused-not-loopback"))
      << node.log();
  EXPECT_FALSE(live.receive(300).has_value()) << "one reply per ping";
  EXPECT_TRUE(live.onNetwork().empty()) << "the requests never went onto the network";
}

TEST_F(IcmpEndToEnd, FasterNodeReplyIsTheOneDelivered) {
  ASSERT_NO_FATAL_FAILURE(
      startAll({"--map", "203.0.113.0/24=127.0.0.1", "--icmp-delay", "2"}, "203.0.113.0/24,200-200"));
  if (IsSkipped()) return;
  for (uint16_t sequence = 1; sequence <= 3; ++sequence) {
    const std::string request = echoRequest(address(203, 0, 113, 4), sequence);
    const Clock::time_point sent = Clock::now();
    ASSERT_EQ(live.send(kPingingProcess, request, requestOptions()), LiveIp::SendResult::Reported);
    // The node's reply comes back before the engine's own falls due.
    ASSERT_TRUE(nodeLogShows("seq=" + std::to_string(sequence) + " result=replied")) << node.log();
    std::optional<LiveIp::Packet> reply = live.receive(10000);
    ASSERT_TRUE(reply.has_value()) << "no reply to ping " << sequence;
    EXPECT_TRUE(reply->injected);
    expectEchoReply(reply->data, request);
    std::printf(
        "ping %u answered after %.2f ms (node: 2 ms, rule: 200 ms)\n", sequence,
        std::chrono::duration_cast<std::chrono::microseconds>(reply->arrived - sent).count() / 1000.0);
    // The synthesized reply falls due 200 ms after the request and is dropped.
    EXPECT_FALSE(live.receive(400).has_value()) << "one reply per ping";
  }
}

TEST_F(IcmpEndToEnd, PingsTheRulesLeaveAlonePassUnchanged) {
  ASSERT_NO_FATAL_FAILURE(startAll({"--map", "203.0.113.0/24=127.0.0.1"},
                                   "203.0.113.0/24,5-5;192.168.0.0/16,5-5;127.0.0.0/8,5-5"));
  if (IsSkipped()) return;
  struct Row {
    const char* what;
    std::string request;
  } rows[] = {
      {"outside every rule", echoRequest(address(198, 51, 100, 7), 1)},
      {"a private network", echoRequest(address(192, 168, 1, 1), 2)},
      {"the loopback network", echoRequest(address(127, 0, 0, 2), 3)},
      {"the node itself", echoRequest(address(127, 0, 0, 1), 4)},
      {"a type-of-service byte", echoRequest(address(203, 0, 113, 4), 5, 0x10)},
  };
  size_t onNetwork = 0;
  for (const Row& row : rows) {
    ASSERT_EQ(live.send(kPingingProcess, row.request, requestOptions()), LiveIp::SendResult::Reported)
        << row.what;
    std::optional<LiveIp::Packet> reply = live.receive(10000);
    ASSERT_TRUE(reply.has_value()) << row.what;
    EXPECT_FALSE(reply->injected) << row.what << ": the network's own answer";
    expectEchoReply(reply->data, row.request);
    const std::vector<std::string> network = live.onNetwork();
    ASSERT_EQ(network.size(), ++onNetwork) << row.what;
    EXPECT_EQ(network.back(), row.request) << row.what << ": went on unchanged";
  }
  EXPECT_FALSE(live.receive(100).has_value());
  EXPECT_EQ(node.log().find("icmp echo"), std::string::npos) << "the node saw none of them\n" << node.log();
}

TEST_F(IcmpEndToEnd, StopEndsTheSchedulerWithItsEchoes) {
  ASSERT_NO_FATAL_FAILURE(startAll({}, "203.0.113.0/24,1000-1000"));
  if (IsSkipped()) return;
  const std::string request = echoRequest(address(203, 0, 113, 4), 1);
  ASSERT_EQ(live.send(kPingingProcess, request, requestOptions()), LiveIp::SendResult::Reported);
  ASSERT_TRUE(nodeLogShows("result=refused-not-loopback")) << "the request went through the tunnel";
  ASSERT_TRUE(Stop(0));
  const Clock::time_point stopped = Clock::now();
  // The driver stays open, so a scheduler still running would inject the
  // reply once its second is over: nothing may arrive after Stop returned.
  while (std::optional<LiveIp::Packet> late = live.receive(1500)) EXPECT_LE(late->arrived, stopped);
}

}  // namespace
