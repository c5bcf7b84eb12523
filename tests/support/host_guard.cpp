// Linked into every test program: from the start of the program the
// engine's host seam changes nothing on the machine. No command line runs, no
// route is added, the DNS cache is left alone and the system lists no DNS
// server, so the upstream probe never sends a query off loopback. A test that
// wants to see what the engine asks for installs its own recording runner on
// top of this one.
#include "hostnet/command_runner.h"

namespace {

class HostGuard : public hostnet::CommandRunner {
 public:
  HostGuard() { hostnet::setCommandRunner(this); }
  bool run(const std::string&, uint32_t) override { return false; }
  bool runCaptured(const std::string&, uint32_t, std::string& output) override {
    output.clear();
    return false;
  }
  bool flushDnsCache() override { return false; }
  bool systemDnsServers(std::vector<uint32_t>&) override { return true; }
  bool createHostRoute(const platform::HostRoute&) override { return false; }
};

HostGuard guard;

}  // namespace
