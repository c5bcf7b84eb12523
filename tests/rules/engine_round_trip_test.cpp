// The engine's own use of the rules: Initialize loads "config/filter.txt"
// beside the library (this program's folder, the engine being linked in),
// Configure parses the rule text, reads the hosts file and builds the tables.
#include <gtest/gtest.h>

#include <fstream>

#include "engine/zu_engine.h"
#include "platform/files.h"
#include "platform/module.h"
#include "rules/filter_file.h"
#include "support/test_support.h"

namespace {

using platform::SocketAddress28;

// A driver seam that succeeds at everything and touches no real driver.
class QuietDriver : public engine::DriverControl {
 public:
  bool stopDriverService() override { return true; }
  bool ensureDriverRunning() override { return true; }
  void enableDebugPrivilege() override {}
  void setDriverOptions(int, uint32_t) override {}
  int initDriver(const char*, drvapi::DRV_EventHandler*) override { return 0; }
  void setIpEventHandler(drvapi::DRV_IPEventHandler*) override {}
  int deleteFilterRules() override { return 0; }
  void freeDriver() override {}
};

TEST(EngineRules, InitializeAndConfigureFillTheTablesFromTheFileTheRulesAndTheHosts) {
  const std::filesystem::path filterFile = platform::libraryFolder() / "config" / "filter.txt";
  std::filesystem::create_directories(filterFile.parent_path());
  std::string file;
  std::string error;
  ASSERT_EQ(rules::EncipherFilterText("12,0,0,0,login.example.com,1,n,1,203.0.113.7\n"
                                      "0,0,0,0,game.example.com,1,n\n"
                                      "12,0,1,10.1.2.0,443,0,0\n"
                                      "0,0,2,8080,1,1\n",
                                      file, error),
            rules::CipherResult::kOk);
  ASSERT_TRUE(platform::writeFileAtomically(filterFile, file));

  lumotest::TempDir dir;
  std::ofstream(dir.path() / "hosts", std::ios::binary) << "203.0.113.5 game.example.com\n";

  QuietDriver driver;
  {
    engine::ZuEngine zu(driver);
    zu.ruleLists().SetHostsPath(dir.path() / "hosts");
    ASSERT_TRUE(zu.Initialize(false));
    std::filesystem::remove(filterFile);  // loaded once, at initialisation

    engine::PROXY_CONFIG proxy;
    engine::GAME_CONFIG game;
    game.gameId = 12;
    game.areaId = 4;
    game.rulesText = "10.0.0.0/8,20-40;mc,30,*.*:443";
    ASSERT_TRUE(zu.Configure(proxy, game, 0));

    EXPECT_EQ(zu.icmpRuleCount(), 1);
    EXPECT_EQ(zu.ruleLists().IcmpDelayFor(platform::ipv4(10, 0, 0, 1)).has_value(), true);
    EXPECT_EQ(zu.pingResponder().FindDelay(platform::ipv4(203, 0, 113, 9), platform::hostToNet16(443)), 30u);
    EXPECT_EQ(zu.LookupHostAddress("login.example.com"), platform::ipv4(203, 0, 113, 7));
    EXPECT_EQ(zu.LookupHostAddress("game.example.com"), platform::ipv4(203, 0, 113, 5));
    rules::FilterTables& tables = zu.filterTables();
    EXPECT_EQ(tables.ClassifyDomain("login.example.com"), rules::DomainClass::FromTable);
    EXPECT_TRUE(tables.IsSteerAddress(SocketAddress28::FromIpv4(platform::ipv4(203, 0, 113, 5))));
    SocketAddress28 a = SocketAddress28::FromIpv4(platform::ipv4(10, 1, 2, 77), platform::hostToNet16(443));
    EXPECT_EQ(tables.FindAddressRule(a.family(), a.bytes.data(), 2), rules::AddressRule::Direct);
    SocketAddress28 b =
        SocketAddress28::FromIpv4(platform::ipv4(198, 51, 100, 1), platform::hostToNet16(8080));
    EXPECT_EQ(tables.FindAddressRule(b.family(), b.bytes.data(), 1), rules::AddressRule::Block);

    zu.Shutdown(true);
    EXPECT_EQ(zu.icmpRuleCount(), 0);
    EXPECT_EQ(zu.ruleLists().IcmpRuleListSize(), 0u) << "the stop sequence empties the ICMP list";
    EXPECT_EQ(zu.pingResponder().AddressRuleCount(), 0u);
    EXPECT_EQ(tables.ClassifyDomain("login.example.com"), rules::DomainClass::FromTable)
        << "the filter tables outlive a stop";
  }
  std::filesystem::remove(filterFile);
}

}  // namespace
