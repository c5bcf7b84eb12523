#include "udp_echo_server.h"

#include <utility>

namespace lumotest {

UdpEchoServer::UdpEchoServer(uint16_t port, Reply reply) : reply_(std::move(reply)) {
  socket_ = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
  if (socket_ == platform::kInvalidSocket) return;
  platform::SocketAddress bound;
  if (!platform::bindSocket(
          socket_, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), platform::hostToNet16(port))) ||
      !platform::localAddressOf(socket_, bound)) {
    platform::closeSocket(socket_);
    socket_ = platform::kInvalidSocket;
    return;
  }
  port_ = platform::netToHost16(bound.port());
  thread_ = std::thread([this] { run(); });
}

UdpEchoServer::~UdpEchoServer() {
  stopping_ = true;
  if (thread_.joinable()) {
    // The thread waits in its receive: an empty datagram to its own port
    // wakes it to see the stop.
    const uint8_t none = 0;
    platform::sendTo(socket_, &none, 0,
                     platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), platform::hostToNet16(port_)));
    thread_.join();
  }
  platform::closeSocket(socket_);
}

std::vector<uint16_t> UdpEchoServer::sourcePorts() const {
  std::lock_guard<std::mutex> guard(lock_);
  return sourcePorts_;
}

std::vector<std::string> UdpEchoServer::received() const {
  std::lock_guard<std::mutex> guard(lock_);
  return received_;
}

void UdpEchoServer::run() {
  std::vector<uint8_t> buffer(65536);
  for (;;) {
    platform::SocketAddress from;
    const int count = platform::receiveFrom(socket_, buffer.data(), buffer.size(), &from);
    if (stopping_) return;
    if (count < 0) continue;
    std::string datagram(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(count));
    {
      std::lock_guard<std::mutex> guard(lock_);
      sourcePorts_.push_back(platform::netToHost16(from.port()));
      received_.push_back(datagram);
    }
    if (reply_) datagram = reply_(datagram);
    platform::sendTo(socket_, datagram.data(), datagram.size(), from);
  }
}

}  // namespace lumotest
