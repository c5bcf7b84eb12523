#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/zu_engine.h"
#include "recording_driver.h"

using engine::ZuEngine;
using Steps = std::vector<std::string>;

namespace {

engine::GAME_CONFIG game(uint32_t gameId, uint32_t areaId = 0) {
  return {gameId, areaId, {{"game.exe", 1}}, 0, ""};
}

// A node on 127.0.0.1 (ports in network order), as SetConfig leaves it.
engine::PROXY_CONFIG node() { return {"u", "7", 7, 0x0100007F, 0x3804, 0x3904, 0xC014}; }

}  // namespace

class Lifecycle : public ::testing::Test {
 protected:
  Lifecycle() : engine(driver) { engine.setLifecycleProbe(&driver); }
  ~Lifecycle() override { engine.Shutdown(true); }
  RecordingDriver driver;
  ZuEngine engine;
};

TEST_F(Lifecycle, InitializeOpensTheDriverInOrderOnce) {
  ASSERT_TRUE(engine.Initialize(true));
  EXPECT_EQ(driver.driverCalls(), (Steps{"drv:stopService", "drv:debugPrivilege", "drv:ensureRunning",
                                         "drv:options", "drv:init", "drv:ipHandler"}));
  EXPECT_EQ(driver.handler, static_cast<drvapi::DRV_EventHandler*>(&engine));
  EXPECT_EQ(driver.ipHandler, static_cast<drvapi::DRV_IPEventHandler*>(&engine));
  EXPECT_TRUE(engine.initialized());
  EXPECT_TRUE(engine.running());
  EXPECT_TRUE(engine.collecting());

  const size_t before = driver.steps.size();
  EXPECT_TRUE(engine.Initialize(true));
  EXPECT_EQ(driver.steps.size(), before) << "a second Initialize touches nothing";

  // Shutdown of an initialised engine stops it, from the sockets to the resolver.
  driver.steps.clear();
  ASSERT_TRUE(engine.Shutdown(true));
  EXPECT_EQ(driver.steps.front(), "udpProxy.stopSockets");
  EXPECT_TRUE(driver.has("drv:free"));
  EXPECT_EQ(driver.steps.back(), "resolver.stop");
  EXPECT_FALSE(engine.initialized());
  EXPECT_FALSE(engine.collecting());
}

TEST_F(Lifecycle, DriverServiceIsTriedTwiceFailuresAreRepeatedAndDestructionClosesTheDriverFirst) {
  driver.ensureFailures = 1;
  ASSERT_TRUE(engine.Initialize(false));
  EXPECT_EQ(driver.count("drv:ensureRunning"), 2);
  EXPECT_FALSE(driver.has("drv:stopService")) << "no restart asked";

  ZuEngine second(driver);
  driver.steps.clear();
  driver.ensureFailures = 2;
  EXPECT_FALSE(second.Initialize(false));
  EXPECT_EQ(driver.count("drv:ensureRunning"), 2);
  EXPECT_FALSE(driver.has("drv:init"));
  EXPECT_FALSE(second.initialized());
  driver.steps.clear();
  EXPECT_TRUE(second.Initialize(false)) << "the next call repeats the steps";
  EXPECT_TRUE(driver.has("drv:init"));
  second.Shutdown(true);

  ZuEngine third(driver);  // a driver that cannot be opened
  driver.steps.clear();
  driver.initResult = -1;
  EXPECT_FALSE(third.Initialize(false));
  EXPECT_FALSE(third.initialized());
  EXPECT_FALSE(driver.has("drv:ipHandler"));

  // An engine destroyed with the driver still open (with the engine as its
  // handler) closes the driver before anything else.
  driver.initResult = 0;
  {
    ZuEngine fourth(driver);
    fourth.Initialize(false);
    fourth.StopEngine(false);
    driver.steps.clear();
  }
  ASSERT_FALSE(driver.steps.empty());
  EXPECT_EQ(driver.steps.front(), "drv:free");
}

TEST_F(Lifecycle, StartInitialisesAndKeepsOneTimer) {
  engine.Configure(node(), game(5), 0);
  driver.steps.clear();
  ASSERT_TRUE(engine.StartEngine(true, true, true, false, 0, false));
  EXPECT_TRUE(driver.has("drv:init")) << "Start initialises an uninitialised engine";
  EXPECT_TRUE(engine.tcpEnabled());
  EXPECT_TRUE(engine.udpEnabled());
  EXPECT_TRUE(engine.udpProxyAll());
  EXPECT_TRUE(engine.notifyTimerActive());

  ASSERT_TRUE(engine.StartEngine(true, true, true, false, 0, false));
  EXPECT_TRUE(engine.notifyTimerActive()) << "a second start keeps the running timer";

  engine.StopEngine(false);
  driver.steps.clear();
  engine.StartEngine(false, false, false, false, 0, false);
  EXPECT_TRUE(driver.has("udpProxy.startService")) << "after Stop the completion service starts again";
  EXPECT_TRUE(driver.has("drv:init"));
  EXPECT_TRUE(engine.initialized());
}

TEST_F(Lifecycle, StopClosesTheDriverAndForgetsTheNode) {
  engine::GAME_CONFIG g = game(5);
  g.rulesText = "mc,30,*.*:443";
  engine.Configure(node(), g, 42);
  engine.StartEngine(true, true, false, false, 0, false);
  driver.steps.clear();
  ASSERT_TRUE(engine.StopEngine(true));
  EXPECT_EQ(driver.driverCalls(), (Steps{"drv:deleteRules", "drv:free"}));
  EXPECT_FALSE(engine.initialized());
  EXPECT_FALSE(engine.running());
  EXPECT_FALSE(engine.tcpEnabled());
  EXPECT_FALSE(engine.notifyTimerActive());
  EXPECT_EQ(engine.notifyWindow(), 0u);
  const engine::PROXY_CONFIG& p = engine.proxyConfig();
  EXPECT_EQ(p.proxyAddress | p.proxyTcpPort | p.proxyUdpPort | p.dnsPort | p.userId, 0u);
  EXPECT_EQ(engine.gameConfig().gameId, 0u);
  EXPECT_EQ(p.proxyUser, "u") << "the texts stay";
  EXPECT_EQ(engine.gameConfig().rulesText, "mc,30,*.*:443");
  EXPECT_EQ(engine.gameConfig().processes.size(), 1u);

  driver.steps.clear();
  EXPECT_TRUE(engine.StopEngine(false));
  EXPECT_FALSE(driver.has("drv:free")) << "the driver stays open without unloadDriver";
  driver.steps.clear();
  EXPECT_TRUE(engine.Shutdown(true));
  EXPECT_TRUE(driver.steps.empty()) << "Shutdown of a stopped engine does nothing";
}

TEST(LifecycleGames, GameIdsSwitchTheirBehaviour) {
  struct Row {
    uint32_t gameId, areaId, forceUdpDirect;
    bool ping, probe, udpDirect, prepare;
  } rows[] = {
      {339, 0, 0, true, false, false, false},  {338, 0, 0, false, false, false, false},
      {41, 218, 0, false, true, false, false}, {41, 214, 0, false, true, false, false},
      {41, 215, 0, false, false, false, false}, {369, 0, 0, false, false, true, true},
      {890, 0, 0, false, false, true, true},   {2207, 0, 0, false, false, true, true},
      {1165, 0, 0, false, false, true, false}, {5, 0, 1, false, false, true, false},
      {5, 0, 2, false, false, false, false},   {5, 0, 0x101, false, false, false, false},
  };
  for (const Row& r : rows) {
    RecordingDriver driver;
    ZuEngine e(driver);
    e.setLifecycleProbe(&driver);
    engine::GAME_CONFIG g = game(r.gameId, r.areaId);
    g.rulesText = "mc,30,*.*:443";  // ping rules alone do not switch the responder on
    e.Configure(node(), g, 0);
    e.StartEngine(true, false, false, false, r.forceUdpDirect, false);
    SCOPED_TRACE(testing::Message() << "game " << r.gameId << " area " << r.areaId << " force "
                                    << r.forceUdpDirect);
    EXPECT_EQ(e.pingEnabled(), r.ping);
    EXPECT_EQ(e.probeTrackerEnabled(), r.probe);
    EXPECT_EQ(e.udpDirectMode() != 0, r.udpDirect);
    EXPECT_EQ(driver.has("hostnet.prepareHostNetwork"), r.prepare);
    EXPECT_EQ(driver.has("serviceMonitor.start"), r.prepare);
    e.StopEngine(true);
    EXPECT_FALSE(e.pingEnabled());
    EXPECT_FALSE(e.probeTrackerEnabled());
    e.Shutdown(true);
  }
}

TEST_F(Lifecycle, EachConfigurationReplacesTheRulesAndStopUndoesWhatWasDone) {
  engine::GAME_CONFIG first = game(5);
  first.rulesText = "198.51.100.0/24,10-20;203.0.113.0/24,5-5;mc,30,198.51.100.7:443;mc,40,*.*:80";
  engine::GAME_CONFIG second = game(5);
  second.rulesText = "198.51.100.0/25,10-20;mc,30,203.0.113.9:443";
  engine.Configure(node(), first, 0);
  engine.Configure(node(), second, 0);
  const std::vector<rules::IcmpRule> icmp = engine.ruleLists().IcmpRules();
  ASSERT_EQ(icmp.size(), 1u) << "the second configuration's rules only";
  EXPECT_EQ(icmp[0].prefixLength, 25u);
  EXPECT_EQ(engine.pingResponder().NameRuleCount() + engine.pingResponder().AddressRuleCount(), 1u);
  EXPECT_EQ(driver.count("icmp.raiseTimerResolution"), 1) << "the resolution is raised once";
  EXPECT_EQ(driver.count("icmp.start"), 1) << "the ICMP scheduler is started once";

  engine.Configure(node(), game(5), 0);  // no rules at all now
  EXPECT_TRUE(engine.ruleLists().IcmpRules().empty());
  engine.Initialize(false);
  ASSERT_TRUE(engine.StopEngine(true));
  EXPECT_EQ(driver.count("icmp.lowerTimerResolution"), 1) << "what the first configuration raised is lowered";
  EXPECT_EQ(driver.count("icmp.stop"), 1);
  driver.steps.clear();
  engine.StopEngine(true);
  EXPECT_FALSE(driver.has("icmp.lowerTimerResolution")) << "nothing is undone twice";
  EXPECT_FALSE(driver.has("icmp.stop"));
}

TEST_F(Lifecycle, AStepThatThrowsFailsInitializeAndStartInsteadOfEscaping) {
  driver.throwAtStep = "filter.load";  // as memory running out while loading would
  bool ok = true;
  EXPECT_NO_THROW(ok = engine.Initialize(false));
  EXPECT_FALSE(ok);
  EXPECT_FALSE(engine.initialized());

  driver.throwAtStep = "hostnet.driverRules";
  ok = true;
  EXPECT_NO_THROW(ok = engine.StartEngine(true, false, false, false, 0, false));
  EXPECT_FALSE(ok) << "a start cut short is not reported as done";
  EXPECT_TRUE(engine.initialized()) << "the initialisation it began with ran in full this time";
  EXPECT_FALSE(engine.notifyTimerActive());

  driver.throwAtStep.clear();
  EXPECT_TRUE(engine.StartEngine(true, false, false, false, 0, false));
  EXPECT_TRUE(engine.notifyTimerActive());
}
