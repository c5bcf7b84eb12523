// Host settings changed through system command lines: the IPv6 prefix
// policy set at initialisation, the DNS cache flush at every start, and the
// host preparation some games need (IPv6 transition services, firewall
// profile, a few Windows services). Every line goes through
// commandRunner() (hostnet/command_runner.h). None of these results changes
// what the engine does next; they run on the thread that called Init or
// Start.
#pragma once

#include <cstdint>
#include <string>

namespace hostnet {

// Public Teredo server put on the enterprise-client line of the host
// preparation unless the caller names another.
inline constexpr const char* kDefaultTeredoServer = "teredo.remlab.net";

// The line whose output tells the current firewall profile.
inline constexpr const char* kFirewallProfileQuery = "netsh advfirewall show currentprofile";
inline constexpr uint32_t kFirewallProfileQueryTimeoutMs = 3000;

// Runs one command line hidden; with timeoutMs above 0 waits up to that
// long. True when the process was created. A line longer than 259
// characters (after conversion to UTF-16) is refused with false and never
// cut or run.
bool RunCommand(const std::string& line, uint32_t timeoutMs);

// Runs the firewall profile query with its output captured (raw bytes in
// the console code page) into `output`, cleared first. True when it ran.
bool RunCommandCaptured(std::string& output);

// Empties the system DNS cache; false when that is not available (always on
// Linux).
bool FlushSystemDnsCache();

// On a system of major version 6 or more, runs the five prefix-policy lines
// without waiting; earlier systems are left alone. `osMajor` defaults to the
// running system's (platform::osVersion()).
void ApplyIpv6PrefixPolicy();
void ApplyIpv6PrefixPolicy(uint32_t osMajor);

// True when the captured firewall profile output (code page 936, lines
// ending in "\r\n") shows a Chinese-language profile whose policy is not
// "BlockInbound,AllowOutbound" or whose state is not on. Output in any other
// language never asks for a repair.
bool FirewallProfileNeedsRepair(const std::string& output);

// The host preparation: registry values, IPv6 transition services, firewall
// profile repair, service restarts, each line with its own time-out, strictly
// in order. Blocks until the last line ends or times out (up to about 221
// seconds).
void PrepareHostNetwork(const std::string& teredoServer = kDefaultTeredoServer);

}  // namespace hostnet
