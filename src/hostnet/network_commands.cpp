#include "hostnet/network_commands.h"

#include <string_view>
#include <vector>

#include "hostnet/command_runner.h"
#include "platform/command.h"
#include "platform/sysinfo.h"
#include "platform/text.h"

namespace hostnet {
namespace {

// Labels of the Chinese-language netsh output, in code page 936.
constexpr std::string_view kPolicyLabel = "\xB7\xC0\xBB\xF0\xC7\xBD\xB2\xDF\xC2\xD4";  // firewall policy
constexpr std::string_view kStateLabel = "\xD7\xB4\xCC\xAC";                           // state
constexpr std::string_view kStateOn = "\xC6\xF4\xD3\xC3";                              // on
constexpr std::string_view kWantedPolicy = "BlockInbound,AllowOutbound";

constexpr const char* kFirewallRepair =
    "netsh advfirewall set currentprofile firewallpolicy blockinbound,allowoutbound";

// Splits on every occurrence of `separator`; with `dropEmpty` empty pieces
// are left out.
std::vector<std::string_view> split(std::string_view text, std::string_view separator,
                                    bool dropEmpty) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    std::string_view piece = text.substr(start, at == std::string_view::npos ? text.npos : at - start);
    if (!dropEmpty || !piece.empty()) pieces.push_back(piece);
    if (at == std::string_view::npos) break;
    start = at + separator.size();
  }
  return pieces;
}

void runTransitionBlock(const std::string& teredoServer) {
  RunCommand("netsh interface teredo set state disable", 5000);
  RunCommand("netsh interface teredo set state default", 5000);
  RunCommand("netsh interface 6to4 set state default", 5000);
  RunCommand("netsh interface isatap set state default", 5000);
  RunCommand("netsh interface teredo set state enterpriseclient " + teredoServer + " 30 0", 5000);
}

}  // namespace

bool RunCommand(const std::string& line, uint32_t timeoutMs) {
  // The system's command buffer holds 259 characters and a terminator; a
  // longer line would be cut into a different command, so it is refused.
  if (line.empty() || platform::ansiToUtf16(line).size() > platform::kMaxCommandLine) return false;
  return commandRunner().run(line, timeoutMs);
}

bool RunCommandCaptured(std::string& output) {
  output.clear();
  return commandRunner().runCaptured(kFirewallProfileQuery, kFirewallProfileQueryTimeoutMs, output);
}

bool FlushSystemDnsCache() { return commandRunner().flushDnsCache(); }

void ApplyIpv6PrefixPolicy() { ApplyIpv6PrefixPolicy(platform::osVersion().major); }

void ApplyIpv6PrefixPolicy(uint32_t osMajor) {
  if (osMajor < 6) return;
  // The lines go out exactly as netsh has always been given them, odd
  // spacing of the first one included.
  RunCommand("netsh interface ipv6 set prefixpolicy::ffff :0 : 0 / 96 50 0", 0);
  RunCommand("netsh interface ipv6 set prefixpolicy ::1 / 128 40 1", 0);
  RunCommand("netsh interface ipv6 set prefixpolicy :: / 0 30 2", 0);
  RunCommand("netsh interface ipv6 set prefixpolicy 2002:: / 16 20 3", 0);
  RunCommand("netsh interface ipv6 set prefixpolicy :: / 96 10 4", 0);
}

bool FirewallProfileNeedsRepair(const std::string& output) {
  bool repair = false;
  for (std::string_view line : split(output, "\r\n", false)) {
    std::vector<std::string_view> pieces = split(line, " ", true);
    if (pieces.size() != 2) continue;
    if (pieces[0] == kPolicyLabel && pieces[1] != kWantedPolicy) repair = true;
    if (pieces[0] == kStateLabel && pieces[1] != kStateOn) repair = true;
  }
  return repair;
}

void PrepareHostNetwork(const std::string& teredoServer) {
  RunCommand(
      "Reg add  HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services\\Dnscache\\Parameters "
      "/v AddrConfigControl /t REG_DWORD /d 0 /f",
      1000);
  RunCommand(
      "Reg add  HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services\\TCPIP6\\Parameters "
      "/v DisabledComponents /t REG_DWORD /d 0 /f",
      1000);
  RunCommand(
      "Reg add  HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\services\\TCPIP6\\Parameters "
      "/v EnableICSIPv6 /t REG_DWORD /d 1 /f",
      1000);
  RunCommand("net start iphlpsvc", 5000);

  // A query that could not run leaves the output empty: no repair.
  std::string profile;
  if (!RunCommandCaptured(profile)) profile.clear();
  if (!profile.empty() && FirewallProfileNeedsRepair(profile)) RunCommand(kFirewallRepair, 60000);

  RunCommand("netsh advfirewall firewall set rule name=\"4jxr4b3r3du76ina39a98x8k2\" new enable=no",
             30000);
  runTransitionBlock(teredoServer);
  RunCommand("net stop jhi_service /y", 10000);
  RunCommand("net stop iphlpsvc /y", 10000);
  RunCommand("net start iphlpsvc", 10000);
  RunCommand("net start jhi_service", 10000);
  RunCommand("net start XboxNetApiSvc", 10000);
  RunCommand("net start XblAuthManager", 10000);
  RunCommand("net start IKEEXT", 10000);
  runTransitionBlock(teredoServer);
}

}  // namespace hostnet
