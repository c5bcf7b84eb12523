// A selected game's TCP connection from one end to the other: through the
// exports, the simulated driver, the relay and lumo-node to an echo server
// only the node's map reaches, counted in GetFlow and the one-second message.
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>

#include "drvapi/drvapi.h"
#include "e2e_support.h"
#include "live_tcp.h"
#include "loopback_peers.h"
#include "platform/owned_socket.h"
#include "support/quiet_handler.h"
#include "tcp/relay.h"

using lumotest::ownProcessId;
using lumotest::roundTripText;

namespace {

class TcpEndToEnd : public lumotest::NodeAndEngine<simdrv::LiveTcp, false> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(echo.listening());
    NodeAndEngine::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(lumotest::configureGame(node.port(), node.port(), 7, "", notify.handle()));
    ASSERT_TRUE(Start(1, 0, 0, 0, 0, 0));
  }

  platform::SocketAddress28 documentationDestination() const {
    return simdrv::ipv4("203.0.113.5", echo.port());
  }

  lumotest::EchoServer echo;
};

}  // namespace

TEST_F(TcpEndToEnd, SelectedProcessIsCarriedThroughTheNodeCountedBlurredOnRequestAndClosedByStop) {
  simdrv::LiveTcp::Connection c = live.connect(ownProcessId(), documentationDestination());
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  ASSERT_TRUE(c.reported);
  EXPECT_EQ(c.connectedTo.ipv4(), platform::ipv4(127, 0, 0, 1));
  EXPECT_NE(c.connectedTo.port(), platform::hostToNet16(echo.port())) << "the connect went to the relay";
  const std::string text = "steered through the node";
  EXPECT_EQ(roundTripText(c.socket, text), text);
  live.close(c);
  notify.expectCounted(text.size(), text.size());
  EXPECT_NE(node.log().find("to=203.0.113.5:" + std::to_string(echo.port())), std::string::npos)
      << "the node carried it";

  // SetBlur reaches the relay: a node that does not undo the transformation
  // hands the destination the client's bytes blurred, and the way back is
  // untouched (the node's --unblur is tested with the node).
  SetBlur(1);
  c = live.connect(ownProcessId(), documentationDestination());
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  EXPECT_EQ(roundTripText(c.socket, std::string("\x00\x41", 2)), std::string("\xF8\xB7", 2));

  EXPECT_TRUE(Stop(0));
  EXPECT_TRUE(lumotest::closedByPeer(c.socket)) << "the relay closed the connection";
  live.close(c);
}

TEST_F(TcpEndToEnd, MappedIpv6DestinationLandsOnTheIpv6Listener) {
  uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 203, 0, 113, 5};
  const platform::SocketAddress to = platform::makeIpv6Address(mapped, platform::hostToNet16(echo.port()));
  platform::SocketAddress28 destination{};
  std::memcpy(destination.bytes.data(), to.bytes, sizeof destination);
  simdrv::LiveTcp::Connection c = live.connect(ownProcessId(), destination);
  if (c.socket == platform::kInvalidSocket && c.error == "cannot bind the application's socket")
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  ASSERT_NE(c.socket, platform::kInvalidSocket) << c.error;
  EXPECT_EQ(c.connectedTo.family(), platform::kFamilyIpv6);
  EXPECT_EQ(roundTripText(c.socket, "via ::1"), "via ::1");
  live.close(c);
}

// UnInit on another thread: true when it returned within ten seconds (a
// hang is reported rather than waited out).
bool unInitReturns(uint32_t unloadDriver) {
  auto done = std::async(std::launch::async, [unloadDriver] { return UnInit(unloadDriver); });
  return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready && done.get();
}

// Initialisation through the exports alone, with the relay's IPv6 side
// unavailable in two ways.
class RelayListenersAtInit : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(lumotest::installSimulatedDriver(driver)); }
  void TearDown() override { EXPECT_TRUE(IsSkipped() || unInitReturns(1)); }
  simdrv::SimDriver driver;
};

TEST_F(RelayListenersAtInit, RetryAfterTheIpv6PortsWereTakenLeavesNoThreadBehind) {
  if (!tcp::Relay::familyAvailable(platform::kFamilyIpv6)) GTEST_SKIP() << "no IPv6 loopback on this machine";
  uint8_t loopback6[16] = {};
  loopback6[15] = 1;
  std::vector<platform::OwnedSocket> held;
  for (uint32_t port = 50001; port <= 50888; ++port) {
    platform::OwnedSocket s(platform::openSocket(platform::kFamilyIpv6, platform::SocketType::Stream));
    if (platform::bindSocket(s.get(), platform::makeIpv6Address(loopback6, platform::hostToNet16(port))) &&
        platform::listenSocket(s.get(), 1))
      held.push_back(std::move(s));
  }
  EXPECT_FALSE(Init(0)) << "no IPv6 relay port was free";
  held.clear();
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

  lumotest::EchoServer echo;
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
  EXPECT_EQ(roundTripText(c.socket, text), text);
  EXPECT_EQ(handler.sent.load(), 5000) << "the application's bytes came as tcpSend records";
  EXPECT_TRUE(lumotest::waitFor([&] { return handler.received.load() == 5000; }))
      << "the destination's bytes came as tcpReceive records";

  // The application's end of stream reaches the destination, whose close
  // comes back to the application.
  platform::shutdownSocket(c.socket, platform::ShutdownHow::Send);
  EXPECT_TRUE(lumotest::closedByPeer(c.socket));
  live.close(c);
  drvapi::freeDriver();
}
