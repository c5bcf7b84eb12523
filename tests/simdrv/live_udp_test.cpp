// The simulated driver's live UDP mode against the real driver library: a
// handler that passes every reported datagram on shows what the application
// and a loopback echo server behind a documentation address really see. The
// reported path with the engine behind it is udp_e2e_test.cpp's.
#include "live_udp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "drvapi/drvapi.h"
#include "platform/net.h"
#include "sim_driver.h"
#include "support/quiet_handler.h"
#include "support/test_support.h"
#include "udp_echo_server.h"

namespace {

using simdrv::LiveUdp;
using SendResult = simdrv::LiveUdp::SendResult;

constexpr uint32_t kGamePid = 4242;     // its UDP is filtered
constexpr uint32_t kConnectPid = 4343;  // filtered, with connect requests
constexpr uint32_t kOtherPid = 4444;    // no rule

struct Event {
  std::string what;
  uint64_t id;
  std::string data;
  platform::SocketAddress28 address;  // remote of a datagram or request, local of udpCreated
};

// Passes every reported datagram on unchanged, both ways. A connect request
// to 203.0.113.66 is blocked, others go to `redirect`.
class Reflector : public lumotest::QuietHandler {
 public:
  platform::SocketAddress28 redirect{};  // set before the flows open

  void udpCreated(uint64_t id, drvapi::UdpConnInfo* info) override {
    record("udpCreated", id, {}, info->localAddress.bytes.data());
  }
  void udpConnectRequest(uint64_t id, drvapi::UdpConnectRequest* request) override {
    record("udpConnectRequest", id, {}, request->remoteAddress.bytes.data());
    if (request->remoteAddress.bytes[7] == 66)
      request->filteringFlag |= drvapi::kRuleBlock;
    else
      request->remoteAddress = redirect;
  }
  void udpSend(uint64_t id, const unsigned char* remote, const char* data, int length,
               const drvapi::UdpOptions* options) override {
    record("udpSend", id, std::string(data, static_cast<size_t>(length)), remote);
    drvapi::udpInjectSend(id, remote, data, length, options);
  }
  void udpReceive(uint64_t id, const unsigned char* remote, const char* data, int length,
                  const drvapi::UdpOptions*) override {
    drvapi::udpInjectReceive(id, remote, data, length, nullptr);
  }
  void udpClosed(uint64_t id, drvapi::UdpConnInfo* info) override {
    record("udpClosed", id, {}, info->localAddress.bytes.data());
  }

  // The events of kind `what`, or of flow `id`.
  std::vector<Event> events(const std::string& what, uint64_t id = 0) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<Event> out;
    for (const Event& e : events_)
      if (what.empty() ? e.id == id : e.what == what) out.push_back(e);
    return out;
  }
  bool waitFor(const std::string& what, size_t count) const {
    return lumotest::waitFor([&] { return events(what).size() >= count; });
  }

 private:
  void record(const char* what, uint64_t id, std::string data, const unsigned char* address) {
    Event e{what, id, std::move(data), {}};
    std::memcpy(e.address.bytes.data(), address, sizeof e.address);
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(std::move(e));
  }

  mutable std::mutex lock_;
  std::vector<Event> events_;
};

class LiveUdpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(echo.port(), 0);
    driver.install();
    drvapi::setDriverOptions(4, drvapi::kOptionNoServiceStart);
    ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kOk);
    addRule(kGamePid, drvapi::kRuleFilter);
    addRule(kConnectPid, drvapi::kRuleFilter | drvapi::kRuleReportConnect);
    ASSERT_TRUE(live.map("203.0.113.0/24", "127.0.0.1"));
  }
  void TearDown() override { drvapi::freeDriver(); }

  void addRule(uint32_t pid, uint32_t flag) {
    drvapi::FilterRule rule{};
    rule.protocol = 17;
    rule.processId = pid;
    rule.filteringFlag = flag;
    ASSERT_EQ(drvapi::addFilterRule(&rule, true), drvapi::kOk);
  }

  platform::SocketAddress28 echoAt(const char* address) const { return simdrv::ipv4(address, echo.port()); }

  lumotest::UdpEchoServer echo;
  simdrv::SimDriver driver;
  Reflector handler;
  LiveUdp live{driver};
};

}  // namespace

TEST_F(LiveUdpTest, OnlyLoopbackAndMappedDestinationsAreReached) {
  // Unfiltered: the application's own datagrams go straight.
  LiveUdp::Socket other = live.open(kOtherPid);
  ASSERT_TRUE(other.valid()) << other.error();
  EXPECT_FALSE(other.reported());
  EXPECT_EQ(other.sendTo(echoAt("127.0.0.1"), "loopback"), SendResult::Sent);
  EXPECT_EQ(other.sendTo(echoAt("203.0.113.5"), "mapped"), SendResult::Sent);
  EXPECT_EQ(other.sendTo(echoAt("198.51.100.20"), "unmapped"), SendResult::Refused);
  for (const char* text : {"loopback", "mapped"}) {
    std::optional<LiveUdp::Datagram> reply = other.recvFrom();
    ASSERT_TRUE(reply) << text;
    EXPECT_EQ(reply->data, text);
  }
  EXPECT_TRUE(handler.events("udpSend").empty());

  // Filtered: what the library injects towards an unmapped address is
  // refused, never sent. The library sends a flow's injections in order, so
  // once the mapped datagram after it is answered, the first was dealt with.
  LiveUdp::Socket game = live.open(kGamePid);
  ASSERT_TRUE(game.valid()) << game.error();
  ASSERT_TRUE(handler.waitFor("udpCreated", 1));
  EXPECT_EQ(handler.events("udpCreated")[0].address,
            simdrv::ipv4("127.0.0.1", platform::netToHost16(game.local().port())))
      << "udpCreated names the socket's real local address";
  EXPECT_EQ(game.sendTo(echoAt("198.51.100.20"), "unmapped"), SendResult::Reported);
  EXPECT_EQ(game.sendTo(echoAt("203.0.113.5"), "mapped"), SendResult::Reported);
  std::optional<LiveUdp::Datagram> got = game.recvFrom();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data, "mapped");
  EXPECT_EQ(game.refusedSends(), 1u);
  EXPECT_EQ(echo.sourcePorts().size(), 3u);

  const uint64_t gameId = game.id();
  other.close();
  game.close();
  ASSERT_TRUE(handler.waitFor("udpClosed", 1));
  EXPECT_EQ(handler.events("udpClosed")[0].id, gameId) << "only the reported flow's close is reported";
}

TEST_F(LiveUdpTest, ConnectRequestVerdictDecidesWhereADestinationGoes) {
  // 203.0.113.7 goes elsewhere: to 203.0.113.9, the same server behind the map.
  handler.redirect = echoAt("203.0.113.9");
  LiveUdp::Socket app = live.open(kConnectPid);
  ASSERT_TRUE(app.valid()) << app.error();
  EXPECT_EQ(app.sendTo(echoAt("203.0.113.7"), "one"), SendResult::Reported);
  EXPECT_EQ(app.sendTo(echoAt("203.0.113.7"), "two"), SendResult::Reported);
  EXPECT_EQ(app.sendTo(echoAt("203.0.113.66"), "blocked"), SendResult::Blocked);
  ASSERT_TRUE(handler.waitFor("udpSend", 2));

  // Known first, then asked about, then its datagrams (the library may run
  // the second request before datagrams that arrived just ahead of it).
  const std::vector<Event> order = handler.events({}, app.id());
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order[0].what, "udpCreated");
  EXPECT_EQ(order[1].what, "udpConnectRequest");
  const std::vector<Event> requests = handler.events("udpConnectRequest");
  ASSERT_EQ(requests.size(), 2u) << "one request per destination";
  EXPECT_EQ(requests[0].address, echoAt("203.0.113.7"));
  const std::vector<Event> sends = handler.events("udpSend");
  ASSERT_EQ(sends.size(), 2u) << "the blocked datagram never reached the library";
  for (const Event& e : sends) EXPECT_EQ(e.address, echoAt("203.0.113.9")) << "sent where the verdict said";
}
