#include "tcp/socks5_client.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/owned_socket.h"
#include "platform/time.h"

namespace tcp {

namespace {

using platform::Socket;

// SOCKS5 (RFC 1928) and username/password (RFC 1929) constants.
constexpr uint8_t kSocksVersion = 0x05;
constexpr uint8_t kMethodUserPassword = 0x02;
constexpr uint8_t kAuthVersion = 0x01;
constexpr uint8_t kCommandConnect = 0x01;
constexpr uint8_t kAddressIpv4 = 0x01;
constexpr uint8_t kAddressDomain = 0x03;
constexpr uint8_t kAddressIpv6 = 0x04;

// The authentication message is built in a buffer of this size:
// 1 (version) + 1 + user + 1 + password must fit.
constexpr size_t kMessageBuffer = 256;
constexpr size_t kLongestCredentials = kMessageBuffer - 3;  // 253

int32_t socketErrorDetail() { return static_cast<int32_t>(platform::lastSocketErrorCode()); }

bool retryable(platform::NetError e) {
  return e == platform::NetError::WouldBlock || e == platform::NetError::Interrupted;
}

// One attempt's deadline and its watch on the application's connection. The
// socket is non-blocking while the attempt runs, so every wait is a wait for
// readiness that ends at the deadline.
class Attempt {
 public:
  enum class Outcome { Ready, TimedOut, ApplicationGone, Failed };

  Attempt(Socket socket, Socket application, uint32_t timeoutMs, const std::function<bool()>& stopped)
      : socket_(socket),
        application_(application),
        deadline_(platform::monotonicMs() + timeoutMs),
        stopped_(stopped) {}

  // Waits until the socket is ready for `want` (or in error, which the next
  // call on it reports), the deadline passes, or the application ends.
  Outcome wait(unsigned want) {
    for (;;) {
      const uint64_t now = platform::monotonicMs();
      if (now >= deadline_) return Outcome::TimedOut;
      platform::SocketWait waits[2];
      waits[0].socket = socket_;
      waits[0].want = want;
      waits[1].socket = application_;
      const int count = application_ != platform::kInvalidSocket ? 2 : 1;
      uint32_t slice = static_cast<uint32_t>(deadline_ - now);
      if (stopped_) slice = std::min(slice, kStopCheckMs);
      const int ready = platform::waitSockets(waits, count, slice);
      if (ready < 0) return Outcome::Failed;
      if (ready == 0 && stopped_ && stopped_()) return Outcome::ApplicationGone;
      if (count == 2 && waits[1].ready != 0) {
        // Readable: either the application's first bytes, which stay queued
        // for the relay (and end the watch: they would keep it readable), or
        // its end of stream or failure.
        uint8_t byte;
        const int peeked = platform::peekBytes(application_, &byte, 1);
        if (peeked > 0)
          application_ = platform::kInvalidSocket;
        else if (peeked == 0 || !retryable(platform::lastSocketError()))
          return Outcome::ApplicationGone;
      }
      if (waits[0].ready != 0) return Outcome::Ready;
    }
  }

  // The result for a wait that did not end Ready while `step` was waiting.
  uint32_t failure(Outcome outcome, uint32_t step, int32_t& detail) const {
    switch (outcome) {
      case Outcome::TimedOut:
        detail = static_cast<int32_t>(step);
        return kSocks5TimedOut;
      case Outcome::ApplicationGone:
        detail = 0;
        return kSocks5ApplicationGone;
      default:
        detail = socketErrorDetail();
        return step;
    }
  }

  Socket socket() const { return socket_; }

 private:
  Socket socket_;
  Socket application_;
  uint64_t deadline_;
  const std::function<bool()>& stopped_;
};

// Sends all `length` bytes within the attempt. kSocks5Ok, or `step` (detail:
// the error number), or what Attempt::failure gives.
uint32_t sendAll(Attempt& attempt, const uint8_t* data, size_t length, uint32_t step, int32_t& detail) {
  while (length > 0) {
    const int sent = platform::sendBytes(attempt.socket(), data, length);
    if (sent > 0) {
      data += sent;
      length -= static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && retryable(platform::lastSocketError())) {
      const Attempt::Outcome outcome = attempt.wait(platform::kWritable);
      if (outcome != Attempt::Outcome::Ready) return attempt.failure(outcome, step, detail);
      continue;
    }
    detail = socketErrorDetail();
    return step;
  }
  return kSocks5Ok;
}

// Receives exactly `length` bytes within the attempt, however the node's
// segments split them. kSocks5Ok, or `step` (detail 0 when the node closed
// first, else the error number), or what Attempt::failure gives.
uint32_t receiveExactly(Attempt& attempt, uint8_t* buffer, size_t length, uint32_t step, int32_t& detail) {
  size_t received = 0;
  while (received < length) {
    const int count = platform::receiveBytes(attempt.socket(), buffer + received, length - received);
    if (count > 0) {
      received += static_cast<size_t>(count);
      continue;
    }
    if (count == 0) {
      detail = 0;
      return step;
    }
    if (!retryable(platform::lastSocketError())) {
      detail = socketErrorDetail();
      return step;
    }
    const Attempt::Outcome outcome = attempt.wait(platform::kReadable);
    if (outcome != Attempt::Outcome::Ready) return attempt.failure(outcome, step, detail);
  }
  return kSocks5Ok;
}

// Reads and drops `length` bytes (the bound address of a CONNECT reply).
uint32_t skipExactly(Attempt& attempt, size_t length, uint32_t step, int32_t& detail) {
  std::array<uint8_t, kMessageBuffer> scratch;
  while (length > 0) {
    const size_t piece = std::min(length, scratch.size());
    const uint32_t result = receiveExactly(attempt, scratch.data(), piece, step, detail);
    if (result != kSocks5Ok) return result;
    length -= piece;
  }
  return kSocks5Ok;
}

// The first two bytes of a reply as a little-endian u16: 05 00 gives 5.
int32_t replyDetail(const uint8_t* reply) { return static_cast<int32_t>(reply[0] | (reply[1] << 8)); }

// The three exchanges on a connected, non-blocking socket.
uint32_t handshake(Attempt& attempt, const platform::SocketAddress& destination, std::string_view user,
                   std::string_view password, int32_t& detail) {
  // RFC 1928, section 3: VER 05, NMETHODS 01, METHODS {02}. Reply: VER METHOD.
  const uint8_t greeting[3] = {kSocksVersion, 0x01, kMethodUserPassword};
  uint32_t result = sendAll(attempt, greeting, sizeof greeting, kSocks5GreetingSendFailed, detail);
  if (result != kSocks5Ok) return result;
  uint8_t reply[kMessageBuffer] = {};
  result = receiveExactly(attempt, reply, 2, kSocks5GreetingReceiveFailed, detail);
  if (result != kSocks5Ok) return result;
  // Anything but "user/password chosen" ends here, "no authentication" too:
  // the node must always check the client.
  if (reply[0] != kSocksVersion || reply[1] != kMethodUserPassword) {
    detail = replyDetail(reply);
    return kSocks5Refused;
  }

  // RFC 1929, section 2: VER 01, ULEN, UNAME, PLEN, PASSWD. Reply: VER STATUS.
  uint8_t message[kMessageBuffer];
  size_t length = 0;
  message[length++] = kAuthVersion;
  message[length++] = static_cast<uint8_t>(user.size());
  std::memcpy(message + length, user.data(), user.size());
  length += user.size();
  message[length++] = static_cast<uint8_t>(password.size());
  std::memcpy(message + length, password.data(), password.size());
  length += password.size();
  result = sendAll(attempt, message, length, kSocks5AuthSendFailed, detail);
  if (result != kSocks5Ok) return result;
  result = receiveExactly(attempt, reply, 2, kSocks5AuthReceiveFailed, detail);
  if (result != kSocks5Ok) return result;
  // Only the status byte decides; nodes differ in the version byte they echo.
  if (reply[1] != 0x00) {
    detail = replyDetail(reply);
    return kSocks5Refused;
  }

  // RFC 1928, section 4: VER 05, CMD 01 (CONNECT), RSV 00, ATYP 01, the
  // IPv4 address and port, both already in network order.
  uint8_t request[10] = {kSocksVersion, kCommandConnect, 0x00, kAddressIpv4};
  std::memcpy(request + 4, destination.bytes + 4, 4);
  std::memcpy(request + 8, destination.bytes + 2, 2);
  result = sendAll(attempt, request, sizeof request, kSocks5ConnectSendFailed, detail);
  if (result != kSocks5Ok) return result;

  // RFC 1928, section 6: VER REP RSV ATYP BND.ADDR BND.PORT. The bound
  // address is read and dropped so that the stream starts right after it.
  result = receiveExactly(attempt, reply, 2, kSocks5ConnectReceiveFailed, detail);
  if (result != kSocks5Ok) return result;
  if (reply[0] != kSocksVersion || reply[1] != 0x00) {
    detail = replyDetail(reply);
    return kSocks5ConnectRefused;
  }
  uint8_t tail[2];  // RSV, ATYP
  result = receiveExactly(attempt, tail, 2, kSocks5ConnectReceiveFailed, detail);
  if (result != kSocks5Ok) return result;
  size_t boundLength = 0;
  switch (tail[1]) {
    case kAddressIpv4:
      boundLength = 4 + 2;
      break;
    case kAddressIpv6:
      boundLength = 16 + 2;
      break;
    case kAddressDomain: {
      uint8_t nameLength = 0;
      result = receiveExactly(attempt, &nameLength, 1, kSocks5ConnectReceiveFailed, detail);
      if (result != kSocks5Ok) return result;
      boundLength = size_t{nameLength} + 2;
      break;
    }
    default:
      // An address type without a known length: the reply already said
      // "succeeded", so the connection is used as it stands.
      boundLength = 0;
      break;
  }
  result = skipExactly(attempt, boundLength, kSocks5ConnectReceiveFailed, detail);
  if (result != kSocks5Ok) return result;
  detail = 0;
  return kSocks5Ok;
}

}  // namespace

uint32_t Socks5Connect(uint32_t family, Socket socket, const platform::SocketAddress& destination,
                       uint32_t nodeAddress, uint16_t nodePort, std::string_view user,
                       std::string_view password, int32_t& detail, const ConnectLimits& limits) {
  detail = 0;
  // The CONNECT request below carries an IPv4 address only.
  if (family != platform::kFamilyIpv4 || destination.family() != platform::kFamilyIpv4) {
    return kSocks5FamilyNotSupported;
  }
  // Two one-byte lengths cap each field at 255 bytes, and the whole message
  // must fit its buffer; refuse before touching the node rather than send a
  // truncated or overlong message.
  if (user.size() > 255 || password.size() > 255 || user.size() + password.size() > kLongestCredentials) {
    size_t total = user.size() + password.size();
    detail = static_cast<int32_t>(std::min<size_t>(total, 0x7FFFFFFF));
    return kSocks5CredentialsTooLong;
  }

  uint32_t result = ConnectWithin(socket, platform::makeIpv4Address(nodeAddress, nodePort), limits.connectMs,
                                  limits.application, detail, limits.stopped);
  if (result != kSocks5Ok) return result;
  if (!platform::setNonBlocking(socket, true)) {
    detail = socketErrorDetail();
    return kSocks5GreetingSendFailed;
  }
  Attempt attempt(socket, limits.application, limits.handshakeMs, limits.stopped);
  result = handshake(attempt, destination, user, password, detail);
  if (result == kSocks5Ok) platform::setNonBlocking(socket, false);
  return result;
}

uint32_t ConnectWithin(Socket socket, const platform::SocketAddress& address, uint32_t timeoutMs,
                       Socket application, int32_t& detail, const std::function<bool()>& stopped) {
  detail = 0;
  if (!platform::setNonBlocking(socket, true)) {
    detail = socketErrorDetail();
    return kSocks5NodeConnectFailed;
  }
  uint32_t result = kSocks5Ok;
  if (!platform::connectSocket(socket, address)) {
    const platform::NetError error = platform::lastSocketError();
    if (error != platform::NetError::InProgress && error != platform::NetError::WouldBlock) {
      detail = socketErrorDetail();
      result = kSocks5NodeConnectFailed;
    } else {
      Attempt attempt(socket, application, timeoutMs, stopped);
      const Attempt::Outcome outcome = attempt.wait(platform::kWritable);
      platform::SocketAddress peer;
      if (outcome != Attempt::Outcome::Ready) {
        result = attempt.failure(outcome, kSocks5NodeConnectFailed, detail);
      } else if (platform::pendingSocketError(socket) != platform::NetError::None ||
                 !platform::peerAddressOf(socket, peer)) {
        // The connect failed, or the socket is writable without an error
        // yet not connected: it was shut down under the wait.
        detail = socketErrorDetail();
        result = kSocks5NodeConnectFailed;
      }
    }
  }
  // A failed socket is of no further use and keeps the failing call's error
  // as the thread's last one (setting the mode could overwrite it).
  if (result == kSocks5Ok) platform::setNonBlocking(socket, false);
  return result;
}

bool ConnectDirect(uint32_t family, Socket& socket, const platform::SocketAddress& destination,
                   uint32_t timeoutMs, Socket application) {
  if (family == platform::kFamilyIpv6) return false;
  if (socket != platform::kInvalidSocket) {
    platform::closeSocket(socket);
    socket = platform::kInvalidSocket;
  }
  platform::OwnedSocket direct(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream));
  if (!direct.valid()) return false;
  int32_t detail = 0;
  if (ConnectWithin(direct.get(), destination, timeoutMs, application, detail) != kSocks5Ok) return false;
  socket = direct.release();
  return true;
}

}  // namespace tcp
