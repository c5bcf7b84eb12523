#include "hostnet/command_runner.h"

#include <atomic>

#include "platform/command.h"
#include "platform/dnscache.h"

namespace hostnet {
namespace {

std::atomic<CommandRunner*> installed{nullptr};

}  // namespace

bool SystemCommandRunner::run(const std::string& line, uint32_t timeoutMs) {
  return platform::runCommandLine(line, timeoutMs);
}

bool SystemCommandRunner::runCaptured(const std::string& line, uint32_t timeoutMs,
                                      std::string& output) {
  return platform::runCommandLineCaptured(line, timeoutMs, output);
}

bool SystemCommandRunner::flushDnsCache() { return platform::flushSystemDnsCache(); }

bool SystemCommandRunner::systemDnsServers(std::vector<uint32_t>& out) {
  return platform::systemDnsServers(out);
}

bool SystemCommandRunner::createHostRoute(const platform::HostRoute& route) {
  return platform::createHostRoute(route);
}

CommandRunner& commandRunner() {
  static SystemCommandRunner system;
  CommandRunner* r = installed.load(std::memory_order_acquire);
  return r != nullptr ? *r : system;
}

CommandRunner* setCommandRunner(CommandRunner* runner) {
  return installed.exchange(runner, std::memory_order_acq_rel);
}

}  // namespace hostnet
