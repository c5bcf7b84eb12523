// The C library's own socket and descriptor calls, as the next definition
// after the capture library (dlsym(RTLD_NEXT)): what the capture library
// calls itself, and what its interposed calls fall back to. Resolved once, on
// first use, from any thread.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

namespace capture::preload {

struct RealCalls {
  int (*socket)(int, int, int);
  int (*socketpair)(int, int, int, int*);
  int (*connect)(int, const sockaddr*, socklen_t);
  int (*bind)(int, const sockaddr*, socklen_t);
  int (*getpeername)(int, sockaddr*, socklen_t*);
  int (*getsockname)(int, sockaddr*, socklen_t*);
  int (*setsockopt)(int, int, int, const void*, socklen_t);
  int (*getsockopt)(int, int, int, void*, socklen_t*);
  ssize_t (*sendto)(int, const void*, size_t, int, const sockaddr*, socklen_t);
  ssize_t (*sendmsg)(int, const msghdr*, int);
  int (*sendmmsg)(int, mmsghdr*, unsigned int, int);
  ssize_t (*send)(int, const void*, size_t, int);
  ssize_t (*write)(int, const void*, size_t);
  ssize_t (*writev)(int, const iovec*, int);
  ssize_t (*recvfrom)(int, void*, size_t, int, sockaddr*, socklen_t*);
  ssize_t (*recvmsg)(int, msghdr*, int);
  int (*recvmmsg)(int, mmsghdr*, unsigned int, int, struct timespec*);
  ssize_t (*recv)(int, void*, size_t, int);
  ssize_t (*read)(int, void*, size_t);
  ssize_t (*readv)(int, const iovec*, int);
  int (*shutdown)(int, int);
  int (*close)(int);
  int (*dup)(int);
  int (*dup2)(int, int);
  int (*dup3)(int, int, int);
};

// The table; never null members (a call the C library lacks resolves to a
// stub that fails with ENOSYS).
const RealCalls& real();

}  // namespace capture::preload
