// Linux sockets: plain BSD calls on file descriptors. The only translation is
// the address family: the engine numbers IPv6 23 (the Windows value), Linux
// numbers it AF_INET6 (10), so every address is converted on its way in and
// out. Waits use poll(); errno values are mapped to NetError names.
#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace platform {
namespace {

int fd(Socket s) { return static_cast<int>(s); }

// Engine layout → native sockaddr. Returns the native length, 0 for an
// unknown family.
socklen_t toNative(const SocketAddress& a, sockaddr_storage& out) {
  std::memset(&out, 0, sizeof out);
  if (a.family() == kFamilyIpv4) {
    auto* in = reinterpret_cast<sockaddr_in*>(&out);
    in->sin_family = AF_INET;
    std::memcpy(&in->sin_port, a.bytes + 2, 2);
    std::memcpy(&in->sin_addr, a.bytes + 4, 4);
    return sizeof(sockaddr_in);
  }
  if (a.family() == kFamilyIpv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
    in6->sin6_family = AF_INET6;
    std::memcpy(&in6->sin6_port, a.bytes + 2, 2);
    std::memcpy(&in6->sin6_flowinfo, a.bytes + 4, 4);
    std::memcpy(&in6->sin6_addr, a.bytes + 8, 16);
    std::memcpy(&in6->sin6_scope_id, a.bytes + 24, 4);
    return sizeof(sockaddr_in6);
  }
  return 0;
}

// Native sockaddr → engine layout; zeroed for any other family.
void fromNative(const sockaddr_storage& in, SocketAddress& out) {
  out = SocketAddress{};
  if (in.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&in);
    uint32_t addr;
    std::memcpy(&addr, &v4->sin_addr, 4);
    out = makeIpv4Address(addr, v4->sin_port);
  } else if (in.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&in);
    out = makeIpv6Address(reinterpret_cast<const uint8_t*>(&v6->sin6_addr), v6->sin6_port,
                          v6->sin6_scope_id);
    std::memcpy(out.bytes + 4, &v6->sin6_flowinfo, 4);
  }
}

size_t clip(size_t n) { return n > static_cast<size_t>(INT_MAX) ? static_cast<size_t>(INT_MAX) : n; }

bool setIntOption(Socket s, int level, int name, int value) {
  return setsockopt(fd(s), level, name, &value, sizeof value) == 0;
}

NetError fromErrno(int e) {
  switch (e) {
    case 0: return NetError::None;
    case EAGAIN: return NetError::WouldBlock;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return NetError::WouldBlock;
#endif
    case EINPROGRESS: return NetError::InProgress;
    case EALREADY: return NetError::AlreadyInProgress;
    case ETIMEDOUT: return NetError::TimedOut;
    case ECONNREFUSED: return NetError::ConnectionRefused;
    case ECONNRESET: return NetError::ConnectionReset;
    case ECONNABORTED: return NetError::ConnectionAborted;
    case ENOTCONN: return NetError::NotConnected;
    case EADDRINUSE: return NetError::AddressInUse;
    case EADDRNOTAVAIL: return NetError::AddressNotAvailable;
    case EACCES:
    case EPERM: return NetError::AccessDenied;
    case EINVAL:
    case EAFNOSUPPORT: return NetError::InvalidArgument;
    case EBADF:
    case ENOTSOCK: return NetError::NotSocket;
    case EMSGSIZE: return NetError::MessageTooLong;
    case ENETUNREACH: return NetError::NetworkUnreachable;
    case EHOSTUNREACH: return NetError::HostUnreachable;
    case EINTR: return NetError::Interrupted;
    case EPIPE:
    case ESHUTDOWN: return NetError::Shutdown;
    case ENOBUFS:
    case ENOMEM: return NetError::NoBuffers;
    default: return NetError::Other;
  }
}

}  // namespace

bool parseSocketAddress(std::string_view text, uint16_t portNet, SocketAddress& out) {
  out = SocketAddress{};
  if (text.empty() || text.size() >= 64) return false;
  char buf[64];
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  uint8_t bytes[16];
  if (inet_pton(AF_INET, buf, bytes) == 1) {
    uint32_t a;
    std::memcpy(&a, bytes, 4);
    out = makeIpv4Address(a, portNet);
    return true;
  }
  if (inet_pton(AF_INET6, buf, bytes) == 1) {
    out = makeIpv6Address(bytes, portNet);
    return true;
  }
  return false;
}

std::string addressToText(const SocketAddress& address) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (address.family() == kFamilyIpv4) return ipv4ToText(address.ipv4());
  if (address.family() == kFamilyIpv6 && inet_ntop(AF_INET6, address.ipv6(), buf, sizeof buf))
    return buf;
  return {};
}

NetError lastSocketError() { return fromErrno(errno); }
int lastSocketErrorCode() { return errno; }

Socket openSocket(uint16_t family, SocketType type) {
  int af = family == kFamilyIpv4 ? AF_INET : family == kFamilyIpv6 ? AF_INET6 : -1;
  if (af < 0) {
    errno = EAFNOSUPPORT;
    return kInvalidSocket;
  }
  // Close-on-exec, so a command line started by the engine inherits none of
  // its sockets.
  int s = socket(af, (type == SocketType::Stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  return s < 0 ? kInvalidSocket : static_cast<Socket>(s);
}

void closeSocket(Socket socket) {
  if (socket != kInvalidSocket) close(fd(socket));
}

bool bindSocket(Socket socket, const SocketAddress& address) {
  sockaddr_storage ss;
  socklen_t len = toNative(address, ss);
  if (len == 0) {
    errno = EINVAL;
    return false;
  }
  return bind(fd(socket), reinterpret_cast<sockaddr*>(&ss), len) == 0;
}

bool listenSocket(Socket socket, int backlog) { return listen(fd(socket), backlog) == 0; }

int maxListenBacklog() { return SOMAXCONN; }

Socket acceptSocket(Socket socket, SocketAddress* peer) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int s = accept4(fd(socket), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
  if (s < 0) return kInvalidSocket;
  if (peer != nullptr) fromNative(ss, *peer);
  return static_cast<Socket>(s);
}

bool connectSocket(Socket socket, const SocketAddress& address) {
  sockaddr_storage ss;
  socklen_t len = toNative(address, ss);
  if (len == 0) {
    errno = EINVAL;
    return false;
  }
  return connect(fd(socket), reinterpret_cast<sockaddr*>(&ss), len) == 0;
}

int sendBytes(Socket socket, const void* data, size_t length) {
  // MSG_NOSIGNAL: a peer that went away is an EPIPE result, not a SIGPIPE
  // that ends the process (Windows has no such signal).
  return static_cast<int>(send(fd(socket), data, clip(length), MSG_NOSIGNAL));
}

int receiveBytes(Socket socket, void* buffer, size_t capacity) {
  return static_cast<int>(recv(fd(socket), buffer, clip(capacity), 0));
}

int peekBytes(Socket socket, void* buffer, size_t capacity) {
  return static_cast<int>(recv(fd(socket), buffer, clip(capacity), MSG_PEEK));
}

int sendTo(Socket socket, const void* data, size_t length, const SocketAddress& to) {
  sockaddr_storage ss;
  socklen_t len = toNative(to, ss);
  if (len == 0) {
    errno = EINVAL;
    return -1;
  }
  return static_cast<int>(
      sendto(fd(socket), data, clip(length), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&ss), len));
}

int receiveFrom(Socket socket, void* buffer, size_t capacity, SocketAddress* from) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int n = static_cast<int>(
      recvfrom(fd(socket), buffer, clip(capacity), 0, reinterpret_cast<sockaddr*>(&ss), &len));
  if (n >= 0 && from != nullptr) fromNative(ss, *from);
  return n;
}

bool shutdownSocket(Socket socket, ShutdownHow how) {
  int h = how == ShutdownHow::Receive ? SHUT_RD : how == ShutdownHow::Send ? SHUT_WR : SHUT_RDWR;
  return shutdown(fd(socket), h) == 0;
}

bool localAddressOf(Socket socket, SocketAddress& out) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(fd(socket), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
  fromNative(ss, out);
  return true;
}

bool peerAddressOf(Socket socket, SocketAddress& out) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getpeername(fd(socket), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
  fromNative(ss, out);
  return true;
}

NetError pendingSocketError(Socket socket) {
  int e = 0;
  socklen_t len = sizeof e;
  if (getsockopt(fd(socket), SOL_SOCKET, SO_ERROR, &e, &len) != 0) return lastSocketError();
  errno = e;
  return fromErrno(e);
}

bool setNonBlocking(Socket socket, bool on) {
  int flags = fcntl(fd(socket), F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd(socket), F_SETFL, flags) == 0;
}

bool setReuseAddress(Socket socket, bool on) {
  return setIntOption(socket, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

bool setExclusiveAddress(Socket socket) { return setReuseAddress(socket, false); }

bool setListenerAddressReuse(Socket socket) { return setReuseAddress(socket, true); }

bool setNoDelay(Socket socket, bool on) {
  return setIntOption(socket, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

bool setReceiveBufferSize(Socket socket, int bytes) {
  return setIntOption(socket, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool setSendBufferSize(Socket socket, int bytes) {
  return setIntOption(socket, SOL_SOCKET, SO_SNDBUF, bytes);
}

bool setReceiveTimeout(Socket socket, uint32_t ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return setsockopt(fd(socket), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool setUdpConnectionReset(Socket socket, bool) { return socket != kInvalidSocket; }

bool setIpv6Only(Socket socket, bool on) {
  return setIntOption(socket, IPPROTO_IPV6, IPV6_V6ONLY, on ? 1 : 0);
}

int waitSockets(SocketWait* entries, int count, uint32_t timeoutMs) {
  if (entries == nullptr || count < 1 || count > 64) {
    errno = EINVAL;
    return -1;
  }
  pollfd fds[64];
  for (int i = 0; i < count; ++i) {
    fds[i].fd = fd(entries[i].socket);
    fds[i].events = static_cast<short>(((entries[i].want & kReadable) ? POLLIN : 0) |
                                       ((entries[i].want & kWritable) ? POLLOUT : 0));
    fds[i].revents = 0;
    entries[i].ready = 0;
  }
  int timeout = timeoutMs == kNoTimeLimit ? -1
                : timeoutMs > static_cast<uint32_t>(INT_MAX) ? INT_MAX
                                                              : static_cast<int>(timeoutMs);
  int n;
  do {
    n = poll(fds, static_cast<nfds_t>(count), timeout);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return n;
  int readyCount = 0;
  for (int i = 0; i < count; ++i) {
    unsigned r = 0;
    if (fds[i].revents & POLLIN) r |= kReadable;
    if (fds[i].revents & POLLOUT) r |= kWritable;
    if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) r |= kSocketError;
    entries[i].ready = r;
    if (r != 0) ++readyCount;
  }
  return readyCount;
}

int waitReadable(Socket socket, uint32_t timeoutMs) {
  SocketWait w{socket, kReadable, 0};
  int n = waitSockets(&w, 1, timeoutMs);
  return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

int waitWritable(Socket socket, uint32_t timeoutMs) {
  SocketWait w{socket, kWritable, 0};
  int n = waitSockets(&w, 1, timeoutMs);
  return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

struct SocketReadEvent::State {
  Socket socket = kInvalidSocket;
};

SocketReadEvent::SocketReadEvent(Socket socket) : state_(std::make_unique<State>()) {
  state_->socket = socket;
}

SocketReadEvent::~SocketReadEvent() = default;

bool SocketReadEvent::valid() const { return state_->socket != kInvalidSocket; }

bool SocketReadEvent::wait(uint32_t timeoutMs) {
  SocketWait w{state_->socket, kReadable, 0};
  return waitSockets(&w, 1, timeoutMs) > 0;
}

}  // namespace platform
