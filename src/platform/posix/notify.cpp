// Linux notification: the client's "window" is a descriptor. A socket gets the
// 12 bytes with send(MSG_DONTWAIT); anything else (a pipe) is polled for room
// first, and 12 bytes are below PIPE_BUF, so the write is atomic and does not
// block once poll() has said the pipe is writable. Neither can raise SIGPIPE
// in the client when the reading end has gone.
#include "platform/notify.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace platform {
namespace {

// A write to a pipe whose reader has gone raises SIGPIPE, whose default action
// ends the client's process. Sockets have MSG_NOSIGNAL; a pipe has no such
// flag, so the signal is blocked in this thread for the write, and one that the
// write raised (and that was not already waiting) is taken off again before the
// old mask comes back. The write then fails with EPIPE like any other.
ssize_t writeWithoutSigpipe(int fd, const void* bytes, size_t size) {
  sigset_t pipeOnly, old;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &old);
  sigset_t pending;
  sigpending(&pending);
  const bool waitingBefore = sigismember(&pending, SIGPIPE) == 1;

  ssize_t n = write(fd, bytes, size);
  const int error = errno;
  if (n < 0 && error == EPIPE && !waitingBefore) {
    const timespec noWait{0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = error;
  return n;
}

}  // namespace

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
    n = writeWithoutSigpipe(fd, bytes, sizeof bytes);
  }
  return n == static_cast<ssize_t>(sizeof bytes);
}

}  // namespace platform
