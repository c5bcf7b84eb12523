#include "loopback_socket.h"

namespace simdrv {

WakeSocket::WakeSocket()
    : socket_(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram)) {
  platform::SocketAddress at = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
  // Non-blocking, so drain() stops when nothing is left and a wake never
  // stalls its caller on a full buffer (a full buffer already means "awake").
  if (socket_.valid() && platform::bindSocket(socket_.get(), at) &&
      platform::localAddressOf(socket_.get(), at) && platform::setNonBlocking(socket_.get(), true))
    address_ = at;
}

void WakeSocket::wake() {
  if (!valid()) return;
  const char byte = 1;
  platform::sendTo(socket_.get(), &byte, 1, address_);
}

void WakeSocket::drain() {
  char buffer[64];
  while (valid() && platform::receiveFrom(socket_.get(), buffer, sizeof buffer, nullptr) >= 0) {
  }
}

}  // namespace simdrv
