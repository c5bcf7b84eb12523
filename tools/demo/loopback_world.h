// The parts around the engine that the demo and the benchmarks play on
// loopback: a game server (TCP and UDP echo servers on 127.0.0.1) and the
// proxy node (lumo-node as a child process, mapping 203.0.113.0/24 to
// 127.0.0.1, with its UDP tunnel).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace demo {

inline constexpr const char* kUser = "player";
inline constexpr const char* kPassword = "1001";

// Echoes every byte on every connection, each on a thread of its own.
class EchoServer {
 public:
  EchoServer();
  ~EchoServer();
  uint16_t port() const { return port_; }  // host order; 0 when it could not listen

 private:
  platform::Socket listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Sends every datagram back to where it came from, on one thread that
// blocks in its receive; the destructor wakes it with a datagram of its own.
class UdpEchoServer {
 public:
  UdpEchoServer();
  ~UdpEchoServer();
  UdpEchoServer(const UdpEchoServer&) = delete;
  UdpEchoServer& operator=(const UdpEchoServer&) = delete;
  uint16_t port() const { return port_; }  // host order; 0 when it could not bind

 private:
  platform::Socket socket_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// lumo-node on 127.0.0.1 and ports the system picks (SOCKS5 and the UDP
// tunnel), with the demo's credentials and map; stopped with SIGTERM when
// the object goes.
class Node {
 public:
  // False when the program cannot be started or does not name its ports.
  // `extraArgs` follow the usual ones (more --map rules, the DNS service).
  bool start(const std::vector<std::string>& extraArgs = {});
  ~Node();
  uint16_t port() const { return port_; }        // SOCKS5, host order
  uint16_t udpPort() const { return udpPort_; }  // the UDP tunnel, host order
  pid_t pid() const { return pid_; }             // 0 before a successful spawn

 private:
  pid_t pid_ = 0;
  uint16_t port_ = 0;
  uint16_t udpPort_ = 0;
};

// The engine probes the system's DNS servers at start: points it at a
// resolver file of its own that names only loopback, so nothing it does
// reaches a real server.
void useLoopbackResolver();

}  // namespace demo
