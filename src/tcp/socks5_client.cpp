#include "tcp/socks5_client.h"

#include <algorithm>
#include <array>
#include <cstring>

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

// Sends all `length` bytes; a blocking send that takes only part of them is
// continued rather than treated as done.
bool sendAll(Socket socket, const uint8_t* data, size_t length) {
  while (length > 0) {
    int sent = platform::sendBytes(socket, data, length);
    if (sent <= 0) {
      if (sent < 0 && platform::lastSocketError() == platform::NetError::Interrupted) continue;
      return false;
    }
    data += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// Receives exactly `length` bytes, however the node's segments split them.
// False when the node closed first (detail 0) or the receive failed (detail:
// its error number).
bool receiveExactly(Socket socket, uint8_t* buffer, size_t length, int32_t& detail) {
  size_t received = 0;
  while (received < length) {
    int count = platform::receiveBytes(socket, buffer + received, length - received);
    if (count == 0) {
      detail = 0;
      return false;
    }
    if (count < 0) {
      if (platform::lastSocketError() == platform::NetError::Interrupted) continue;
      detail = socketErrorDetail();
      return false;
    }
    received += static_cast<size_t>(count);
  }
  return true;
}

// Reads and drops `length` bytes (the bound address of a CONNECT reply).
bool skipExactly(Socket socket, size_t length, int32_t& detail) {
  std::array<uint8_t, kMessageBuffer> scratch;
  while (length > 0) {
    size_t piece = std::min(length, scratch.size());
    if (!receiveExactly(socket, scratch.data(), piece, detail)) return false;
    length -= piece;
  }
  return true;
}

// The first two bytes of a reply as a little-endian u16: 05 00 gives 5.
int32_t replyDetail(const uint8_t* reply) { return static_cast<int32_t>(reply[0] | (reply[1] << 8)); }

}  // namespace

uint32_t Socks5Connect(uint32_t family, Socket socket, const platform::SocketAddress& destination,
                       uint32_t nodeAddress, uint16_t nodePort, std::string_view user, std::string_view password,
                       int32_t& detail) {
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

  if (!platform::connectSocket(socket, platform::makeIpv4Address(nodeAddress, nodePort))) {
    detail = socketErrorDetail();
    return kSocks5NodeConnectFailed;
  }

  // RFC 1928, section 3: VER 05, NMETHODS 01, METHODS {02}. Reply: VER METHOD.
  const uint8_t greeting[3] = {kSocksVersion, 0x01, kMethodUserPassword};
  if (!sendAll(socket, greeting, sizeof greeting)) {
    detail = socketErrorDetail();
    return kSocks5GreetingSendFailed;
  }
  uint8_t reply[kMessageBuffer] = {};
  if (!receiveExactly(socket, reply, 2, detail)) return kSocks5GreetingReceiveFailed;
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
  if (!sendAll(socket, message, length)) {
    detail = socketErrorDetail();
    return kSocks5AuthSendFailed;
  }
  if (!receiveExactly(socket, reply, 2, detail)) return kSocks5AuthReceiveFailed;
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
  if (!sendAll(socket, request, sizeof request)) {
    detail = socketErrorDetail();
    return kSocks5ConnectSendFailed;
  }

  // RFC 1928, section 6: VER REP RSV ATYP BND.ADDR BND.PORT. The bound
  // address is read and dropped so that the stream starts right after it.
  if (!receiveExactly(socket, reply, 2, detail)) return kSocks5ConnectReceiveFailed;
  if (reply[0] != kSocksVersion || reply[1] != 0x00) {
    detail = replyDetail(reply);
    return kSocks5ConnectRefused;
  }
  uint8_t tail[2];  // RSV, ATYP
  if (!receiveExactly(socket, tail, 2, detail)) return kSocks5ConnectReceiveFailed;
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
      if (!receiveExactly(socket, &nameLength, 1, detail)) return kSocks5ConnectReceiveFailed;
      boundLength = size_t{nameLength} + 2;
      break;
    }
    default:
      // An address type without a known length: the reply already said
      // "succeeded", so the connection is used as it stands.
      boundLength = 0;
      break;
  }
  if (!skipExactly(socket, boundLength, detail)) return kSocks5ConnectReceiveFailed;
  detail = 0;
  return kSocks5Ok;
}

bool ConnectDirect(uint32_t family, Socket& socket, const platform::SocketAddress& destination) {
  if (family == platform::kFamilyIpv6) return false;
  if (socket != platform::kInvalidSocket) {
    platform::closeSocket(socket);
    socket = platform::kInvalidSocket;
  }
  Socket direct = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
  if (direct == platform::kInvalidSocket) return false;
  if (!platform::connectSocket(direct, destination)) {
    platform::closeSocket(direct);
    return false;
  }
  socket = direct;
  return true;
}

}  // namespace tcp
