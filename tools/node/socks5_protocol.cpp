#include "socks5_protocol.h"

#include <algorithm>

namespace node {

bool ByteReader::readU8(uint8_t& value) {
  if (remaining() < 1) return false;
  value = bytes_[position_++];
  return true;
}

bool ByteReader::readU16(uint16_t& value) {
  if (remaining() < 2) return false;
  value = static_cast<uint16_t>((bytes_[position_] << 8) | bytes_[position_ + 1]);
  position_ += 2;
  return true;
}

bool ByteReader::readU32(uint32_t& value) {
  if (remaining() < 4) return false;
  value = (static_cast<uint32_t>(bytes_[position_]) << 24) | (static_cast<uint32_t>(bytes_[position_ + 1]) << 16) |
          (static_cast<uint32_t>(bytes_[position_ + 2]) << 8) | static_cast<uint32_t>(bytes_[position_ + 3]);
  position_ += 4;
  return true;
}

bool ByteReader::readBytes(size_t count, std::span<const uint8_t>& out) {
  if (remaining() < count) return false;
  out = bytes_.subspan(position_, count);
  position_ += count;
  return true;
}

// RFC 1928, section 3, method selection:
//   +----+----------+----------+
//   |VER | NMETHODS | METHODS  |
//   +----+----------+----------+
//   | 1  |    1     | 1 to 255 |
//   +----+----------+----------+
ParseStatus parseGreeting(std::span<const uint8_t> bytes, Greeting& greeting, size_t& consumed) {
  ByteReader reader(bytes);
  uint8_t version = 0;
  uint8_t count = 0;
  if (!reader.readU8(version)) return ParseStatus::kNeedMore;
  if (version != kSocksVersion) return ParseStatus::kMalformed;
  if (!reader.readU8(count)) return ParseStatus::kNeedMore;
  if (count == 0) return ParseStatus::kMalformed;
  std::span<const uint8_t> methods;
  if (!reader.readBytes(count, methods)) return ParseStatus::kNeedMore;
  greeting.methods.assign(methods.begin(), methods.end());
  consumed = reader.consumed();
  return ParseStatus::kComplete;
}

// RFC 1929, section 2, username/password request:
//   +----+------+----------+------+----------+
//   |VER | ULEN |  UNAME   | PLEN |  PASSWD  |
//   +----+------+----------+------+----------+
//   | 1  |  1   | 1 to 255 |  1   | 1 to 255 |
//   +----+------+----------+------+----------+
// Empty fields are read as empty texts; whether they match is the caller's
// decision.
ParseStatus parseAuthRequest(std::span<const uint8_t> bytes, AuthRequest& request, size_t& consumed) {
  ByteReader reader(bytes);
  uint8_t version = 0;
  uint8_t length = 0;
  std::span<const uint8_t> user;
  std::span<const uint8_t> password;
  if (!reader.readU8(version)) return ParseStatus::kNeedMore;
  if (version != kAuthVersion) return ParseStatus::kMalformed;
  if (!reader.readU8(length) || !reader.readBytes(length, user)) return ParseStatus::kNeedMore;
  if (!reader.readU8(length) || !reader.readBytes(length, password)) return ParseStatus::kNeedMore;
  request.user.assign(user.begin(), user.end());
  request.password.assign(password.begin(), password.end());
  consumed = reader.consumed();
  return ParseStatus::kComplete;
}

// RFC 1928, section 4, request:
//   +----+-----+-------+------+----------+----------+
//   |VER | CMD |  RSV  | ATYP | DST.ADDR | DST.PORT |
//   +----+-----+-------+------+----------+----------+
//   | 1  |  1  | X'00' |  1   | Variable |    2     |
//   +----+-----+-------+------+----------+----------+
// DST.ADDR by ATYP (section 5): 01 four bytes; 03 one length byte and that
// many bytes of name (no terminating NUL); 04 sixteen bytes.
ParseStatus parseRequest(std::span<const uint8_t> bytes, Request& request, size_t& consumed) {
  ByteReader reader(bytes);
  uint8_t version = 0;
  uint8_t reserved = 0;
  if (!reader.readU8(version)) return ParseStatus::kNeedMore;
  if (version != kSocksVersion) return ParseStatus::kMalformed;
  if (!reader.readU8(request.command) || !reader.readU8(reserved)) return ParseStatus::kNeedMore;
  if (reserved != 0) return ParseStatus::kMalformed;
  if (!reader.readU8(request.addressType)) return ParseStatus::kNeedMore;
  switch (request.addressType) {
    case kAddressIpv4:
      if (!reader.readU32(request.ipv4)) return ParseStatus::kNeedMore;
      break;
    case kAddressDomain: {
      uint8_t length = 0;
      std::span<const uint8_t> name;
      if (!reader.readU8(length)) return ParseStatus::kNeedMore;
      if (length == 0) return ParseStatus::kMalformed;
      if (!reader.readBytes(length, name)) return ParseStatus::kNeedMore;
      request.domain.assign(name.begin(), name.end());
      break;
    }
    case kAddressIpv6: {
      std::span<const uint8_t> address;
      if (!reader.readBytes(16, address)) return ParseStatus::kNeedMore;
      std::copy(address.begin(), address.end(), request.ipv6.begin());
      break;
    }
    default:
      // The length of an unknown address cannot be known: stop here.
      consumed = reader.consumed();
      return ParseStatus::kComplete;
  }
  if (!reader.readU16(request.port)) return ParseStatus::kNeedMore;
  consumed = reader.consumed();
  return ParseStatus::kComplete;
}

// RFC 1928, section 3: VER METHOD.
std::array<uint8_t, 2> methodReply(uint8_t method) { return {kSocksVersion, method}; }

// RFC 1929, section 2: VER STATUS; X'00' success, anything else failure.
std::array<uint8_t, 2> authReply(bool accepted) { return {kAuthVersion, static_cast<uint8_t>(accepted ? 0x00 : 0x01)}; }

// RFC 1928, section 6: VER REP RSV ATYP BND.ADDR BND.PORT, IPv4 form.
std::array<uint8_t, 10> requestReply(uint8_t reply, uint32_t boundAddress, uint16_t boundPort) {
  return {kSocksVersion,
          reply,
          0x00,
          kAddressIpv4,
          static_cast<uint8_t>(boundAddress >> 24),
          static_cast<uint8_t>(boundAddress >> 16),
          static_cast<uint8_t>(boundAddress >> 8),
          static_cast<uint8_t>(boundAddress),
          static_cast<uint8_t>(boundPort >> 8),
          static_cast<uint8_t>(boundPort)};
}

}  // namespace node
