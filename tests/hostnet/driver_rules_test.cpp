// The start-time rule list as the simulated driver ends up holding it.
#include "hostnet/driver_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
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

// One expected rule, fields as the driver receives them.
struct Expected {
  uint32_t protocol;
  uint32_t processId;
  uint8_t direction;
  uint16_t remotePortHost;
  uint16_t family;
  uint32_t remote;  // network order
  uint32_t mask;
  uint32_t flag;
  std::u16string name;
};

const uint32_t kNode = ipv4(198, 51, 100, 20);
const uint32_t kOwnPid = 4242;
const uint32_t kHost = 0xFFFFFFFFu;

// The fixed rules 2 to 11, in the order they are added.
std::vector<Expected> fixedRules() {
  return {
      {17, 0, 3, 53, 2, 0, 0, 2, u""},
      {17, 0, 3, 53, 23, 0, 0, 2, u""},
      {6, 0, 0, 0, 2, kNode, kHost, 0, u""},
      {17, 0, 2, 0, 2, kNode, kHost, 0, u""},
      {6, 0, 0, 0, 2, ipv4(127, 0, 0, 1), kHost, 0, u""},
      {0, 0, 0, 0, 2, ipv4(172, 27, 0, 0), ipv4(255, 255, 0, 0), 0, u""},
      {0, kOwnPid, 3, 53, 2, 0, 0, 0, u""},
      {0, 0, 0, 0, 2, ipv4(239, 255, 255, 250), kHost, 1, u""},
      {17, 0, 1, 0, 2, kNode, kHost, 2, u"quillmere.exe"},
      {17, 0, 2, 0, 2, ipv4(1, 3, 0, 5), kHost, 2, u"quillmere.exe"},
  };
}

std::vector<Expected> perProcess(const std::u16string& name, bool tcp, bool udp) {
  std::vector<Expected> rules;
  if (tcp) {
    rules.push_back({6, 0, 3, 0, 2, 0, 0, 16, name});
    rules.push_back({6, 0, 3, 0, 23, 0, 0, 16, name});
  }
  if (udp) rules.push_back({17, 0, 3, 0, 2, 0, 0, 2, name});
  return rules;
}

class DriverRules : public ::testing::Test {
 protected:
  void SetUp() override {
    drvapi::setDriverOptions(2, drvapi::kOptionNoServiceStart);
    sim.install();
    ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kOk);
  }
  void TearDown() override { drvapi::freeDriver(); }

  // The driver's list must be `added` in reverse (every rule went to the head).
  void expectDriverHolds(std::vector<Expected> added, const char* what) {
    const auto held = sim.processRules();
    ASSERT_EQ(held.size(), added.size()) << what;
    for (size_t i = 0; i < held.size(); ++i) {
      const Expected& e = added[added.size() - 1 - i];
      const drvapi::FilterRule& r = held[i].rule;
      uint32_t remote, mask;
      std::memcpy(&remote, r.remoteIpAddress, 4);
      std::memcpy(&mask, r.remoteIpAddressMask, 4);
      SCOPED_TRACE(std::string(what) + ", rule " + std::to_string(i));
      // The record is packed: each field is copied out before it is compared.
      EXPECT_EQ(uint32_t{r.protocol}, e.protocol);
      EXPECT_EQ(uint32_t{r.processId}, e.processId);
      EXPECT_EQ(uint8_t{r.direction}, e.direction);
      EXPECT_EQ(uint16_t{r.localPort}, 0);
      EXPECT_EQ(uint16_t{r.remotePort}, platform::hostToNet16(e.remotePortHost));
      EXPECT_EQ(uint16_t{r.ipFamily}, e.family);
      EXPECT_EQ(remote, e.remote);
      EXPECT_EQ(mask, e.mask);
      EXPECT_EQ(uint32_t{r.filteringFlag}, e.flag);
      EXPECT_TRUE(held[i].processName == e.name);
    }
  }

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
  MetricSource metric = [](uint32_t) { return 0u; };
};

}  // namespace

TEST_F(DriverRules, SwitchesDecideThePerProcessRules) {
  struct Row {
    const char* what;
    bool tcp, udp, adapter;
    bool tcpRules, udpRules;
  } rows[] = {
      {"all off: fixed rules only", false, false, false, false, false},
      {"tcp only", true, false, false, true, false},
      {"udp only", false, true, false, false, true},
      {"both", true, true, false, true, true},
  };
  for (const Row& r : rows) {
    drvapi::deleteFilterRules();
    sim.clearWritten();
    const auto before = sim.processRules().size();
    EXPECT_FALSE(WriteDriverRules(inputs(r.tcp, r.udp, r.adapter, {u"Game.EXE", u"launcher.exe"}), routes,
                                  noAdapter, metric, 10));
    std::vector<Expected> added;
    for (const char16_t* name : {u"game.exe", u"launcher.exe"})
      for (auto& e : perProcess(name, r.tcpRules, r.udpRules)) added.push_back(e);
    for (auto& e : fixedRules()) added.push_back(e);
    // Each start adds the whole list in front of what the driver holds.
    auto held = sim.processRules();
    ASSERT_EQ(held.size(), before + added.size()) << r.what;
    held.resize(added.size());
    std::vector<Expected> reversed(added.rbegin(), added.rend());
    for (size_t i = 0; i < held.size(); ++i) {
      EXPECT_EQ(uint32_t{held[i].rule.protocol}, reversed[i].protocol) << r.what << " " << i;
      EXPECT_EQ(uint32_t{held[i].rule.filteringFlag}, reversed[i].flag) << r.what << " " << i;
      EXPECT_TRUE(held[i].processName == reversed[i].name) << r.what << " " << i;
    }
  }
}

TEST_F(DriverRules, FullListWithIcmpRule) {
  DriverRuleInputs in = inputs(true, true, false, {u"game.exe"});
  in.icmpRuleCount = 2;
  EXPECT_FALSE(WriteDriverRules(in, routes, noAdapter, metric, 10));
  std::vector<Expected> added = perProcess(u"game.exe", true, true);
  for (auto& e : fixedRules()) added.push_back(e);
  added.push_back({0, 0, 2, 0, 0, 0, 0, 128, u""});
  expectDriverHolds(added, "with ICMP");
  EXPECT_TRUE(sim.rules().empty());  // nothing through the plain rule codes
}

TEST_F(DriverRules, EmptyProcessListAddsOnlyTheFixedRules) {
  EXPECT_FALSE(WriteDriverRules(inputs(true, true, false, {}), routes, noAdapter, metric, 10));
  expectDriverHolds(fixedRules(), "no process");
}

TEST_F(DriverRules, AdapterModeWithBothSwitchesOffStillSteersTheGame) {
  uint32_t metricAsked = 0;
  AdapterFinder found = [](uint32_t& hop, uint32_t& index) {
    hop = ipv4(10, 10, 7, 1);
    index = 7;
    return true;
  };
  routes.AddHostRoute(ipv4(203, 0, 113, 1));  // left over from a previous start
  EXPECT_TRUE(WriteDriverRules(inputs(false, false, true, {u"game.exe"}), routes, found,
                               [&](uint32_t index) { metricAsked = index; return 0u; }, 10));
  std::vector<Expected> added = perProcess(u"game.exe", true, true);
  for (auto& e : fixedRules()) added.push_back(e);
  expectDriverHolds(added, "adapter mode");
  const AdapterRouteParameters p = routes.parameters();
  EXPECT_EQ(p.nextHop, ipv4(10, 10, 7, 1));
  EXPECT_EQ(p.interfaceIndex, 7u);
  EXPECT_EQ(metricAsked, 7u);
  EXPECT_EQ(p.metric, 300u);  // 0 → 1 → 300 from version 6 on
  EXPECT_EQ(p.mask, 0xFFFFFFFFu);
  EXPECT_EQ(p.type, 3u);
  EXPECT_EQ(p.protocol, 3u);
  EXPECT_EQ(routes.size(), 0u);
}

TEST_F(DriverRules, MetricRules) {
  struct Row {
    uint32_t reported, osMajor, stored;
  } rows[] = {{0, 5, 1}, {0, 6, 300}, {25, 10, 25}, {1, 5, 1}};
  AdapterFinder found = [](uint32_t& hop, uint32_t& index) {
    hop = ipv4(172, 27, 0, 5);
    index = 3;
    return true;
  };
  for (const Row& r : rows) {
    WriteDriverRules(inputs(false, false, true, {}), routes, found, [&](uint32_t) { return r.reported; },
                     r.osMajor);
    EXPECT_EQ(routes.parameters().metric, r.stored) << r.reported << "/" << r.osMajor;
  }
}

TEST_F(DriverRules, MissingAdapterLeavesTheDriverPassingEverything) {
  EXPECT_FALSE(WriteDriverRules(inputs(true, true, true, {u"game.exe"}), routes, noAdapter, metric, 10));
  // The rules went out and were all deleted again: the delete is the last
  // thing the driver was told.
  const auto written = sim.written();
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(written.back().type, static_cast<uint32_t>(drvapi::kDeleteRules));
  EXPECT_EQ(sim.written(drvapi::kDeleteRules).size(), 1u);
  EXPECT_TRUE(sim.rules().empty());
  simdrv::FlowDescription dns;
  dns.protocol = 17;
  dns.remote = simdrv::ipv4("203.0.113.53", 53);
  EXPECT_EQ(sim.classify(dns), drvapi::kRulePass);
}

TEST_F(DriverRules, HostNetworkTakesItsSettings) {
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
  EXPECT_EQ(made[0].nextHop, ipv4(10, 10, 1, 1));
  EXPECT_EQ(made[0].interfaceIndex, 12u);
  EXPECT_EQ(made[0].metric, 40u);
  host.clearRouteSet();
  EXPECT_FALSE(host.routes().contains(ipv4(203, 0, 113, 77)));
}
