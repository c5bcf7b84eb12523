// Linux notification: the client's "window" is a descriptor. A socket gets the
// 12 bytes with send(MSG_DONTWAIT); anything else (a pipe) is polled for room
// first, and 12 bytes are below PIPE_BUF, so the write is atomic and does not
// block once poll() has said the pipe is writable.
#include "platform/notify.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

bool postNotification(uintptr_t window, uint32_t message, uint32_t wParam, uint32_t lParam) {
  const int fd = static_cast<int>(window);
  if (fd <= 0) return false;
  unsigned char bytes[12];
  const uint32_t words[3] = {message, wParam, lParam};
  for (int w = 0; w < 3; ++w)
    for (int b = 0; b < 4; ++b) bytes[w * 4 + b] = static_cast<unsigned char>(words[w] >> (8 * b));

  ssize_t n = send(fd, bytes, sizeof bytes, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n < 0 && errno == ENOTSOCK) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) return false;
    n = write(fd, bytes, sizeof bytes);
  }
  return n == static_cast<ssize_t>(sizeof bytes);
}

}  // namespace platform
