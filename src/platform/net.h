// BSD sockets for the whole engine: TCP and UDP over IPv4 and IPv6.
//
// Socket addresses inside the engine always have the Windows layout, whatever
// the system: family 2 (IPv4, 16 bytes: family, port, address, 8 zero bytes)
// or family 23 (IPv6, 28 bytes: family, port, flow info, address, scope id),
// the family as a little-endian u16, port and address in network byte order.
// That is also the layout of the 28-byte address fields of driver records, so
// a driver address is copied as it stands. Linux numbers IPv6 as 10: the posix
// implementation translates at every call that hands an address to or takes
// one from the system. Nothing above this header ever sees a native family.
//
// Winsock is started (WSAStartup 2.2) once per process on first use of any
// function here and never cleaned up; Linux needs nothing.
//
// Errors are read with lastSocketError() right after the failing call, on the
// same thread, and compared as NetError names (10060 is WSAETIMEDOUT on
// Windows and means nothing on Linux).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/socket_address28.h"

namespace platform {

// A socket: SOCKET on Windows, a file descriptor on Linux.
using Socket = uintptr_t;
inline constexpr Socket kInvalidSocket = ~static_cast<Socket>(0);

// Byte length of the engine's address storage (the families, the lengths of
// the two address forms and the byte-order helpers are in socket_address28.h).
inline constexpr size_t kSocketAddressStorage = 128;

// 128 bytes of socket address in the engine's layout (see the top of this
// file). Zero-initialised: family 0, which every call here refuses.
struct SocketAddress {
  alignas(8) uint8_t bytes[kSocketAddressStorage] = {};

  uint16_t family() const { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }
  // Port in network byte order (bytes 2-3 as stored).
  uint16_t port() const { return static_cast<uint16_t>(bytes[2] | (bytes[3] << 8)); }
  void setPort(uint16_t portNet) {
    bytes[2] = static_cast<uint8_t>(portNet);
    bytes[3] = static_cast<uint8_t>(portNet >> 8);
  }
  // IPv4 address in network byte order (bytes 4-7); meaningful for family 2.
  uint32_t ipv4() const;
  // The 16 IPv6 address bytes (8-23); meaningful for family 23.
  const uint8_t* ipv6() const { return bytes + 8; }
  // 16, 28 or 0 for an unknown family.
  size_t length() const;
};
static_assert(sizeof(SocketAddress) == kSocketAddressStorage);

// An IPv4 address (network order) and port (network order).
SocketAddress makeIpv4Address(uint32_t addressNet, uint16_t portNet);
// An IPv6 address (16 bytes) and port (network order); flow info and scope 0.
SocketAddress makeIpv6Address(const uint8_t address[16], uint16_t portNet, uint32_t scopeId = 0);

// Converts an IPv4-compatible (::a.b.c.d) or IPv4-mapped (::ffff:a.b.c.d)
// address of family 23, also the form with bytes 10 and 11 each 0x00 or
// 0xFF, to family 2 with the same port. False (out untouched) otherwise.
bool ToIpv4SocketAddress(const SocketAddress& in6, SocketAddress& out);

// Copies the 4- or 16-byte address (into the first bytes of outAddress16,
// the rest zeroed) and the port (network order) of a family 2 or 23 address.
// False for other families or when `family` differs from the address's.
bool GetAddressAndPort(uint16_t family, const SocketAddress& address, uint8_t (&outAddress16)[16],
                       uint16_t& outPortNet);

// 127.0.0.1 (family 2) or ::1 (family 23) with the port (network order);
// any other family leaves `out` zeroed.
void MakeLoopbackAddress(uint16_t family, uint16_t portNet, SocketAddress& out);

// Driver record fields. fromDriverAddress copies a field into `out` and
// returns false (with `out` zeroed) unless its family is 2 or 23; only the
// first 16 bytes are taken for IPv4. toDriverAddress gives the address's own
// length of bytes, the rest zero (all zero for an unknown family).
bool fromDriverAddress(const SocketAddress28& field, SocketAddress& out);
SocketAddress28 toDriverAddress(const SocketAddress& address);
// The same for a field the caller holds as raw bytes (the exported interface
// passes addresses as pointers): `field28` is read for 16 bytes, 28 when its
// family is 23, and written for 28. A null field is refused or ignored.
bool fromDriverAddress(const uint8_t* field28, SocketAddress& out);
void toDriverAddress(const SocketAddress& address, uint8_t* field28);

// Text of addresses. parseIpv4 reads strict dotted-decimal IPv4 text
// "a.b.c.d": four decimal numbers 0-255 with no sign, space or leading zero
// (a lone 0 only: "010" would be 10 here and 8 to the classic conversion the
// rule texts use, so it is refused), nothing before or after; the address in
// network order. parseIpv4Network reads "a.b.c.d" or "a.b.c.d/n", n 0-32
// written the same way (32 without a slash). inetAddr is parseIpv4 for
// callers that take 0xFFFFFFFF (INADDR_NONE, also the value of
// 255.255.255.255) as "not an address". ipv4ToText gives "a.b.c.d". Any
// thread.
bool parseIpv4(std::string_view text, uint32_t& addressNet);
bool parseIpv4Network(std::string_view text, uint32_t& addressNet, uint32_t& prefixLength);
uint32_t inetAddr(const char* text);
std::string ipv4ToText(uint32_t addressNet);
// Parses numeric IPv4 or IPv6 text (no names, no brackets) with the given
// port (network order). False for anything else.
bool parseSocketAddress(std::string_view text, uint16_t portNet, SocketAddress& out);
// "a.b.c.d" or the compressed IPv6 form, without the port; "" for an unknown
// family.
std::string addressToText(const SocketAddress& address);

// Portable names of the socket errors the engine tells apart.
enum class NetError {
  None,
  WouldBlock,          // WSAEWOULDBLOCK / EAGAIN
  InProgress,          // WSAEINPROGRESS / EINPROGRESS (a non-blocking connect on Linux)
  AlreadyInProgress,   // WSAEALREADY / EALREADY
  TimedOut,            // WSAETIMEDOUT / ETIMEDOUT (also a receive time-out on Windows)
  ConnectionRefused,   // WSAECONNREFUSED / ECONNREFUSED
  ConnectionReset,     // WSAECONNRESET / ECONNRESET
  ConnectionAborted,   // WSAECONNABORTED / ECONNABORTED
  NotConnected,        // WSAENOTCONN / ENOTCONN
  AddressInUse,        // WSAEADDRINUSE / EADDRINUSE
  AddressNotAvailable, // WSAEADDRNOTAVAIL / EADDRNOTAVAIL
  AccessDenied,        // WSAEACCES / EACCES, EPERM
  InvalidArgument,     // WSAEINVAL / EINVAL
  NotSocket,           // WSAENOTSOCK / EBADF, ENOTSOCK
  MessageTooLong,      // WSAEMSGSIZE / EMSGSIZE
  NetworkUnreachable,  // WSAENETUNREACH / ENETUNREACH
  HostUnreachable,     // WSAEHOSTUNREACH / EHOSTUNREACH
  Interrupted,         // WSAEINTR / EINTR
  Shutdown,            // WSAESHUTDOWN / EPIPE
  NoBuffers,           // WSAENOBUFS / ENOBUFS, ENOMEM
  NotInitialised,      // WSANOTINITIALISED (Windows only)
  Other,
};

// The calling thread's last socket error (WSAGetLastError / errno), by name.
NetError lastSocketError();
// The same, as the system's own number (for diagnostics only).
int lastSocketErrorCode();
// A short fixed English name ("timed out", "would block", ...). Never null.
const char* netErrorName(NetError error);

enum class SocketType { Stream, Datagram };

// Opens a TCP (Stream) or UDP (Datagram) socket of family 2 or 23, blocking.
// kInvalidSocket on failure (lastSocketError() tells why). Any thread; the
// caller owns the socket and closes it with closeSocket.
Socket openSocket(uint16_t family, SocketType type);
// closesocket / close. Ignores kInvalidSocket.
void closeSocket(Socket socket);

// Thin wrappers over the calls of the same name, with engine addresses. All
// return false or -1 on failure, with lastSocketError() set. Any thread.
bool bindSocket(Socket socket, const SocketAddress& address);
bool listenSocket(Socket socket, int backlog);
// The largest backlog the system accepts for listenSocket (SOMAXCONN; Linux
// caps it further at net.core.somaxconn), for listeners that must hold a
// burst of connections while their accept thread is busy.
int maxListenBacklog();
// `peer` may be null. kInvalidSocket on failure.
Socket acceptSocket(Socket socket, SocketAddress* peer);
bool connectSocket(Socket socket, const SocketAddress& address);
// Bytes sent or received; 0 from receive means an orderly close (TCP);
// -1 on failure. Lengths above INT_MAX are clipped.
int sendBytes(Socket socket, const void* data, size_t length);
int receiveBytes(Socket socket, void* buffer, size_t capacity);
// Copies up to `capacity` waiting bytes without taking them off the socket
// (MSG_PEEK): what receiveBytes would return, the bytes staying queued.
int peekBytes(Socket socket, void* buffer, size_t capacity);
int sendTo(Socket socket, const void* data, size_t length, const SocketAddress& to);
// `from` may be null.
int receiveFrom(Socket socket, void* buffer, size_t capacity, SocketAddress* from);
enum class ShutdownHow { Receive, Send, Both };
bool shutdownSocket(Socket socket, ShutdownHow how);
bool localAddressOf(Socket socket, SocketAddress& out);
bool peerAddressOf(Socket socket, SocketAddress& out);
// The pending error of the socket (SO_ERROR), by name: how a non-blocking
// connect ended once the socket is writable or in error. Its number is left
// as the thread's last socket error (lastSocketErrorCode).
NetError pendingSocketError(Socket socket);

// Socket options. True on success.
bool setNonBlocking(Socket socket, bool on);
bool setReuseAddress(Socket socket, bool on);            // SO_REUSEADDR
// Windows: SO_EXCLUSIVEADDRUSE, so a bind never lands on a port that another
// program holds. Linux binds exclusively unless SO_REUSEADDR/SO_REUSEPORT is
// set, so this only makes sure SO_REUSEADDR is off.
bool setExclusiveAddress(Socket socket);
// For a listener that must own its port: Windows SO_EXCLUSIVEADDRUSE (no
// other socket can bind the port beside it); Linux SO_REUSEADDR, which lets a
// port whose earlier connections linger in TIME_WAIT be bound again but never
// lets two listeners share a port.
bool setListenerAddressReuse(Socket socket);
bool setNoDelay(Socket socket, bool on);                 // TCP_NODELAY
bool setReceiveBufferSize(Socket socket, int bytes);     // SO_RCVBUF
bool setSendBufferSize(Socket socket, int bytes);        // SO_SNDBUF
// SO_RCVTIMEO in milliseconds (0: none). A receive that runs out of time
// fails with TimedOut on Windows and WouldBlock on Linux: check both.
bool setReceiveTimeout(Socket socket, uint32_t ms);
bool setIpv6Only(Socket socket, bool on);                // IPV6_V6ONLY
// Whether an ICMP port-unreachable for an earlier datagram fails the next
// receive of a UDP socket (Windows SIO_UDP_CONNRESET). Linux reports none on
// unconnected sockets: nothing to do there.
bool setUdpConnectionReset(Socket socket, bool on);

// Waiting for readiness. Each entry names a socket and what to wait for; on
// return `ready` holds what happened (kSocketError for an error or hang-up;
// a failed non-blocking connect shows up as kSocketError, possibly with
// kWritable). Returns the number of entries with something ready, 0 when
// `timeoutMs` passed (kNoTimeLimit: wait without limit), -1 on failure
// (invalid arguments, count outside 1..64). select() on Windows, poll() on
// Linux. Any thread.
inline constexpr unsigned kReadable = 1;
inline constexpr unsigned kWritable = 2;
inline constexpr unsigned kSocketError = 4;
inline constexpr uint32_t kNoTimeLimit = 0xFFFFFFFFu;
struct SocketWait {
  Socket socket = kInvalidSocket;
  unsigned want = kReadable;
  unsigned ready = 0;
};
int waitSockets(SocketWait* entries, int count, uint32_t timeoutMs);
// One socket: 1 when it is readable (or in error, so the next receive reports
// it), 0 on time-out, -1 on failure.
int waitReadable(Socket socket, uint32_t timeoutMs);
// 1 when writable or in error, 0 on time-out, -1 on failure.
int waitWritable(Socket socket, uint32_t timeoutMs);

// Read readiness of one socket through a waitable object: on Windows a
// Winsock event selected with WSAEventSelect(FD_READ), which also makes the
// socket non-blocking; on Linux poll(). The socket stays the caller's and must
// outlive this object. One thread at a time.
class SocketReadEvent {
 public:
  explicit SocketReadEvent(Socket socket);
  ~SocketReadEvent();
  SocketReadEvent(const SocketReadEvent&) = delete;
  SocketReadEvent& operator=(const SocketReadEvent&) = delete;

  // False when the event could not be created or selected.
  bool valid() const;
  // True when data may be read (an event that fired), false after `timeoutMs`
  // without any, or on failure.
  bool wait(uint32_t timeoutMs);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace platform
