// Windows sockets (Winsock 2). Winsock must be started once per process
// before the first socket call: ensureWinsock() does it on first use and the
// process keeps it until it ends. The engine's address layout is the Windows
// one, so addresses pass through unchanged. select() serves the waits (a
// failed non-blocking connect shows up in the exception set), and Winsock
// error numbers are mapped to NetError names.
#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>
#include <mutex>

namespace platform {
namespace {

bool ensureWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET sock(Socket s) { return static_cast<SOCKET>(s); }

const sockaddr* native(const SocketAddress& a) { return reinterpret_cast<const sockaddr*>(a.bytes); }

int clip(size_t n) { return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

bool setIntOption(Socket s, int level, int name, int value) {
  return setsockopt(sock(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

// Keeps only addresses of the two families the engine knows.
void keepKnown(SocketAddress& a) {
  if (a.length() == 0) a = SocketAddress{};
}

NetError fromWsa(int e) {
  switch (e) {
    case 0: return NetError::None;
    case WSAEWOULDBLOCK: return NetError::WouldBlock;
    case WSAEINPROGRESS: return NetError::InProgress;
    case WSAEALREADY: return NetError::AlreadyInProgress;
    case WSAETIMEDOUT: return NetError::TimedOut;
    case WSAECONNREFUSED: return NetError::ConnectionRefused;
    case WSAECONNRESET: return NetError::ConnectionReset;
    case WSAECONNABORTED: return NetError::ConnectionAborted;
    case WSAENOTCONN: return NetError::NotConnected;
    case WSAEADDRINUSE: return NetError::AddressInUse;
    case WSAEADDRNOTAVAIL: return NetError::AddressNotAvailable;
    case WSAEACCES: return NetError::AccessDenied;
    case WSAEINVAL:
    case WSAEAFNOSUPPORT:
    case WSAEFAULT: return NetError::InvalidArgument;
    case WSAENOTSOCK: return NetError::NotSocket;
    case WSAEMSGSIZE: return NetError::MessageTooLong;
    case WSAENETUNREACH: return NetError::NetworkUnreachable;
    case WSAEHOSTUNREACH: return NetError::HostUnreachable;
    case WSAEINTR: return NetError::Interrupted;
    case WSAESHUTDOWN: return NetError::Shutdown;
    case WSAENOBUFS: return NetError::NoBuffers;
    case WSANOTINITIALISED: return NetError::NotInitialised;
    default: return NetError::Other;
  }
}

}  // namespace

bool parseSocketAddress(std::string_view text, uint16_t portNet, SocketAddress& out) {
  out = SocketAddress{};
  ensureWinsock();
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
  if (address.family() == kFamilyIpv4) return ipv4ToText(address.ipv4());
  char buf[INET6_ADDRSTRLEN] = {};
  ensureWinsock();
  in6_addr a;
  std::memcpy(&a, address.ipv6(), 16);
  if (address.family() == kFamilyIpv6 && inet_ntop(AF_INET6, &a, buf, sizeof buf)) return buf;
  return {};
}

NetError lastSocketError() { return fromWsa(WSAGetLastError()); }
int lastSocketErrorCode() { return WSAGetLastError(); }

Socket openSocket(uint16_t family, SocketType type) {
  if (!ensureWinsock()) return kInvalidSocket;
  if (family != kFamilyIpv4 && family != kFamilyIpv6) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return kInvalidSocket;
  }
  // WSASocketW without WSA_FLAG_OVERLAPPED would make a socket that cannot be
  // used for overlapped I/O; socket() gives the ordinary overlapped-capable
  // kind. Not inheritable, so command lines started with handle inheritance
  // (the captured run) never get one.
  SOCKET s = socket(family == kFamilyIpv4 ? AF_INET : AF_INET6,
                    type == SocketType::Stream ? SOCK_STREAM : SOCK_DGRAM,
                    type == SocketType::Stream ? IPPROTO_TCP : IPPROTO_UDP);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<Socket>(s);
}

void closeSocket(Socket socket) {
  if (socket != kInvalidSocket) closesocket(sock(socket));
}

bool bindSocket(Socket socket, const SocketAddress& address) {
  return bind(sock(socket), native(address), static_cast<int>(address.length())) == 0;
}

bool listenSocket(Socket socket, int backlog) { return listen(sock(socket), backlog) == 0; }

// Winsock 2 reads SOMAXCONN (0x7FFFFFFF) as "a reasonable maximum" of its own.
int maxListenBacklog() { return SOMAXCONN; }

Socket acceptSocket(Socket socket, SocketAddress* peer) {
  SocketAddress a;
  int len = sizeof a.bytes;
  SOCKET s = accept(sock(socket), reinterpret_cast<sockaddr*>(a.bytes), &len);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  if (peer != nullptr) {
    keepKnown(a);
    *peer = a;
  }
  return static_cast<Socket>(s);
}

bool connectSocket(Socket socket, const SocketAddress& address) {
  return connect(sock(socket), native(address), static_cast<int>(address.length())) == 0;
}

int sendBytes(Socket socket, const void* data, size_t length) {
  return send(sock(socket), static_cast<const char*>(data), clip(length), 0);
}

int receiveBytes(Socket socket, void* buffer, size_t capacity) {
  return recv(sock(socket), static_cast<char*>(buffer), clip(capacity), 0);
}

int peekBytes(Socket socket, void* buffer, size_t capacity) {
  return recv(sock(socket), static_cast<char*>(buffer), clip(capacity), MSG_PEEK);
}

int sendTo(Socket socket, const void* data, size_t length, const SocketAddress& to) {
  return sendto(sock(socket), static_cast<const char*>(data), clip(length), 0, native(to),
                static_cast<int>(to.length()));
}

int receiveFrom(Socket socket, void* buffer, size_t capacity, SocketAddress* from) {
  SocketAddress a;
  int len = sizeof a.bytes;
  int n = recvfrom(sock(socket), static_cast<char*>(buffer), clip(capacity), 0,
                   reinterpret_cast<sockaddr*>(a.bytes), &len);
  if (n >= 0 && from != nullptr) {
    keepKnown(a);
    *from = a;
  }
  return n;
}

bool shutdownSocket(Socket socket, ShutdownHow how) {
  int h = how == ShutdownHow::Receive ? SD_RECEIVE : how == ShutdownHow::Send ? SD_SEND : SD_BOTH;
  return shutdown(sock(socket), h) == 0;
}

bool localAddressOf(Socket socket, SocketAddress& out) {
  SocketAddress a;
  int len = sizeof a.bytes;
  if (getsockname(sock(socket), reinterpret_cast<sockaddr*>(a.bytes), &len) != 0) return false;
  keepKnown(a);
  out = a;
  return true;
}

bool peerAddressOf(Socket socket, SocketAddress& out) {
  SocketAddress a;
  int len = sizeof a.bytes;
  if (getpeername(sock(socket), reinterpret_cast<sockaddr*>(a.bytes), &len) != 0) return false;
  keepKnown(a);
  out = a;
  return true;
}

NetError pendingSocketError(Socket socket) {
  int e = 0;
  int len = sizeof e;
  if (getsockopt(sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&e), &len) != 0)
    return lastSocketError();
  WSASetLastError(e);
  return fromWsa(e);
}

bool setNonBlocking(Socket socket, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(sock(socket), FIONBIO, &mode) == 0;
}

bool setReuseAddress(Socket socket, bool on) {
  return setIntOption(socket, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

bool setExclusiveAddress(Socket socket) {
  // Without it Windows lets another program's SO_REUSEADDR socket bind over
  // ours (and ours over theirs).
  return setIntOption(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
}

bool setListenerAddressReuse(Socket socket) { return setExclusiveAddress(socket); }

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
  // Windows takes the time-out as a DWORD of milliseconds.
  DWORD v = ms;
  return setsockopt(sock(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v),
                    sizeof v) == 0;
}

bool setUdpConnectionReset(Socket socket, bool on) {
  // SIO_UDP_CONNRESET (mstcpip.h, not in every MinGW's headers).
  const DWORD kUdpConnReset = _WSAIOW(IOC_VENDOR, 12);
  BOOL value = on ? TRUE : FALSE;
  DWORD returned = 0;
  return WSAIoctl(sock(socket), kUdpConnReset, &value, sizeof value, nullptr, 0, &returned, nullptr, nullptr) == 0;
}

bool setIpv6Only(Socket socket, bool on) {
  return setIntOption(socket, IPPROTO_IPV6, IPV6_V6ONLY, on ? 1 : 0);
}

int waitSockets(SocketWait* entries, int count, uint32_t timeoutMs) {
  if (entries == nullptr || count < 1 || count > 64) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  // fd_set holds FD_SETSIZE (64) sockets on Windows.
  fd_set readSet, writeSet, errorSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&errorSet);
  for (int i = 0; i < count; ++i) {
    entries[i].ready = 0;
    SOCKET s = sock(entries[i].socket);
    if (entries[i].want & kReadable) FD_SET(s, &readSet);
    if (entries[i].want & kWritable) FD_SET(s, &writeSet);
    FD_SET(s, &errorSet);
  }
  timeval tv{};
  tv.tv_sec = static_cast<long>(timeoutMs / 1000);
  tv.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
  int n = select(0, &readSet, &writeSet, &errorSet, timeoutMs == kNoTimeLimit ? nullptr : &tv);
  if (n == SOCKET_ERROR) return -1;
  if (n == 0) return 0;
  int readyCount = 0;
  for (int i = 0; i < count; ++i) {
    SOCKET s = sock(entries[i].socket);
    unsigned r = 0;
    if (FD_ISSET(s, &readSet)) r |= kReadable;
    if (FD_ISSET(s, &writeSet)) r |= kWritable;
    if (FD_ISSET(s, &errorSet)) r |= kSocketError;
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
  WSAEVENT event = WSA_INVALID_EVENT;
  bool selected = false;
};

SocketReadEvent::SocketReadEvent(Socket socket) : state_(std::make_unique<State>()) {
  state_->socket = socket;
  if (!ensureWinsock() || socket == kInvalidSocket) return;
  state_->event = WSACreateEvent();
  if (state_->event == WSA_INVALID_EVENT) return;
  state_->selected = WSAEventSelect(sock(socket), state_->event, FD_READ) == 0;
}

SocketReadEvent::~SocketReadEvent() {
  if (state_->selected) WSAEventSelect(sock(state_->socket), nullptr, 0);
  if (state_->event != WSA_INVALID_EVENT) WSACloseEvent(state_->event);
}

bool SocketReadEvent::valid() const { return state_->selected; }

bool SocketReadEvent::wait(uint32_t timeoutMs) {
  if (!state_->selected) return false;
  DWORD r = WSAWaitForMultipleEvents(1, &state_->event, FALSE,
                                     timeoutMs == kNoTimeLimit ? WSA_INFINITE : timeoutMs, FALSE);
  if (r != WSA_WAIT_EVENT_0) return false;
  // FD_READ is re-armed by the next recv; the event itself is reset here so a
  // second wait blocks until new data comes.
  WSAResetEvent(state_->event);
  return true;
}

}  // namespace platform
