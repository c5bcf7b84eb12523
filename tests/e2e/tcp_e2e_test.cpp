// A selected game's TCP connection, steered from one end to the other: the
// simulated driver reports the application's real connect, the engine (loaded
// through its exports) redirects it to its relay, the relay carries it through
// lumo-node to an echo server that only the node's map can reach, and the
// bytes show up in GetFlow and in the one-second message.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "drvapi/drvapi.h"
#include "e2e_support.h"
#include "live_tcp.h"
#include "loopback_peers.h"
#include "lumo/lumo.h"
#include "platform/net.h"
#include "platform/services.h"
#include "sim_driver.h"
#include "support/quiet_handler.h"
#include "support/test_support.h"
#include "tcp/redirect_table.h"
#include "tcp/relay.h"

using lumotest::E2eNode;
using lumotest::EchoServer;
using lumotest::kPassword;
using lumotest::kUser;
using lumotest::ownProcessId;

namespace {

uint32_t netPort(uint16_t port) { return platform::hostToNet16(port); }

std::string roundTrip(platform::Socket s, const std::string& text) {
  if (platform::sendBytes(s, text.data(), text.size()) != static_cast<int>(text.size()))
    return "<send failed>";
  std::vector<uint8_t> got = lumotest::receiveUpTo(s, text.size());
  return std::string(got.begin(), got.end());
}

class TcpEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    LUMO_E2E_NEED_NODE();
    ASSERT_TRUE(echo.listening());
    std::string error;
    ASSERT_TRUE(
        node.start({"--user", kUser, "--password", kPassword, "--map", "203.0.113.0/24=127.0.0.1"}, error))
        << error;
    ASSERT_TRUE(lumotest::installSimulatedDriver(driver));
    ASSERT_TRUE(live.map("203.0.113.0/24", "127.0.0.1"));
    ASSERT_TRUE(notify.ready());
    ASSERT_TRUE(Init(0));
    configure(node.port(), 7, "");
    ASSERT_TRUE(Start(1, 0, 0, 0, 0, 0));
  }

  void TearDown() override {
    if (IsSkipped()) return;
    EXPECT_TRUE(UnInit(1));
    node.stop();
  }

  void configure(uint16_t nodePort, uint32_t gameId, const std::string& rules) {
    ASSERT_TRUE(lumotest::configureGame(nodePort, nodePort, gameId, rules, notify.handle()));
  }

  simdrv::SockAddr documentationDestination() const { return simdrv::ipv4("203.0.113.5", echo.port()); }

  EchoServer echo;
  // The carried destination as the node logs it.
  std::string carried() const { return "to=203.0.113.5:" + std::to_string(echo.port()); }

  E2eNode node;
  simdrv::SimDriver driver;
  simdrv::LiveTcp live{driver};
  lumotest::Notifications notify;
};

}  // namespace

TEST_F(TcpEndToEnd, SelectedProcessIsCarriedThroughTheNodeAndCounted) {
  simdrv::LiveTcp::Connection c = live.connect(ownProcessId(), documentationDestination());
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  ASSERT_TRUE(c.reported);
  EXPECT_EQ(c.connectedTo.ipv4(), platform::ipv4(127, 0, 0, 1));
  EXPECT_NE(c.connectedTo.port(), netPort(echo.port())) << "the connect went to the relay";
  const std::string text = "steered through the node";
  EXPECT_EQ(roundTrip(c.socket, text), text);
  live.close(c);
  notify.expectCounted(text.size(), text.size());
  EXPECT_NE(node.log().find(carried()), std::string::npos) << "the node carried it";
}

TEST_F(TcpEndToEnd, UnselectedProcessGoesDirect) {
  // Process 1 runs some other program: not a configured game.
  simdrv::LiveTcp::Connection c = live.connect(1, documentationDestination());
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  EXPECT_EQ(c.connectedTo.port(), netPort(echo.port())) << "straight to the (mapped) destination";
  EXPECT_EQ(roundTrip(c.socket, "direct"), "direct");
  live.close(c);
  uint32_t s = 1, r = 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  GetFlow(&s, &r);
  EXPECT_EQ(s + r, 0u) << "direct bytes are not counted";
  EXPECT_EQ(node.log().find(carried()), std::string::npos);
}

TEST_F(TcpEndToEnd, BlurredBytesAreUndoneByTheNode) {
  // A node told to undo the transformation hands the destination the
  // application's own bytes.
#ifdef _WIN32
  GTEST_SKIP() << "needs a second node of its own (--unblur); the script starts one node for all tests";
#endif
  E2eNode unblurring;
  std::string error;
  ASSERT_TRUE(unblurring.start(
      {"--user", kUser, "--password", kPassword, "--unblur", "--map", "203.0.113.0/24=127.0.0.1"}, error))
      << error;
  configure(unblurring.port(), 7, "");
  SetBlur(1);
  simdrv::LiveTcp::Connection c = live.connect(ownProcessId(), documentationDestination());
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  EXPECT_EQ(roundTrip(c.socket, std::string("\x00\x41 blurred", 10)), std::string("\x00\x41 blurred", 10));
  live.close(c);
  unblurring.stop();

  // A node that does not undo it shows what travelled: the client's bytes
  // blurred, the way back untouched.
  configure(node.port(), 7, "");
  c = live.connect(ownProcessId(), documentationDestination());
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  EXPECT_EQ(roundTrip(c.socket, std::string("\x00\x41", 2)), std::string("\xF8\xB7", 2));
  live.close(c);
}

TEST_F(TcpEndToEnd, GamePingIsAnsweredAfterTheConfiguredDelay) {
  Stop(0);
  configure(node.port(), 339, "mc,100,*.*:" + std::to_string(echo.port()));
  ASSERT_TRUE(Start(1, 0, 0, 0, 0, 0));
  simdrv::LiveTcp::Connection c = live.connect(ownProcessId(), documentationDestination());
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  const std::string ping("\x09\x01\x00\x00\x00\x00\x0A\x0B\x0C\x0D", 10);
  EXPECT_EQ(roundTrip(c.socket, ping), ping);
  // The echo server's copy of the ping came back through the node and was
  // dropped: the next bytes the application reads are its own next message.
  EXPECT_EQ(roundTrip(c.socket, "after"), "after");
  live.close(c);
}

TEST_F(TcpEndToEnd, StopClosesActiveRelays) {
  simdrv::LiveTcp::Connection c = live.connect(ownProcessId(), documentationDestination());
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  EXPECT_EQ(roundTrip(c.socket, "open"), "open");
  EXPECT_TRUE(Stop(0));
  char byte;
  EXPECT_EQ(platform::waitReadable(c.socket, 10000), 1);
  EXPECT_EQ(platform::receiveBytes(c.socket, &byte, 1), 0) << "the relay closed the connection";
  live.close(c);
}

TEST_F(TcpEndToEnd, MappedIpv6DestinationLandsOnTheIpv6Listener) {
  uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 203, 0, 113, 5};
  const platform::SocketAddress to = platform::makeIpv6Address(mapped, netPort(echo.port()));
  simdrv::SockAddr destination{};
  std::memcpy(destination.bytes.data(), to.bytes, sizeof destination);
  simdrv::LiveTcp::Connection c = live.connect(ownProcessId(), destination);
  if (c.socket == platform::kInvalidSocket && c.error == "cannot bind the application's socket")
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  EXPECT_EQ(c.connectedTo.family(), platform::kFamilyIpv6);
  EXPECT_EQ(roundTrip(c.socket, "via ::1"), "via ::1");
  live.close(c);
}

// UnInit on another thread: true when it returned within ten seconds (a
// hang is reported rather than waited out).
bool unInitReturns(uint32_t unloadDriver) {
  auto done = std::async(std::launch::async, [unloadDriver] { return UnInit(unloadDriver); });
  return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready && done.get();
}

TEST_F(TcpEndToEnd, UnInitReturnsWhileTheRelayWaitsForASilentNode) {
  // A node that accepts the connection (the system completes it) and never
  // answers a byte.
  platform::Socket silent = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
  platform::SocketAddress bound = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
  ASSERT_TRUE(platform::bindSocket(silent, bound) && platform::listenSocket(silent, 4) &&
              platform::localAddressOf(silent, bound));
  configure(platform::netToHost16(bound.port()), 7, "");
  simdrv::LiveTcp::Connection c = live.connect(ownProcessId(), documentationDestination());
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  ASSERT_EQ(platform::waitReadable(silent, 10000), 1) << "the relay is in its handshake";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(unInitReturns(1));
  RecordProperty("uninit_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                   std::chrono::steady_clock::now() - start)
                                                   .count()));
  live.close(c);
  platform::closeSocket(silent);
}

// Initialisation through the exports alone, with the relay's IPv6 side
// unavailable in two ways.
class RelayListenersAtInit : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lumotest::installSimulatedDriver(driver)); }
  void TearDown() override {
    if (!IsSkipped()) {
      EXPECT_TRUE(unInitReturns(1));
    }
  }
  simdrv::SimDriver driver;
};

TEST_F(RelayListenersAtInit, RetryAfterTheIpv6PortsWereTakenLeavesNoThreadBehind) {
  if (!tcp::Relay::familyAvailable(platform::kFamilyIpv6)) GTEST_SKIP() << "no IPv6 loopback on this machine";
  uint8_t loopback6[16] = {};
  loopback6[15] = 1;
  std::vector<platform::Socket> held;
  for (uint32_t port = 50001; port <= 50888; ++port) {
    platform::Socket s = platform::openSocket(platform::kFamilyIpv6, platform::SocketType::Stream);
    if (platform::bindSocket(s, platform::makeIpv6Address(loopback6, platform::hostToNet16(port))) &&
        platform::listenSocket(s, 1))
      held.push_back(s);
    else
      platform::closeSocket(s);
  }
  EXPECT_FALSE(Init(0)) << "no IPv6 relay port was free";
  for (platform::Socket s : held) platform::closeSocket(s);
  EXPECT_TRUE(Init(0)) << "the retry opens what failed";
  // TearDown: UnInit must return, joining every accept thread.
}

TEST_F(RelayListenersAtInit, HostWithoutIpv6StillInitialises) {
  if (std::getenv("LUMO_TEST_NETNS") == nullptr)
    GTEST_SKIP() << "switches IPv6 off: only in a namespace of its own";
  const char* loIpv6 = "/proc/sys/net/ipv6/conf/lo/disable_ipv6";
  auto setIpv6Off = [&](bool off) {
    return static_cast<bool>(std::ofstream(loIpv6) << (off ? "1\n" : "0\n"));
  };
  ASSERT_TRUE(setIpv6Off(true));
  EXPECT_FALSE(tcp::Relay::familyAvailable(platform::kFamilyIpv6));
  EXPECT_TRUE(Init(0));
  EXPECT_TRUE(unInitReturns(1));
  EXPECT_TRUE(setIpv6Off(false));
}

// The relay on its own, against a node that refuses the credentials: the
// connection goes straight to its destination (a loopback one here, put into
// the redirect table directly, so the fallback never leaves the machine).
TEST(RelayFallback, NodeRefusingAuthenticationMakesTheRelayGoDirect) {
  LUMO_E2E_NEED_NODE();
  EchoServer echo;
  E2eNode node;
  std::string error;
  ASSERT_TRUE(node.start({"--user", kUser, "--password", kPassword}, error)) << error;

  struct Recorder : collector::DataCollectorEvent {
    void onCollectorEvent(const collector::DCEvent& r) override {
      if (r.type == collector::kTcpProxyBegin) {
        const auto& b = static_cast<const collector::DCTcpProxyBeginEvent&>(r);
        message = b.message.text;
        beginProxied = b.proxied;
      } else if (r.type == collector::kTcpProxyFlowUp || r.type == collector::kTcpProxyFlowDown) {
        proxiedFlows += static_cast<const collector::DCTcpProxyFlowUpEvent&>(r).proxied;
        ++flows;
      }
    }
    std::string message;
    int beginProxied = -1, proxiedFlows = 0, flows = 0;
  } recorder;
  recorder.startCollector();
  tcp::RedirectTable redirects;
  tcp::PingResponder ping;
  std::atomic<uint8_t> running{1};
  std::atomic<uint32_t> blur{1};  // a fallback connection is never blurred
  const uint16_t nodePort = node.port();
  tcp::Relay relay(redirects, ping, recorder, running, blur, [nodePort] {
    return tcp::RelayNode{platform::ipv4(127, 0, 0, 1), platform::hostToNet16(nodePort), kUser, "wrong"};
  });
  ASSERT_TRUE(relay.OpenRelayListener(platform::kFamilyIpv4));
  ASSERT_TRUE(relay.startAcceptLoop(platform::kFamilyIpv4));

  platform::Socket app = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
  platform::SocketAddress local = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
  ASSERT_TRUE(platform::bindSocket(app, local) && platform::localAddressOf(app, local));
  tcp::REDIRECT_INFO entry;
  entry.id = 42;
  entry.info.ipFamily = platform::kFamilyIpv4;
  std::memcpy(entry.info.localAddress.bytes.data(), local.bytes, 16);
  const platform::SocketAddress destination =
      platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), platform::hostToNet16(echo.port()));
  std::memcpy(entry.info.remoteAddress.bytes.data(), destination.bytes, 16);
  entry.processName = "game.exe";
  redirects.Insert(entry);

  ASSERT_TRUE(platform::connectSocket(
      app, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1),
                                     platform::hostToNet16(relay.port(platform::kFamilyIpv4)))));
  EXPECT_EQ(roundTrip(app, "fallback"), "fallback") << "relayed unchanged, straight to the destination";
  platform::closeSocket(app);
  EXPECT_TRUE(lumotest::waitFor([&] { return relay.liveConnections() == 0; }));
  running = 0;
  relay.joinAcceptLoop(platform::kFamilyIpv4);
  recorder.stopCollector();
  EXPECT_EQ(recorder.message.rfind("shack err: 65544 ", 0), 0u) << recorder.message;
  EXPECT_EQ(recorder.beginProxied, 0);
  EXPECT_GT(recorder.flows, 0);
  EXPECT_EQ(recorder.proxiedFlows, 0) << "nothing of it is counted";
  EXPECT_NE(node.log().find("result="), std::string::npos);
  node.stop();
}

// The simulated driver's live mode for a connection kept under filtering (as
// adapter mode keeps them): the application's bytes reach the library as
// tcpSend records, the destination's as tcpReceive records, and what the
// handler injects back is what the two ends receive.
TEST(LiveFiltered, DataTravelsThroughTheLibraryBothWays) {
  struct KeepFiltered : lumotest::QuietHandler {
    void tcpConnectRequest(uint64_t, drvapi::TcpConnInfo* info) override {
      info->filteringFlag = drvapi::kVerdictFiltered;
    }
    void tcpReceive(uint64_t id, const char* data, int length) override {
      received += length;
      drvapi::tcpInjectReceive(id, data, length);
    }
    void tcpSend(uint64_t id, const char* data, int length) override {
      sent += length;
      drvapi::tcpInjectSend(id, data, length);
    }
    std::atomic<int> sent{0}, received{0};
  } handler;

  EchoServer echo;
  simdrv::SimDriver driver;
  driver.install();
  ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kOk);
  drvapi::FilterRule report{};
  report.protocol = 6;
  report.filteringFlag = drvapi::kRuleReportConnect;
  ASSERT_EQ(drvapi::addFilterRule(&report, true), drvapi::kOk);
  simdrv::LiveTcp live(driver);
  ASSERT_TRUE(live.map("203.0.113.0/24", "127.0.0.1"));

  simdrv::LiveTcp::Connection c = live.connect(4242, simdrv::ipv4("203.0.113.5", echo.port()));
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  EXPECT_NE(c.verdict.filteringFlag & drvapi::kVerdictFiltered, 0u);
  const std::string text(5000, 'f');
  EXPECT_EQ(roundTrip(c.socket, text), text);
  EXPECT_EQ(handler.sent.load(), 5000) << "the application's bytes came as tcpSend records";
  EXPECT_TRUE(lumotest::waitFor([&] { return handler.received.load() == 5000; }))
      << "the destination's bytes came as tcpReceive records";

  // The application's end of stream reaches the destination, whose close
  // comes back to the application.
  platform::shutdownSocket(c.socket, platform::ShutdownHow::Send);
  char byte;
  EXPECT_EQ(platform::waitReadable(c.socket, 10000), 1);
  EXPECT_EQ(platform::receiveBytes(c.socket, &byte, 1), 0);
  live.close(c);
  drvapi::freeDriver();
}
