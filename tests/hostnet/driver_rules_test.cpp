// The start-time rule list, judged by what the simulated driver then does
// with each kind of flow (first matching rule wins, as in the driver).
#include "hostnet/driver_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "drvapi/drvapi.h"
#include "hostnet/host_network.h"
#include "platform/net.h"
#include "sim_driver.h"
#include "support/quiet_handler.h"

using namespace hostnet;
using platform::ipv4;

namespace {

using lumotest::QuietHandler;

const uint32_t kNode = ipv4(198, 51, 100, 20);
const uint32_t kOwnPid = 4242;
const std::u16string kGame = u"C:\\Games\\Game.exe", kLauncher = u"D:\\launcher.exe",
                     kOther = u"C:\\Windows\\notepad.exe", kQuillmere = u"C:\\Q\\quillmere.exe";

platform::SocketAddress28 ipv6(uint16_t port) {
  platform::SocketAddress28 a{};
  a.bytes[0] = static_cast<uint8_t>(drvapi::kFamilyIpv6);
  a.bytes[2] = static_cast<uint8_t>(port >> 8);
  a.bytes[3] = static_cast<uint8_t>(port);
  a.bytes[8] = 0x20, a.bytes[9] = 0x01, a.bytes[10] = 0x0d, a.bytes[11] = 0xb8, a.bytes[23] = 5;
  return a;
}

simdrv::FlowDescription flow(uint32_t protocol, const platform::SocketAddress28& remote,
                             const std::u16string& image, uint32_t pid = 100, uint8_t direction = 2) {
  simdrv::FlowDescription f;
  f.protocol = protocol;
  f.processId = pid;
  f.direction = direction;
  f.remote = remote;
  f.processPath = image;
  return f;
}

class DriverRules : public ::testing::Test {
 protected:
  void SetUp() override {
    drvapi::setDriverOptions(2, drvapi::kOptionNoServiceStart);
    sim.install();
    ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kOk);
  }
  void TearDown() override { drvapi::freeDriver(); }

  DriverRuleInputs inputs(bool tcp, bool udp, bool adapter, std::vector<std::u16string> names) {
    DriverRuleInputs in;
    in.tcpEnabled = tcp;
    in.udpEnabled = udp;
    in.adapterMode = adapter;
    in.processNames = std::move(names);
    in.proxyAddress = kNode;
    in.ownProcessId = kOwnPid;
    return in;
  }

  simdrv::SimDriver sim;
  QuietHandler handler;
  AdapterRoutes routes{[](const platform::HostRoute&) { return true; }};
  AdapterFinder noAdapter = [](uint32_t&, uint32_t&) { return false; };
  AdapterFinder found = [](uint32_t& hop, uint32_t& index) {
    hop = ipv4(10, 10, 7, 1);
    index = 7;
    return true;
  };
  MetricSource metric = [](uint32_t) { return 0u; };
};

}  // namespace

TEST_F(DriverRules, EachKindOfFlowMeetsItsRule) {
  EXPECT_FALSE(WriteDriverRules(inputs(true, true, false, {u"Game.EXE", u"launcher.exe"}), routes, noAdapter,
                                metric, 10));
  const auto at = [](const char* address, uint16_t port) { return simdrv::ipv4(address, port); };
  struct Row {
    const char* what;
    simdrv::FlowDescription flow;
    uint32_t flag;
  } rows[] = {
      {"a game's TCP connect is reported", flow(6, at("203.0.113.5", 443), kGame),
       drvapi::kRuleReportConnect},
      {"over IPv6 too", flow(6, ipv6(443), kGame), drvapi::kRuleReportConnect},
      {"a game's UDP is filtered", flow(17, at("203.0.113.5", 9000), kLauncher), drvapi::kRuleFilter},
      {"but not over IPv6", flow(17, ipv6(9000), kGame), drvapi::kRulePass},
      {"another program's TCP passes", flow(6, at("203.0.113.5", 443), kOther, 102), drvapi::kRulePass},
      {"any program's DNS query is filtered", flow(17, at("192.0.2.53", 53), kOther, 102),
       drvapi::kRuleFilter},
      {"over IPv6 too", flow(17, ipv6(53), kOther, 102), drvapi::kRuleFilter},
      {"the engine's own DNS query passes", flow(17, at("192.0.2.53", 53), kOther, kOwnPid),
       drvapi::kRulePass},
      {"a game's TCP to the node passes", flow(6, at("198.51.100.20", 1080), kGame), drvapi::kRulePass},
      {"its UDP to the node too", flow(17, at("198.51.100.20", 7001), kGame), drvapi::kRulePass},
      {"its TCP to the relay on loopback too", flow(6, at("127.0.0.1", 50001), kGame), drvapi::kRulePass},
      {"the service network passes", flow(17, at("172.27.3.4", 9000), kGame), drvapi::kRulePass},
      {"SSDP is blocked", flow(17, at("239.255.255.250", 1900), kGame), drvapi::kRuleBlock},
      {"quillmere's UDP from the node is filtered", flow(17, at("198.51.100.20", 7001), kQuillmere, 103, 1),
       drvapi::kRuleFilter},
      {"and to 1.3.0.5", flow(17, at("1.3.0.5", 9000), kQuillmere, 103), drvapi::kRuleFilter},
  };
  for (const Row& row : rows) EXPECT_EQ(sim.classify(row.flow), row.flag) << row.what;
  EXPECT_EQ(sim.classify(flow(6, at("203.0.113.5", 443), kOther), simdrv::SimDriver::Layer::RawIp),
            drvapi::kRulePass)
      << "no ICMP rule: no raw IP";
  EXPECT_TRUE(sim.rules().empty()) << "nothing through the plain rule codes";

  // ICMP rules offer outgoing packets as raw IP.
  drvapi::deleteFilterRules();
  DriverRuleInputs in = inputs(true, true, false, {u"game.exe"});
  in.icmpRuleCount = 2;
  WriteDriverRules(in, routes, noAdapter, metric, 10);
  const auto raw = simdrv::SimDriver::Layer::RawIp;
  EXPECT_EQ(sim.classify(flow(1, simdrv::ipv4("203.0.113.5", 0), kOther), raw), drvapi::kRuleRawIp);
  EXPECT_EQ(sim.classify(flow(1, simdrv::ipv4("203.0.113.5", 0), kOther, 102, 1), raw), drvapi::kRulePass);
  EXPECT_EQ(sim.classify(flow(6, simdrv::ipv4("203.0.113.5", 443), kGame)), drvapi::kRuleReportConnect)
      << "the raw-IP rule at the head hides no flow rule";
}

TEST_F(DriverRules, SwitchesDecideWhatTheGamesSend) {
  struct Row {
    const char* what;
    bool tcp, udp, adapter;
    uint32_t tcpFlag, udpFlag;
  } rows[] = {
      {"all off: fixed rules only", false, false, false, drvapi::kRulePass, drvapi::kRulePass},
      {"tcp only", true, false, false, drvapi::kRuleReportConnect, drvapi::kRulePass},
      {"udp only", false, true, false, drvapi::kRulePass, drvapi::kRuleFilter},
      {"adapter mode steers both", false, false, true, drvapi::kRuleReportConnect, drvapi::kRuleFilter},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    drvapi::deleteFilterRules();
    WriteDriverRules(inputs(r.tcp, r.udp, r.adapter, {u"game.exe"}), routes, found, metric, 10);
    EXPECT_EQ(sim.classify(flow(6, simdrv::ipv4("203.0.113.5", 443), kGame)), r.tcpFlag);
    EXPECT_EQ(sim.classify(flow(17, simdrv::ipv4("203.0.113.5", 9000), kGame)), r.udpFlag);
    EXPECT_EQ(sim.classify(flow(17, simdrv::ipv4("192.0.2.53", 53), kOther, 102)), drvapi::kRuleFilter);
  }
  // No process at all: the fixed rules still hold.
  drvapi::deleteFilterRules();
  WriteDriverRules(inputs(true, true, false, {}), routes, noAdapter, metric, 10);
  EXPECT_EQ(sim.classify(flow(6, simdrv::ipv4("203.0.113.5", 443), kGame)), drvapi::kRulePass);
  EXPECT_EQ(sim.classify(flow(17, simdrv::ipv4("239.255.255.250", 1900), kGame)), drvapi::kRuleBlock);
}

// A watched service's process carries game traffic: its rules go before the
// start-time ones, for that process id alone.
TEST_F(DriverRules, AServiceProcessIsSteeredByItsId) {
  constexpr uint32_t kService = 880;
  const auto from = [](uint32_t protocol, const platform::SocketAddress28& remote, uint32_t pid) {
    return flow(protocol, remote, kOther, pid);
  };
  const platform::SocketAddress28 web = simdrv::ipv4("203.0.113.5", 443),
                                  play = simdrv::ipv4("203.0.113.5", 9000);
  struct Row {
    const char* what;
    bool tcp, udp;
    uint32_t tcpFlag, tcp6Flag, udpFlag;
  } rows[] = {
      {"both", true, true, drvapi::kRuleReportConnect, drvapi::kRuleReportConnect, drvapi::kRuleFilter},
      {"tcp only", true, false, drvapi::kRuleReportConnect, drvapi::kRuleReportConnect, drvapi::kRulePass},
      {"udp only", false, true, drvapi::kRulePass, drvapi::kRulePass, drvapi::kRuleFilter},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    drvapi::deleteFilterRules();
    WriteDriverRules(inputs(true, true, false, {u"game.exe"}), routes, noAdapter, metric, 10);
    WriteServiceProcessRules(kService, r.tcp, r.udp);
    EXPECT_EQ(sim.classify(from(6, web, kService)), r.tcpFlag);
    EXPECT_EQ(sim.classify(from(6, ipv6(443), kService)), r.tcp6Flag);
    EXPECT_EQ(sim.classify(from(17, play, kService)), r.udpFlag);
    EXPECT_EQ(sim.classify(from(6, web, kService + 1)), drvapi::kRulePass) << "another process";
    EXPECT_EQ(sim.classify(from(17, play, kService + 1)), drvapi::kRulePass) << "another process";
    EXPECT_EQ(sim.rules().size(), (r.tcp ? 2u : 0u) + (r.udp ? 1u : 0u)) << "plain rules, not process rules";
  }
}

TEST_F(DriverRules, AdapterModeTakesTheAdaptersRouteParameters) {
  uint32_t metricAsked = 0;
  routes.AddHostRoute(ipv4(203, 0, 113, 1));  // left over from a previous start
  EXPECT_TRUE(WriteDriverRules(
      inputs(false, false, true, {u"game.exe"}), routes, found,
      [&](uint32_t index) {
        metricAsked = index;
        return 25u;
      },
      10));
  const AdapterRouteParameters p = routes.parameters();
  EXPECT_EQ(std::tuple(p.nextHop, p.interfaceIndex, p.metric, p.mask, p.type, p.protocol),
            std::tuple(ipv4(10, 10, 7, 1), 7u, 25u, 0xFFFFFFFFu, 3u, 3u));
  EXPECT_EQ(metricAsked, 7u);
  EXPECT_EQ(routes.size(), 0u);
  // A metric of 0 becomes 1, and 300 from version 6 of the system on.
  for (const auto& [osMajor, stored] : {std::pair<uint32_t, uint32_t>{5, 1}, {6, 300}}) {
    WriteDriverRules(inputs(false, false, true, {}), routes, found, metric, osMajor);
    EXPECT_EQ(routes.parameters().metric, stored) << osMajor;
  }
}

TEST_F(DriverRules, MissingAdapterPassesEverythingAndHostNetworkRoutesThroughTheOneItsSettingsFind) {
  EXPECT_FALSE(WriteDriverRules(inputs(true, true, true, {u"game.exe"}), routes, noAdapter, metric, 10));
  // The rules went out and were all deleted again: the delete is the last
  // thing the driver was told.
  const auto written = sim.written();
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(written.back().type, static_cast<uint32_t>(drvapi::kDeleteRules));
  EXPECT_EQ(sim.written(drvapi::kDeleteRules).size(), 1u);
  EXPECT_TRUE(sim.rules().empty());
  EXPECT_EQ(sim.classify(flow(17, simdrv::ipv4("203.0.113.53", 53), kOther)), drvapi::kRulePass);

  // Host networking finds the adapter, its metric and makes routes through its settings.
  HostNetworkSettings settings;
  settings.findAdapter = [](uint32_t& hop, uint32_t& index) {
    hop = ipv4(10, 10, 1, 1);
    index = 12;
    return true;
  };
  settings.metricOf = [](uint32_t) { return 40u; };
  std::vector<platform::HostRoute> made;
  settings.createRoute = [&made](const platform::HostRoute& r) {
    made.push_back(r);
    return true;
  };
  HostNetwork host(settings);
  EXPECT_TRUE(host.WriteDriverRules(inputs(true, false, true, {u"game.exe"})));
  host.AddHostRoute(ipv4(203, 0, 113, 77));
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(std::tuple(made[0].nextHop, made[0].interfaceIndex, made[0].metric),
            std::tuple(ipv4(10, 10, 1, 1), 12u, 40u));
  host.clearRouteSet();
  EXPECT_FALSE(host.routes().contains(ipv4(203, 0, 113, 77)));
}
