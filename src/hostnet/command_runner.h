// The one place through which the engine runs system command lines and
// flushes the system DNS cache. The engine always goes through
// commandRunner(); tests install a recording runner with setCommandRunner so
// that no netsh, net or reg line ever runs for real.
#pragma once

#include <cstdint>
#include <string>

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
};

// Runs the lines on this system (platform/command.h, platform/dnscache.h).
class SystemCommandRunner : public CommandRunner {
 public:
  bool run(const std::string& line, uint32_t timeoutMs) override;
  bool runCaptured(const std::string& line, uint32_t timeoutMs, std::string& output) override;
  bool flushDnsCache() override;
};

// The runner in force: the one installed with setCommandRunner, else a
// process-wide SystemCommandRunner. Any thread.
CommandRunner& commandRunner();

// Installs `runner` (not owned; it must outlive its use) or, with null,
// returns to the system runner. Returns the runner that was installed
// before (null for the system one). Call while no command is running.
CommandRunner* setCommandRunner(CommandRunner* runner);

}  // namespace hostnet
