// Host command lines, recorded instead of run: the firewall-profile check on
// Chinese-language netsh output decides the one repair line, the Teredo
// server given reaches its lines, and no line is cut to fit.
#include "hostnet/network_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "hostnet/command_runner.h"
#include "hostnet/host_network.h"
#include "platform/net.h"

namespace {

// A host seam that records what the engine asks for and changes nothing (no
// command runs, no route is added, no DNS server is listed, so none is probed).
// Installs itself as the engine's runner for its lifetime.
class RecordingRunner : public hostnet::CommandRunner {
 public:
  RecordingRunner() { previous_ = hostnet::setCommandRunner(this); }
  ~RecordingRunner() override { hostnet::setCommandRunner(previous_); }

  bool run(const std::string& line, uint32_t timeoutMs) override {
    lines.emplace_back(line, timeoutMs);
    return true;
  }
  bool runCaptured(const std::string& line, uint32_t timeoutMs, std::string& output) override {
    captured.emplace_back(line, timeoutMs);
    output = captureSucceeds ? capturedOutput : std::string();
    return captureSucceeds;
  }
  bool flushDnsCache() override {
    ++flushes;
    return flushResult;
  }
  bool systemDnsServers(std::vector<uint32_t>&) override { return true; }
  bool createHostRoute(const platform::HostRoute& route) override {
    routes.push_back(route);
    return true;
  }

  std::vector<std::pair<std::string, uint32_t>> lines;
  std::vector<std::pair<std::string, uint32_t>> captured;
  std::string capturedOutput;
  bool captureSucceeds = true;
  bool flushResult = false;
  int flushes = 0;
  std::vector<platform::HostRoute> routes;

 private:
  hostnet::CommandRunner* previous_ = nullptr;
};

// Code-page-936 bytes of the Chinese netsh labels.
const std::string kPolicy = "\xB7\xC0\xBB\xF0\xC7\xBD\xB2\xDF\xC2\xD4";
const std::string kState = "\xD7\xB4\xCC\xAC";
const std::string kOn = "\xC6\xF4\xD3\xC3";
const std::string kOff = "\xBD\xFB\xD3\xC3";

std::string chineseProfile(const std::string& policy, const std::string& state) {
  return "\r\n" + kState + "                                  " + state + "\r\n" + kPolicy +
         "                            " + policy + "\r\nLocalFirewallRules N/A\r\n";
}

size_t linesContaining(const RecordingRunner& runner, const std::string& needle) {
  return static_cast<size_t>(std::count_if(runner.lines.begin(), runner.lines.end(), [&](const auto& line) {
    return line.first.find(needle) != std::string::npos;
  }));
}

}  // namespace

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
      {"lines end in LF only: one long line", kState + " " + kOff + "\n" + kPolicy + " y\n", true, false},
      {"empty output", "", true, false},
      {"query could not run", chineseProfile("AllowInbound,AllowOutbound", kOff), false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    RecordingRunner runner;
    runner.capturedOutput = r.output;
    runner.captureSucceeds = r.captureRuns;
    hostnet::PrepareHostNetwork("t.invalid");
    ASSERT_EQ(runner.captured.size(), 1u);
    EXPECT_EQ(runner.captured[0], std::make_pair(std::string(hostnet::kFirewallProfileQuery), 3000u));
    EXPECT_EQ(linesContaining(runner, "set currentprofile firewallpolicy"), r.repair ? 1u : 0u);
    // The Teredo server given goes into both transition blocks.
    EXPECT_EQ(linesContaining(runner, "enterpriseclient t.invalid "), 2u);
  }
}

TEST(HostCommands, TheSeamCarriesCommandsDnsFlushServersAndRoutes) {
  RecordingRunner runner;
  // An overlong line is refused, not cut.
  EXPECT_TRUE(hostnet::RunCommand(std::string(259, 'a'), 0));
  EXPECT_FALSE(hostnet::RunCommand(std::string(260, 'a'), 0));
  EXPECT_FALSE(hostnet::RunCommand("", 0));
  ASSERT_EQ(runner.lines.size(), 1u);
  EXPECT_EQ(runner.lines[0].first.size(), 259u);
  runner.flushResult = true;
  EXPECT_TRUE(hostnet::FlushSystemDnsCache());
  EXPECT_EQ(runner.flushes, 1);
  hostnet::HostNetwork host;  // default settings: everything through the seam
  host.CollectDnsServers();   // no system server listed: the fallback, unprobed
  EXPECT_EQ(host.upstreamServers().servers(), std::vector<uint32_t>{platform::ipv4(8, 8, 8, 8)});
  host.AddHostRoute(platform::ipv4(203, 0, 113, 8));
  ASSERT_EQ(runner.routes.size(), 1u);
  EXPECT_EQ(runner.routes[0].destination, platform::ipv4(203, 0, 113, 8));
  host.ApplyIpv6PrefixPolicy();
  host.PrepareHostNetwork();
  EXPECT_FALSE(runner.lines.empty());
  // The IPv6 prefix policy from version 6 (Vista) on only.
  runner.lines.clear();
  hostnet::ApplyIpv6PrefixPolicy(5);
  EXPECT_TRUE(runner.lines.empty());
  hostnet::ApplyIpv6PrefixPolicy(6);
  EXPECT_EQ(linesContaining(runner, "prefixpolicy"), 5u);
}
