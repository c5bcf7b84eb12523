// A socket owned by one object: closed when the owner goes, unless given up
// with release(). Movable, not copyable. For sockets whose life is one
// scope or one object; a socket that other threads may close (an atomic
// handle) stays a plain platform::Socket.
#pragma once

#include <utility>

#include "platform/net.h"

namespace platform {

class OwnedSocket {
 public:
  OwnedSocket() = default;
  explicit OwnedSocket(Socket socket) : socket_(socket) {}
  ~OwnedSocket() { closeSocket(socket_); }
  OwnedSocket(OwnedSocket&& other) noexcept : socket_(other.release()) {}
  OwnedSocket& operator=(OwnedSocket&& other) noexcept {
    reset(other.release());
    return *this;
  }
  OwnedSocket(const OwnedSocket&) = delete;
  OwnedSocket& operator=(const OwnedSocket&) = delete;

  Socket get() const { return socket_; }
  bool valid() const { return socket_ != kInvalidSocket; }
  // Gives the socket up without closing it.
  Socket release() { return std::exchange(socket_, kInvalidSocket); }
  // Closes the socket held (if any) and holds `socket` instead.
  void reset(Socket socket = kInvalidSocket) { closeSocket(std::exchange(socket_, socket)); }

 private:
  Socket socket_ = kInvalidSocket;
};

}  // namespace platform
