// lumo-node started by a test on 127.0.0.1 and ports the system picks.
// Linux only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/program.h"
#include "support/test_support.h"

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
  // The node's log lines so far, and whether they come to show `needle`
  // within 10 s (a connection is logged once it has ended).
  std::string log() const { return child_.errors(); }
  bool logShows(const std::string& needle) const {
    return waitFor([&] { return log().find(needle) != std::string::npos; });
  }

 private:
  bool start(const std::vector<std::string>& args, bool withTunnel, bool withDns, std::string& error);

  Program child_;
  uint16_t port_ = 0;
  uint16_t udpPort_ = 0;
  uint16_t dnsPort_ = 0;
};

// Path of the lumo-node program of this build.
std::string nodeProgram();

// The node tests' fixture: a node in front of an `Echo` server on loopback,
// which must shut down cleanly when the test has left it running.
template <class Echo>
class NodeFixture : public ::testing::Test {
 protected:
  // Starts the node with `args` (and its UDP tunnel with `tunnel`).
  void startNodeWith(const std::vector<std::string>& args, bool tunnel = false) {
    std::string error;
    ASSERT_TRUE(tunnel ? node_.startWithTunnel(args, error) : node_.start(args, error)) << error;
  }
  void TearDown() override {
    if (node_.running()) {
      EXPECT_EQ(node_.stop(), 0) << "lumo-node did not shut down cleanly\n" << node_.log();
    }
  }
  // A --map argument that sends `source` to the echo server.
  std::string echoMap(const char* source) const {
    return std::string(source) + "=127.0.0.1:" + std::to_string(echo_.port());
  }

  Echo echo_;
  NodeProcess node_;
};

}  // namespace lumotest
