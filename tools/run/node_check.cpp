#include "node_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "descriptor.h"

namespace run {

bool nodeAnswers(uint32_t address, uint16_t port, std::chrono::milliseconds patience, std::string& reason) {
  reason.clear();
  const Descriptor socketFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int fd = socketFd.get();
  if (fd < 0) {
    reason = strerror(errno);
    return false;
  }
  sockaddr_in node{};
  node.sin_family = AF_INET;
  node.sin_addr.s_addr = address;
  node.sin_port = htons(port);
  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&node), sizeof node) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      // The connect goes on in the background; the socket turns writable when
      // it has ended either way, and SO_ERROR says which.
      const auto deadline = std::chrono::steady_clock::now() + patience;
      pollfd waiting{fd, POLLOUT, 0};
      int ready = 0;
      for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        ready = poll(&waiting, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready >= 0 || errno != EINTR) break;
      }
      if (ready > 0) {
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      } else {
        error = ETIMEDOUT;
        reason = "no answer within " + std::to_string(patience.count()) + " ms";
      }
    }
  }
  if (error != 0 && reason.empty()) reason = strerror(error);
  return error == 0;
}

}  // namespace run
