// A UDP socket bound to 127.0.0.1 on a port the system picks, for the
// completion-port tests.
#pragma once

#include <gtest/gtest.h>

#include <utility>

#include "platform/net.h"

namespace lumotest {

struct LoopbackUdpSocket {
  platform::Socket socket = platform::kInvalidSocket;
  platform::SocketAddress address;
  LoopbackUdpSocket() {
    socket = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
    EXPECT_NE(socket, platform::kInvalidSocket);
    EXPECT_TRUE(platform::bindSocket(socket, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0)));
    EXPECT_TRUE(platform::localAddressOf(socket, address));
  }
  ~LoopbackUdpSocket() { platform::closeSocket(socket); }
  LoopbackUdpSocket(const LoopbackUdpSocket&) = delete;
  LoopbackUdpSocket& operator=(const LoopbackUdpSocket&) = delete;
  // Handed to the port, which closes it.
  platform::Socket release() { return std::exchange(socket, platform::kInvalidSocket); }
};

}  // namespace lumotest
