// Sockets the live modes of the simulated driver own: one that closes itself,
// and a wake socket that lets one thread end another's wait on sockets at
// once, so the simulator's threads sleep only in waits that an event ends.
#pragma once

#include <utility>

#include "platform/net.h"

namespace simdrv {

// A socket closed when the object goes. Movable, not copyable.
class OwnedSocket {
 public:
  OwnedSocket() = default;
  explicit OwnedSocket(platform::Socket socket) : socket_(socket) {}
  ~OwnedSocket() { platform::closeSocket(socket_); }
  OwnedSocket(OwnedSocket&& other) noexcept : socket_(other.release()) {}
  OwnedSocket& operator=(OwnedSocket&& other) noexcept {
    reset(other.release());
    return *this;
  }
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;

  platform::Socket get() const { return socket_; }
  bool valid() const { return socket_ != platform::kInvalidSocket; }
  // Gives the socket up without closing it.
  platform::Socket release() { return std::exchange(socket_, platform::kInvalidSocket); }
  void reset(platform::Socket socket = platform::kInvalidSocket) {
    platform::closeSocket(std::exchange(socket_, socket));
  }

 private:
  platform::Socket socket_ = platform::kInvalidSocket;
};

// A datagram socket on 127.0.0.1 that sends to itself: a thread waiting in
// platform::waitSockets includes socket() and returns as soon as another
// thread calls wake(). Works the same with poll() and with Winsock's select().
class WakeSocket {
 public:
  WakeSocket();
  // False when no loopback socket could be made (the waits then never wake).
  bool valid() const { return address_.family() != 0; }
  platform::Socket socket() const { return socket_.get(); }
  // Any thread; wakes coalesce.
  void wake();
  // The waiting thread, once woken: reads every pending wake without blocking.
  void drain();

 private:
  OwnedSocket socket_;
  platform::SocketAddress address_;
};

}  // namespace simdrv
