// lumo-node started by a test on 127.0.0.1 and ports the system picks.
// Linux only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/program.h"

namespace lumotest {

class NodeProcess {
 public:
  // Starts the node with `args` plus --listen 127.0.0.1 --port 0 and reads
  // the SOCKS5 port from its first output line. False with `error` set when
  // it does not come up.
  bool start(const std::vector<std::string>& args, std::string& error) {
    return start(args, false, false, error);
  }
  // The same with the UDP tunnel (--udp-port 0) or the DNS service
  // (--dns-port 0) as well, whose port is read from the next line.
  bool startWithTunnel(const std::vector<std::string>& args, std::string& error) {
    return start(args, true, false, error);
  }
  bool startWithDns(const std::vector<std::string>& args, std::string& error) {
    return start(args, false, true, error);
  }
  uint16_t port() const { return port_; }        // SOCKS5, host order
  uint16_t udpPort() const { return udpPort_; }  // the tunnel, host order; 0 without it
  uint16_t dnsPort() const { return dnsPort_; }  // the DNS service, host order; 0 without it
  // SIGTERM and wait: the exit status (0 for a clean shutdown), 128 + a
  // signal that ended it, -1 when it did not end by itself.
  int stop() { return child_.stop(); }
  bool running() const { return child_.running(); }
  // The node's log lines so far.
  std::string log() const { return child_.errors(); }

 private:
  bool start(const std::vector<std::string>& args, bool withTunnel, bool withDns, std::string& error);

  Program child_;
  uint16_t port_ = 0;
  uint16_t udpPort_ = 0;
  uint16_t dnsPort_ = 0;
};

// Path of the lumo-node program of this build.
std::string nodeProgram();

}  // namespace lumotest
