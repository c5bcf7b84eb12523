#include "udp_echo_server.h"

namespace lumotest {

namespace {
// How often the server looks at its stop flag while no datagram comes.
constexpr uint32_t kStopCheckMs = 50;
}  // namespace

UdpEchoServer::UdpEchoServer() {
  socket_ = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
  if (socket_ == platform::kInvalidSocket) return;
  platform::SocketAddress bound;
  if (!platform::bindSocket(socket_, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0)) ||
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
  if (thread_.joinable()) thread_.join();
  platform::closeSocket(socket_);
}

std::vector<uint16_t> UdpEchoServer::sourcePorts() const {
  std::lock_guard<std::mutex> guard(lock_);
  return sourcePorts_;
}

void UdpEchoServer::run() {
  std::vector<uint8_t> buffer(65536);
  while (!stopping_) {
    if (platform::waitReadable(socket_, kStopCheckMs) != 1) continue;
    platform::SocketAddress from;
    int count = platform::receiveFrom(socket_, buffer.data(), buffer.size(), &from);
    if (count < 0) continue;
    {
      std::lock_guard<std::mutex> guard(lock_);
      sourcePorts_.push_back(platform::netToHost16(from.port()));
    }
    platform::sendTo(socket_, buffer.data(), static_cast<size_t>(count), from);
  }
}

}  // namespace lumotest
