// The one place through which the engine changes the host or asks it for
// the DNS servers it will probe: command lines, the DNS cache flush, the
// system's DNS server list and host routes. The engine always goes through
// commandRunner(); tests install a recording runner with setCommandRunner so
// that no netsh, net or reg line runs, no route is added and no real DNS
// server is probed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/netinfo.h"

namespace hostnet {

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs one command line hidden; waits up to timeoutMs when it is above 0.
  // True when the process was created.
  virtual bool run(const std::string& line, uint32_t timeoutMs) = 0;
  // Runs one command line with its output captured into `output` (cleared
  // first), waiting up to timeoutMs. True when the process ran.
  virtual bool runCaptured(const std::string& line, uint32_t timeoutMs, std::string& output) = 0;
  // Empties the system DNS resolver cache; false when that is not available.
  virtual bool flushDnsCache() = 0;
  // Appends the system's DNS servers (IPv4, network order); false when they
  // cannot be read.
  virtual bool systemDnsServers(std::vector<uint32_t>& out) = 0;
  // Adds a route to the system's routing table; true when it was taken.
  virtual bool createHostRoute(const platform::HostRoute& route) = 0;
};

// The real host (platform/command.h, platform/dnscache.h, platform/netinfo.h).
class SystemCommandRunner : public CommandRunner {
 public:
  bool run(const std::string& line, uint32_t timeoutMs) override;
  bool runCaptured(const std::string& line, uint32_t timeoutMs, std::string& output) override;
  bool flushDnsCache() override;
  bool systemDnsServers(std::vector<uint32_t>& out) override;
  bool createHostRoute(const platform::HostRoute& route) override;
};

// The runner in force: the one installed with setCommandRunner, else a
// process-wide SystemCommandRunner. Any thread.
CommandRunner& commandRunner();

// Installs `runner` (not owned; it must outlive its use) or, with null,
// returns to the system runner. Returns the runner that was installed
// before (null for the system one). Call while no command is running.
CommandRunner* setCommandRunner(CommandRunner* runner);

}  // namespace hostnet
