// Host command lines: the exact lines and time-outs, recorded instead of run,
// and the firewall-profile check on Chinese-language netsh output.
#include "hostnet/network_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "hostnet/command_runner.h"
#include "hostnet/host_network.h"
#include "hostnet_test_support.h"
#include "platform/net.h"
#include "platform/command.h"

using hostnet::RecordingRunner;

namespace {

using Lines = std::vector<std::pair<std::string, uint32_t>>;

// Code-page-936 bytes of the Chinese netsh labels.
const std::string kPolicy = "\xB7\xC0\xBB\xF0\xC7\xBD\xB2\xDF\xC2\xD4";
const std::string kState = "\xD7\xB4\xCC\xAC";
const std::string kOn = "\xC6\xF4\xD3\xC3";
const std::string kOff = "\xBD\xFB\xD3\xC3";

const char* kRepair = "netsh advfirewall set currentprofile firewallpolicy blockinbound,allowoutbound";

Lines transitionBlock(const std::string& teredo) {
  return {{"netsh interface teredo set state disable", 5000},
          {"netsh interface teredo set state default", 5000},
          {"netsh interface 6to4 set state default", 5000},
          {"netsh interface isatap set state default", 5000},
          {"netsh interface teredo set state enterpriseclient " + teredo + " 30 0", 5000}};
}

Lines expectedPreparation(const std::string& teredo, bool repair) {
  Lines lines = {
      {"Reg add  HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services\\Dnscache\\Parameters /v "
       "AddrConfigControl /t REG_DWORD /d 0 /f",
       1000},
      {"Reg add  HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services\\TCPIP6\\Parameters /v "
       "DisabledComponents /t REG_DWORD /d 0 /f",
       1000},
      {"Reg add  HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services\\TCPIP6\\Parameters /v "
       "EnableICSIPv6 /t REG_DWORD /d 1 /f",
       1000},
      {"net start iphlpsvc", 5000},
  };
  if (repair) lines.push_back({kRepair, 60000});
  lines.push_back(
      {"netsh advfirewall firewall set rule name=\"4jxr4b3r3du76ina39a98x8k2\" new enable=no", 30000});
  for (auto& l : transitionBlock(teredo)) lines.push_back(l);
  for (const char* l : {"net stop jhi_service /y", "net stop iphlpsvc /y", "net start iphlpsvc",
                        "net start jhi_service", "net start XboxNetApiSvc", "net start XblAuthManager",
                        "net start IKEEXT"})
    lines.push_back({l, 10000});
  for (auto& l : transitionBlock(teredo)) lines.push_back(l);
  return lines;
}

std::string chineseProfile(const std::string& policy, const std::string& state) {
  return "\r\n" + kState + "                                  " + state + "\r\n" + kPolicy +
         "                            " + policy + "\r\nLocalFirewallRules N/A\r\n";
}

}  // namespace

TEST(HostCommands, PreparationRunsEveryLineInOrderWithItsTimeOut) {
  RecordingRunner runner;
  runner.capturedOutput = "Domain Profile Settings:\r\nState                                 ON\r\n"
                          "Firewall Policy                       BlockInbound,AllowOutbound\r\n";
  hostnet::PrepareHostNetwork("teredo.test.invalid");
  EXPECT_EQ(runner.lines, expectedPreparation("teredo.test.invalid", false));
  ASSERT_EQ(runner.captured.size(), 1u);
  EXPECT_EQ(runner.captured[0], std::make_pair(std::string(hostnet::kFirewallProfileQuery), 3000u));
  // The default Teredo server is a public name of its own setting.
  runner.lines.clear();
  hostnet::PrepareHostNetwork();
  EXPECT_EQ(runner.lines, expectedPreparation(hostnet::kDefaultTeredoServer, false));
}

TEST(HostCommands, FirewallRepairOnlyForAChineseProfileThatIsOff) {
  struct Row {
    const char* what;
    std::string output;
    bool captureRuns;
    bool repair;
  } rows[] = {
      {"as wanted", chineseProfile("BlockInbound,AllowOutbound", kOn), true, false},
      {"policy differs", chineseProfile("AllowInbound,AllowOutbound", kOn), true, true},
      {"policy differs in case only", chineseProfile("blockinbound,allowoutbound", kOn), true, true},
      {"state off", chineseProfile("BlockInbound,AllowOutbound", kOff), true, true},
      {"both differ: one repair", chineseProfile("AllowInbound,AllowOutbound", kOff), true, true},
      {"English output", "State ON\r\nFirewall Policy AllowInbound,AllowOutbound\r\n", true, false},
      {"three pieces on the line", kState + " " + kOff + " x\r\n", true, false},
      {"lines end in LF only: one long line", kState + " " + kOff + "\n" + kPolicy + " y\n", true,
       false},
      {"empty output", "", true, false},
      {"query could not run", chineseProfile("AllowInbound,AllowOutbound", kOff), false, false},
  };
  for (const Row& r : rows) {
    RecordingRunner runner;
    runner.capturedOutput = r.output;
    runner.captureSucceeds = r.captureRuns;
    hostnet::PrepareHostNetwork("t.invalid");
    EXPECT_EQ(runner.lines, expectedPreparation("t.invalid", r.repair)) << r.what;
  }
}

TEST(HostCommands, PrefixPolicyFromVistaOn) {
  RecordingRunner runner;
  hostnet::ApplyIpv6PrefixPolicy(5);
  EXPECT_TRUE(runner.lines.empty());
  hostnet::ApplyIpv6PrefixPolicy(6);
  Lines expected = {{"netsh interface ipv6 set prefixpolicy::ffff :0 : 0 / 96 50 0", 0},
                    {"netsh interface ipv6 set prefixpolicy ::1 / 128 40 1", 0},
                    {"netsh interface ipv6 set prefixpolicy :: / 0 30 2", 0},
                    {"netsh interface ipv6 set prefixpolicy 2002:: / 16 20 3", 0},
                    {"netsh interface ipv6 set prefixpolicy :: / 96 10 4", 0}};
  EXPECT_EQ(runner.lines, expected);
}

TEST(HostCommands, OverlongLineIsRefusedNotCut) {
  RecordingRunner runner;
  EXPECT_TRUE(hostnet::RunCommand(std::string(259, 'a'), 0));
  EXPECT_FALSE(hostnet::RunCommand(std::string(260, 'a'), 0));
  EXPECT_FALSE(hostnet::RunCommand("", 0));
  ASSERT_EQ(runner.lines.size(), 1u);
  EXPECT_EQ(runner.lines[0].first.size(), 259u);
}

TEST(HostCommands, DnsCacheFlushGoesThroughTheRunner) {
  RecordingRunner runner;
  runner.flushResult = true;
  EXPECT_TRUE(hostnet::FlushSystemDnsCache());
  EXPECT_EQ(runner.flushes, 1);
}

// The system runner itself, with harmless programs only.
#ifdef _WIN32
constexpr const char* kEcho = "cmd.exe /c echo lumo-echo";
constexpr const char* kQuick = "cmd.exe /c exit 0";
#else
constexpr const char* kEcho = "echo lumo-echo";
constexpr const char* kQuick = "true";
#endif

TEST(SystemCommands, RunsCapturesAndRefuses) {
  std::string out = "stale";
  ASSERT_TRUE(platform::runCommandLineCaptured(kEcho, 10000, out));
  EXPECT_NE(out.find("lumo-echo"), std::string::npos) << out;
  EXPECT_TRUE(platform::runCommandLine(kQuick, 10000));
  EXPECT_TRUE(platform::runCommandLine(kQuick, 0));
  EXPECT_FALSE(platform::runCommandLine("lumo-no-such-program-xyz", 1000));
  EXPECT_FALSE(platform::runCommandLineCaptured("lumo-no-such-program-xyz", 1000, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(platform::runCommandLine(std::string(kQuick) + std::string(260, ' ') + "x", 0));
}

TEST(HostCommands, TheSeamAlsoCarriesDnsServersAndRoutes) {
  RecordingRunner runner;
  hostnet::HostNetwork host;  // default settings: everything through the seam
  host.CollectDnsServers();   // no system server listed: the fallback, unprobed
  EXPECT_EQ(host.upstreamServers().servers(), std::vector<uint32_t>{platform::ipv4(8, 8, 8, 8)});
  host.AddHostRoute(platform::ipv4(203, 0, 113, 8));
  ASSERT_EQ(runner.routes.size(), 1u);
  EXPECT_EQ(runner.routes[0].destination, platform::ipv4(203, 0, 113, 8));
  host.ApplyIpv6PrefixPolicy();
  host.PrepareHostNetwork();
  EXPECT_FALSE(runner.lines.empty());
}
