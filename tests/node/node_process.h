// lumo-node started by a test on 127.0.0.1 and ports the system picks.
// Linux only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"

namespace lumotest {

class NodeProcess {
 public:
  // Starts the node with `args` plus --listen 127.0.0.1 --port 0 and reads
  // the SOCKS5 port from its first output line. False with `error` set when
  // it does not come up.
  bool start(const std::vector<std::string>& args, std::string& error);
  // The same with the UDP tunnel as well (--udp-port 0), whose port is read
  // from the second line. `args` may add --udp-idle and the like.
  bool startWithTunnel(const std::vector<std::string>& args, std::string& error);
  uint16_t port() const { return port_; }        // SOCKS5, host order
  uint16_t udpPort() const { return udpPort_; }  // the tunnel, host order; 0 without it
  // SIGTERM and wait: the exit status (0 for a clean shutdown), -1 when it
  // did not end by itself.
  int stop() { return child_.stop(); }
  bool running() const { return child_.running(); }
  // The node's log lines so far.
  std::string log() const { return child_.errorOutput(); }

 private:
  bool start(const std::vector<std::string>& args, bool withTunnel, std::string& error);

  ChildProcess child_;
  uint16_t port_ = 0;
  uint16_t udpPort_ = 0;
};

// Path of the lumo-node program of this build.
std::string nodeProgram();

}  // namespace lumotest
