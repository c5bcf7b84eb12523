// The taps replace accept, accept4 and connect for the whole program: a definition in
// the executable wins over the C library's, for the engine's code linked into
// it as well. Each replacement makes the system call itself, so the socket
// behaves exactly as without the taps, and notes the moment by the peer's
// port: one clock read and one store on the calling thread.
#include "tcp_path_taps.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace taps {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<Clock::rep> acceptTicks[65536];
std::atomic<Clock::rep> connectTicks[65536];

uint16_t ipv4Port(const sockaddr* address, socklen_t length) {
  if (address == nullptr || length < sizeof(sockaddr_in) || address->sa_family != AF_INET) return 0;
  sockaddr_in v4;
  std::memcpy(&v4, address, sizeof v4);
  return ntohs(v4.sin_port);
}

int noteAccept(int fd, sockaddr* address, socklen_t* length) {
  if (fd < 0) return fd;
  const Clock::rep now = Clock::now().time_since_epoch().count();
  sockaddr_storage peer{};
  socklen_t peerLength = sizeof peer;
  // The caller's own address when it asked for one, else the socket's peer.
  if (address != nullptr && length != nullptr) {
    std::memcpy(&peer, address, std::min<size_t>(*length, sizeof peer));
    peerLength = *length;
  } else if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
    return fd;
  }
  if (const uint16_t port = ipv4Port(reinterpret_cast<const sockaddr*>(&peer), peerLength))
    acceptTicks[port].store(now, std::memory_order_relaxed);
  return fd;
}

}  // namespace

std::chrono::steady_clock::time_point acceptedAt(uint16_t port) {
  return Clock::time_point(Clock::duration(acceptTicks[port].load(std::memory_order_relaxed)));
}

std::chrono::steady_clock::time_point connectCalledAt(uint16_t port) {
  return Clock::time_point(Clock::duration(connectTicks[port].load(std::memory_order_relaxed)));
}

}  // namespace taps

extern "C" {

int accept(int fd, sockaddr* address, socklen_t* length) {
  return taps::noteAccept(static_cast<int>(syscall(SYS_accept4, fd, address, length, 0)), address, length);
}

int connect(int fd, const sockaddr* address, socklen_t length) {
  if (const uint16_t port = taps::ipv4Port(address, length))
    taps::connectTicks[port].store(taps::Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  return static_cast<int>(syscall(SYS_connect, fd, address, length));
}

int accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
  return taps::noteAccept(static_cast<int>(syscall(SYS_accept4, fd, address, length, flags)), address,
                          length);
}

}  // extern "C"
