// An in-test UDP server on 127.0.0.1: sends every datagram (or what `reply`
// makes of it) back to where it came from and remembers what it saw. Built on
// the engine's socket layer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace lumotest {

class UdpEchoServer {
 public:
  using Reply = std::function<std::string(const std::string& datagram)>;
  // Binds 127.0.0.1:`port` (0: a port the system picks) and starts answering,
  // with the datagram itself unless `reply` is given.
  explicit UdpEchoServer(uint16_t port = 0, Reply reply = nullptr);
  ~UdpEchoServer();
  UdpEchoServer(const UdpEchoServer&) = delete;
  UdpEchoServer& operator=(const UdpEchoServer&) = delete;

  bool ready() const { return socket_ != platform::kInvalidSocket; }
  uint16_t port() const { return port_; }  // host order
  // The source port (host order) of every datagram echoed so far, in order.
  std::vector<uint16_t> sourcePorts() const;
  // Every datagram received so far, in order.
  std::vector<std::string> received() const;

 private:
  void run();

  platform::Socket socket_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  Reply reply_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex lock_;
  std::vector<uint16_t> sourcePorts_;
  std::vector<std::string> received_;
  std::thread thread_;
};

}  // namespace lumotest
