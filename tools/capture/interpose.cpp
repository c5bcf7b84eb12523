// The calls liblumo-capture.so puts in front of the C library's when it is
// preloaded. Each looks at the descriptor's kind first: anything the capture
// does not take (files, pipes, Unix and IPv6 sockets, TCP data) goes to the
// C library at once, for the price of one table look-up; the rest goes to
// capture_client.h. The fortified variants (__read_chk and friends) that
// programs built with _FORTIFY_SOURCE call instead of read, recv and
// recvfrom are covered too.
//
// What no preload library sees: calls the C library makes to itself. On
// glibc 2.34 and later the stub resolver behind getaddrinfo and
// gethostbyname is part of libc and sends its queries that way; so the
// program's own calls of getaddrinfo and the gethostbyname family are taken
// here too, and resolver.h asks the name server through the capture where
// the C library would have asked it. Programs with a resolver of their own
// (dig, c-ares, libuv, Asio) are captured through their sockets.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "capture_client.h"
#include "real_calls.h"
#include "resolver.h"

namespace {

using capture::preload::Kind;
using capture::preload::kindOf;
using capture::preload::real;

bool captured(int fd) {
  const Kind kind = kindOf(fd);
  return kind == Kind::Udp || kind == Kind::Icmp;
}

msghdr single(void* data, size_t length, iovec& v, sockaddr* name = nullptr, socklen_t nameLength = 0) {
  v = {data, length};
  msghdr m{};
  m.msg_name = name;
  m.msg_namelen = nameLength;
  m.msg_iov = &v;
  m.msg_iovlen = 1;
  return m;
}

ssize_t receiveFrom(int fd, void* buffer, size_t length, int flags, sockaddr* from, socklen_t* fromLength) {
  iovec v;
  msghdr m = single(buffer, length, v, from, from != nullptr && fromLength != nullptr ? *fromLength : 0);
  if (from == nullptr || fromLength == nullptr) m.msg_name = nullptr;
  const ssize_t n = capture::preload::receiveCall(fd, &m, flags);
  if (n >= 0 && from != nullptr && fromLength != nullptr) *fromLength = m.msg_namelen;
  return n;
}

// The C library's fortified entry points, for the checks they make.
template <class Fn>
Fn next(const char* name) {
  return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

#define LUMO_EXPORT extern "C" __attribute__((visibility("default")))

LUMO_EXPORT int socket(int domain, int type, int protocol) noexcept {
  return capture::preload::socketCall(domain, type, protocol);
}

LUMO_EXPORT int connect(int fd, const sockaddr* address, socklen_t length) {
  return capture::preload::connectCall(fd, address, length);
}

LUMO_EXPORT int bind(int fd, const sockaddr* address, socklen_t length) noexcept {
  return capture::preload::bindCall(fd, address, length);
}

LUMO_EXPORT int getpeername(int fd, sockaddr* address, socklen_t* length) noexcept {
  return capture::preload::getpeernameCall(fd, address, length);
}

LUMO_EXPORT int getsockname(int fd, sockaddr* address, socklen_t* length) noexcept {
  return capture::preload::getsocknameCall(fd, address, length);
}

LUMO_EXPORT int setsockopt(int fd, int level, int name, const void* value, socklen_t length) noexcept {
  return capture::preload::setsockoptCall(fd, level, name, value, length);
}

LUMO_EXPORT int getsockopt(int fd, int level, int name, void* value, socklen_t* length) noexcept {
  return capture::preload::getsockoptCall(fd, level, name, value, length);
}

LUMO_EXPORT ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to,
                           socklen_t toLength) {
  if (!captured(fd)) return real().sendto(fd, data, length, flags, to, toLength);
  iovec v;
  const msghdr m = single(const_cast<void*>(data), length, v, const_cast<sockaddr*>(to), to ? toLength : 0);
  return capture::preload::sendCall(fd, &m, flags);
}

LUMO_EXPORT ssize_t send(int fd, const void* data, size_t length, int flags) {
  if (!captured(fd)) return real().send(fd, data, length, flags);
  iovec v;
  const msghdr m = single(const_cast<void*>(data), length, v);
  return capture::preload::sendCall(fd, &m, flags);
}

LUMO_EXPORT ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  if (!captured(fd) || message == nullptr) return real().sendmsg(fd, message, flags);
  return capture::preload::sendCall(fd, message, flags);
}

LUMO_EXPORT int sendmmsg(int fd, mmsghdr* messages, unsigned int count, int flags) {
  if (!captured(fd) || messages == nullptr) return real().sendmmsg(fd, messages, count, flags);
  return capture::preload::sendManyCall(fd, messages, count, flags);
}

LUMO_EXPORT ssize_t write(int fd, const void* data, size_t length) {
  if (!captured(fd)) return real().write(fd, data, length);
  iovec v;
  const msghdr m = single(const_cast<void*>(data), length, v);
  return capture::preload::sendCall(fd, &m, 0);
}

LUMO_EXPORT ssize_t writev(int fd, const iovec* vectors, int count) {
  if (!captured(fd) || count < 0) return real().writev(fd, vectors, count);
  msghdr m{};
  m.msg_iov = const_cast<iovec*>(vectors);
  m.msg_iovlen = static_cast<size_t>(count);
  return capture::preload::sendCall(fd, &m, 0);
}

LUMO_EXPORT ssize_t recvfrom(int fd, void* buffer, size_t length, int flags, sockaddr* from,
                             socklen_t* fromLength) {
  if (!captured(fd)) return real().recvfrom(fd, buffer, length, flags, from, fromLength);
  return receiveFrom(fd, buffer, length, flags, from, fromLength);
}

LUMO_EXPORT ssize_t recv(int fd, void* buffer, size_t length, int flags) {
  if (!captured(fd)) return real().recv(fd, buffer, length, flags);
  return receiveFrom(fd, buffer, length, flags, nullptr, nullptr);
}

LUMO_EXPORT ssize_t recvmsg(int fd, msghdr* message, int flags) {
  if (!captured(fd) || message == nullptr) return real().recvmsg(fd, message, flags);
  return capture::preload::receiveCall(fd, message, flags);
}

LUMO_EXPORT int recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, struct timespec* timeout) {
  // A time-out is the C library's business: with one, the call goes there.
  if (!captured(fd) || messages == nullptr || timeout != nullptr)
    return real().recvmmsg(fd, messages, count, flags, timeout);
  return capture::preload::receiveManyCall(fd, messages, count, flags);
}

LUMO_EXPORT ssize_t read(int fd, void* buffer, size_t length) {
  if (!captured(fd)) return real().read(fd, buffer, length);
  return receiveFrom(fd, buffer, length, 0, nullptr, nullptr);
}

LUMO_EXPORT ssize_t readv(int fd, const iovec* vectors, int count) {
  if (!captured(fd) || count < 0) return real().readv(fd, vectors, count);
  msghdr m{};
  m.msg_iov = const_cast<iovec*>(vectors);
  m.msg_iovlen = static_cast<size_t>(count);
  return capture::preload::receiveCall(fd, &m, 0);
}

LUMO_EXPORT ssize_t __read_chk(int fd, void* buffer, size_t length, size_t bufferLength) {
  static auto fortified = next<ssize_t (*)(int, void*, size_t, size_t)>("__read_chk");
  // An overflowing call goes to the C library, which stops the program.
  if (!captured(fd) || length > bufferLength) return fortified(fd, buffer, length, bufferLength);
  return receiveFrom(fd, buffer, length, 0, nullptr, nullptr);
}

LUMO_EXPORT ssize_t __recv_chk(int fd, void* buffer, size_t length, size_t bufferLength, int flags) {
  static auto fortified = next<ssize_t (*)(int, void*, size_t, size_t, int)>("__recv_chk");
  if (!captured(fd) || length > bufferLength) return fortified(fd, buffer, length, bufferLength, flags);
  return receiveFrom(fd, buffer, length, flags, nullptr, nullptr);
}

LUMO_EXPORT ssize_t __recvfrom_chk(int fd, void* buffer, size_t length, size_t bufferLength, int flags,
                                   sockaddr* from, socklen_t* fromLength) {
  static auto fortified =
      next<ssize_t (*)(int, void*, size_t, size_t, int, sockaddr*, socklen_t*)>("__recvfrom_chk");
  if (!captured(fd) || length > bufferLength)
    return fortified(fd, buffer, length, bufferLength, flags, from, fromLength);
  return receiveFrom(fd, buffer, length, flags, from, fromLength);
}

LUMO_EXPORT int shutdown(int fd, int how) noexcept { return capture::preload::shutdownCall(fd, how); }

LUMO_EXPORT int close(int fd) { return capture::preload::closeCall(fd); }

LUMO_EXPORT int dup(int fd) noexcept { return capture::preload::dupCall(fd, -1, 0, false); }

LUMO_EXPORT int dup2(int fd, int newFd) noexcept {
  if (newFd < 0) return real().dup2(fd, newFd);
  return capture::preload::dupCall(fd, newFd, 0, false);
}

LUMO_EXPORT int dup3(int fd, int newFd, int flags) noexcept {
  if (newFd < 0) return real().dup3(fd, newFd, flags);
  return capture::preload::dupCall(fd, newFd, flags, true);
}

LUMO_EXPORT int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  return capture::preload::getaddrinfoCall(node, service, hints, result);
}

LUMO_EXPORT void freeaddrinfo(addrinfo* list) noexcept { capture::preload::freeaddrinfoCall(list); }

LUMO_EXPORT hostent* gethostbyname(const char* name) {
  return capture::preload::gethostbynameCall(name, AF_INET, false);
}

LUMO_EXPORT hostent* gethostbyname2(const char* name, int family) {
  return capture::preload::gethostbynameCall(name, family, true);
}

LUMO_EXPORT int gethostbyname_r(const char* name, hostent* host, char* buffer, size_t size, hostent** result,
                                int* hostError) {
  return capture::preload::gethostbynameReentrantCall(name, AF_INET, false, host, buffer, size, result,
                                                      hostError);
}

LUMO_EXPORT int gethostbyname2_r(const char* name, int family, hostent* host, char* buffer, size_t size,
                                 hostent** result, int* hostError) {
  return capture::preload::gethostbynameReentrantCall(name, family, true, host, buffer, size, result,
                                                      hostError);
}
