// Linux only. Whole packets on a SOCK_SEQPACKET socket, with file descriptors
// passed along (SCM_RIGHTS): what the driver library's device and lumo-driver
// exchange (device_wire.h). Header-only, shared by both ends.
#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/posix/unique_fd.h"

namespace platform {

// Most descriptors one packet may bring; more cut the packet short.
inline constexpr int kMaxPacketFds = 2;

// Receives one packet into `buffer` (its size is the most taken; a longer
// packet is cut and *truncated set, as when it brings more than
// kMaxPacketFds descriptors). `n` gets the packet's length, `fds` the
// descriptors it brought (close-on-exec, owned by the caller). False when the
// connection ended (the peer closed it or shut it down) or failed.
inline bool receivePacket(int fd, std::vector<uint8_t>& buffer, size_t& n, std::vector<UniqueFd>& fds,
                          bool& truncated) {
  fds.clear();
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPacketFds)];
  iovec iov{buffer.data(), buffer.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t got;
  do {
    got = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return false;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int received;
      std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      fds.emplace_back(received);
    }
  }
  if (got == 0) {
    fds.clear();
    return false;
  }
  n = static_cast<size_t>(got);
  truncated = (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
  return true;
}

// Sends `n` bytes as one packet, with `fdCount` descriptors (at most
// kMaxPacketFds) when given. Never raises SIGPIPE. True when the whole packet
// went.
inline bool sendPacket(int fd, const void* data, size_t n, const int* fds = nullptr, int fdCount = 0) {
  if (fdCount < 0 || fdCount > kMaxPacketFds) return false;
  iovec iov{const_cast<void*>(data), n};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPacketFds)] = {};
  if (fdCount > 0) {
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fdCount);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fdCount);
    std::memcpy(CMSG_DATA(c), fds, sizeof(int) * fdCount);
  }
  ssize_t sent;
  do {
    sent = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(n);
}

}  // namespace platform
