// The tap replaces accept and accept4 for the whole program: a definition in
// the executable wins over the C library's, for the engine's code linked into
// it as well. Each replacement makes the system call itself, so the socket
// behaves exactly as without the tap, and then notes the moment by the peer's
// port: one clock read and one store on the accepting thread.
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
  if (peer.ss_family == AF_INET && peerLength >= sizeof(sockaddr_in)) {
    sockaddr_in v4;
    std::memcpy(&v4, &peer, sizeof v4);
    acceptTicks[ntohs(v4.sin_port)].store(now, std::memory_order_relaxed);
  }
  return fd;
}

}  // namespace

std::chrono::steady_clock::time_point acceptedAt(uint16_t port) {
  return Clock::time_point(Clock::duration(acceptTicks[port].load(std::memory_order_relaxed)));
}

}  // namespace taps

extern "C" {

int accept(int fd, sockaddr* address, socklen_t* length) {
  return taps::noteAccept(static_cast<int>(syscall(SYS_accept4, fd, address, length, 0)), address, length);
}

int accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
  return taps::noteAccept(static_cast<int>(syscall(SYS_accept4, fd, address, length, flags)), address,
                          length);
}

}  // extern "C"
