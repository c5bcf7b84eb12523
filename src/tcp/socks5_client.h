// The relay's way out: a SOCKS5 CONNECT through the proxy node (RFC 1928
// with the username/password method of RFC 1929), and the direct connect that
// replaces it when the handshake fails.
//
// Both are free of engine state: the caller passes the node's address and
// credentials, so any relay thread may call them at once on its own socket.
// Both block the calling thread, but never beyond their deadlines, and both
// watch the application's connection meanwhile: an application that gives up
// ends the attempt at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/net.h"

namespace tcp {

// Deadlines. A game waits on the relay without a byte until the node has
// answered or the relay has gone direct, and games commonly give a connect
// 5 to 10 s before they report a failure of their own; the two node deadlines
// together (4 s) leave the direct connect a chance inside that.
// - The node connect: a usable node answers a SYN within a few hundred
//   milliseconds; 1.5 s also covers one lost SYN (resent after the 1 s
//   initial retransmission time-out). A node host that drops SYNs would
//   otherwise cost the system's connect time-out (21 s to 127 s).
inline constexpr uint32_t kNodeConnectTimeoutMs = 1500;
// - The three SOCKS5 exchanges together: three round trips to the node plus
//   the node's own connect to the destination, which may lose a SYN too.
inline constexpr uint32_t kSocks5HandshakeTimeoutMs = 2500;
// - The direct connect after a failed handshake: the application's own
//   connect would have waited the system's time-out (21 s on Windows); the
//   relay gives up in half of that, since the application has already waited
//   for the node.
inline constexpr uint32_t kDirectConnectTimeoutMs = 10000;

// The limits of one attempt.
struct ConnectLimits {
  uint32_t connectMs = kNodeConnectTimeoutMs;        // the TCP connect
  uint32_t handshakeMs = kSocks5HandshakeTimeoutMs;  // the SOCKS5 exchanges together
  // The application's connection (the relay's accepted socket), or
  // kInvalidSocket. While it is watched, its end of stream or failure gives
  // the attempt up; once it has sent bytes it is no longer watched (the bytes
  // stay queued for the relay).
  platform::Socket application = platform::kInvalidSocket;
  // When set, asked between waits of at most kStopCheckMs: true gives the
  // attempt up as if the application had gone (the relay's stop). A stop
  // that shuts the sockets down need not wake a wait on every system.
  std::function<bool()> stopped;
};
inline constexpr uint32_t kStopCheckMs = 50;

// Results of Socks5Connect. 0 is success; every other value names the step
// that failed. `detail` carries either the socket layer's error number of the
// failing call (the system's own number: a Winsock code on Windows, errno on
// Linux; 0 when the node closed the connection in order) or, for a refusing
// reply, its first two bytes read as a little-endian u16 (05 00 to the
// greeting gives 5).
enum Socks5Result : uint32_t {
  kSocks5Ok = 0,
  // The family or the destination is not IPv4; nothing was done. Detail 0.
  kSocks5FamilyNotSupported = 0x10001,  // 65537
  // The connect to the node failed. Detail: error number.
  kSocks5NodeConnectFailed = 0x10002,  // 65538
  // The greeting 05 01 02 could not be sent whole. Detail: error number.
  kSocks5GreetingSendFailed = 0x10003,  // 65539
  // No reply, or a reply cut short, to the greeting. Detail: error number.
  kSocks5GreetingReceiveFailed = 0x10004,  // 65540
  // The user name and password do not fit the 256-byte authentication
  // message: either is longer than 255 bytes, or together they are longer
  // than 253. Checked before anything is sent or connected. Detail: the
  // user name's length plus the password's length.
  kSocks5CredentialsTooLong = 0x10005,  // 65541
  // The authentication message could not be sent whole. Detail: error number.
  kSocks5AuthSendFailed = 0x10006,  // 65542
  // No reply, or a reply cut short, to the authentication. Detail: error number.
  kSocks5AuthReceiveFailed = 0x10007,  // 65543
  // The node refused: its greeting reply was not 05 02, or its
  // authentication reply's second byte was not 00. Detail: the two bytes.
  kSocks5Refused = 0x10008,  // 65544
  // The CONNECT request could not be sent whole. Detail: error number.
  kSocks5ConnectSendFailed = 0x10009,  // 65545
  // No reply, or a reply cut short, to the CONNECT. Detail: error number.
  kSocks5ConnectReceiveFailed = 0x1000A,  // 65546
  // The CONNECT reply was not 05 00. Detail: the two bytes.
  kSocks5ConnectRefused = 0x1000B,  // 65547
  // A deadline passed. Detail: the result of the step that was waiting
  // (0x10002 for the connect, 0x10004, 0x10007 or 0x1000A for a reply).
  kSocks5TimedOut = 0x1000C,  // 65548
  // The watched application connection ended or failed first. Detail 0.
  kSocks5ApplicationGone = 0x1000D,  // 65549
};

// Connects `socket` (an unconnected IPv4 stream socket the caller created and
// owns) to the node at nodeAddress:nodePort (both network byte order) and
// asks it, as `user`/`password`, to connect to `destination` (a family-2
// address: its port and address bytes go out as stored). `family` is the
// destination's family as the relay knows it.
//
// Messages, in order:
//   greeting        05 01 02                    reply 05 02
//   authentication  01 ULEN USER PLEN PASSWORD  reply 01 00 (second byte 00)
//   CONNECT         05 01 00 01 ADDR(4) PORT(2) reply 05 00 ...
// Each reply is read to its own end and no further, so bytes that the node
// sends right behind its CONNECT reply (a destination that speaks first)
// stay on the socket for the relay.
//
// The connect must complete within limits.connectMs and the three exchanges
// within limits.handshakeMs; a socket that another thread shuts down ends the
// wait at once (the step fails).
//
// Returns kSocks5Ok with `detail` 0 when the socket is a transparent stream
// to the destination; otherwise one of the results above with `detail` set.
// The socket stays the caller's in every case (connected or not); it is
// blocking again on success, while a failed one is of no further use and
// leaves the failing call's error as the thread's last socket error. Any
// thread.
uint32_t Socks5Connect(uint32_t family, platform::Socket socket, const platform::SocketAddress& destination,
                       uint32_t nodeAddress, uint16_t nodePort, std::string_view user,
                       std::string_view password, int32_t& detail, const ConnectLimits& limits = {});

// Connects `socket` (an unconnected stream socket of the caller's) to
// `address` within `timeoutMs`, watching `application` as ConnectLimits says.
// kSocks5Ok, or kSocks5NodeConnectFailed (detail: the error number),
// kSocks5TimedOut (detail kSocks5NodeConnectFailed) or kSocks5ApplicationGone.
// The socket is blocking again on success (as Socks5Connect). Any thread.
uint32_t ConnectWithin(platform::Socket socket, const platform::SocketAddress& address, uint32_t timeoutMs,
                       platform::Socket application, int32_t& detail,
                       const std::function<bool()>& stopped = {});

// Replaces `socket` with a new IPv4 stream socket connected straight to
// `destination` within `timeoutMs`, watching `application` meanwhile. Family
// 23 fails at once with `socket` untouched. Otherwise a valid `socket` is
// closed first; on success `socket` holds the new connected socket (the
// caller's to close) and the result is true; on failure the new socket is
// closed, `socket` is kInvalidSocket and the result false. Any thread.
bool ConnectDirect(uint32_t family, platform::Socket& socket, const platform::SocketAddress& destination,
                   uint32_t timeoutMs = kDirectConnectTimeoutMs,
                   platform::Socket application = platform::kInvalidSocket);

}  // namespace tcp
