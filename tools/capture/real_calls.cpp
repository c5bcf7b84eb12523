#include "real_calls.h"

#include <dlfcn.h>
#include <errno.h>

namespace capture::preload {
namespace {

template <class Fn>
struct Missing;

template <class R, class... Args>
struct Missing<R (*)(Args...)> {
  static R call(Args...) {
    errno = ENOSYS;
    return static_cast<R>(-1);
  }
};

template <class Fn>
void resolve(Fn& slot, const char* name) {
  void* found = ::dlsym(RTLD_NEXT, name);
  slot = found != nullptr ? reinterpret_cast<Fn>(found) : &Missing<Fn>::call;
}

RealCalls load() {
  RealCalls r{};
  resolve(r.socket, "socket");
  resolve(r.socketpair, "socketpair");
  resolve(r.connect, "connect");
  resolve(r.bind, "bind");
  resolve(r.getpeername, "getpeername");
  resolve(r.getsockname, "getsockname");
  resolve(r.setsockopt, "setsockopt");
  resolve(r.getsockopt, "getsockopt");
  resolve(r.sendto, "sendto");
  resolve(r.sendmsg, "sendmsg");
  resolve(r.sendmmsg, "sendmmsg");
  resolve(r.send, "send");
  resolve(r.write, "write");
  resolve(r.writev, "writev");
  resolve(r.recvfrom, "recvfrom");
  resolve(r.recvmsg, "recvmsg");
  resolve(r.recvmmsg, "recvmmsg");
  resolve(r.recv, "recv");
  resolve(r.read, "read");
  resolve(r.readv, "readv");
  resolve(r.shutdown, "shutdown");
  resolve(r.close, "close");
  resolve(r.dup, "dup");
  resolve(r.dup2, "dup2");
  resolve(r.dup3, "dup3");
  return r;
}

}  // namespace

const RealCalls& real() {
  // A function-local static: the first caller resolves, others wait for it.
  static const RealCalls calls = load();
  return calls;
}

}  // namespace capture::preload
