// A host seam that records what the engine asks for and changes nothing:
// no command runs, no route is added, no system DNS server is listed (so
// none is probed).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "hostnet/command_runner.h"

namespace hostnet {

// Installs itself as the engine's runner for its lifetime.
class RecordingRunner : public CommandRunner {
 public:
  RecordingRunner() { previous_ = setCommandRunner(this); }
  ~RecordingRunner() override { setCommandRunner(previous_); }

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
  CommandRunner* previous_ = nullptr;
};

}  // namespace hostnet
