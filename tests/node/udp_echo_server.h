// An in-test UDP echo server on 127.0.0.1: sends every datagram back to where
// it came from and remembers the source ports it saw. Built on the engine's
// socket layer.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace lumotest {

class UdpEchoServer {
 public:
  // Binds 127.0.0.1 on a port the system picks and starts echoing.
  UdpEchoServer();
  ~UdpEchoServer();
  UdpEchoServer(const UdpEchoServer&) = delete;
  UdpEchoServer& operator=(const UdpEchoServer&) = delete;

  bool ready() const { return socket_ != platform::kInvalidSocket; }
  uint16_t port() const { return port_; }  // host order
  // The source port (host order) of every datagram echoed so far, in order.
  std::vector<uint16_t> sourcePorts() const;

 private:
  void run();

  platform::Socket socket_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex lock_;
  std::vector<uint16_t> sourcePorts_;
  std::thread thread_;
};

}  // namespace lumotest
