// SOCKS Protocol Version 5 (RFC 1928) and its username/password
// sub-negotiation (RFC 1929), the server's side: the messages a client sends,
// parsed through a bounded reader, and the replies the node builds.
//
// The parsers are incremental: given the bytes received so far they answer
// kNeedMore (wait for more bytes), kMalformed (close the connection) or
// kComplete with the number of bytes the message took, so that bytes a client
// pipelines after a message stay for the next step. Pure functions; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace node {

// Reads fixed-width fields from a byte span and never past its end: every
// read answers false, and leaves the position alone, when the span holds
// fewer bytes than the field needs.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool readU8(uint8_t& value);
  // Two bytes in network order (most significant first).
  bool readU16(uint16_t& value);
  // Four bytes in network order.
  bool readU32(uint32_t& value);
  // `count` bytes; `out` views the reader's span.
  bool readBytes(size_t count, std::span<const uint8_t>& out);

  size_t consumed() const { return position_; }
  size_t remaining() const { return bytes_.size() - position_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
};

enum class ParseStatus { kNeedMore, kMalformed, kComplete };

constexpr uint8_t kSocksVersion = 0x05;
constexpr uint8_t kAuthVersion = 0x01;  // RFC 1929 sub-negotiation version

// Authentication methods (RFC 1928, section 3).
constexpr uint8_t kMethodNoAuthentication = 0x00;
constexpr uint8_t kMethodUserPassword = 0x02;
constexpr uint8_t kMethodNoAcceptable = 0xFF;

// Request commands and address types (RFC 1928, sections 4 and 5).
constexpr uint8_t kCommandConnect = 0x01;
constexpr uint8_t kAddressIpv4 = 0x01;
constexpr uint8_t kAddressDomain = 0x03;
constexpr uint8_t kAddressIpv6 = 0x04;

// Reply codes of a request (RFC 1928, section 6).
constexpr uint8_t kReplySucceeded = 0x00;
constexpr uint8_t kReplyGeneralFailure = 0x01;
constexpr uint8_t kReplyNotAllowed = 0x02;
constexpr uint8_t kReplyNetworkUnreachable = 0x03;
constexpr uint8_t kReplyHostUnreachable = 0x04;
constexpr uint8_t kReplyConnectionRefused = 0x05;
constexpr uint8_t kReplyCommandNotSupported = 0x07;
constexpr uint8_t kReplyAddressTypeNotSupported = 0x08;

// The largest message a client sends before its data: an authentication
// request of two 255-byte fields (1 + 1 + 255 + 1 + 255 bytes).
constexpr size_t kLargestClientMessage = 513;

// The method-selection message (RFC 1928, section 3).
struct Greeting {
  std::vector<uint8_t> methods;
};
// kMalformed: version other than 5 or no methods at all.
ParseStatus parseGreeting(std::span<const uint8_t> bytes, Greeting& greeting, size_t& consumed);

// The username/password request (RFC 1929, section 2).
struct AuthRequest {
  std::string user;
  std::string password;
};
// kMalformed: sub-negotiation version other than 1.
ParseStatus parseAuthRequest(std::span<const uint8_t> bytes, AuthRequest& request, size_t& consumed);

// A request (RFC 1928, section 4). For an address type the node does not
// know, the message's length is unknown: parsing stops after the fixed four
// bytes with kComplete, and the caller answers kReplyAddressTypeNotSupported.
struct Request {
  uint8_t command = 0;
  uint8_t addressType = 0;
  uint32_t ipv4 = 0;  // host order, for kAddressIpv4
  std::array<uint8_t, 16> ipv6{};
  std::string domain;  // for kAddressDomain
  uint16_t port = 0;   // host order
};
// kMalformed: version other than 5, a reserved byte other than 0, or an empty
// domain name.
ParseStatus parseRequest(std::span<const uint8_t> bytes, Request& request, size_t& consumed);

// Replies.
std::array<uint8_t, 2> methodReply(uint8_t method);
std::array<uint8_t, 2> authReply(bool accepted);
// A reply with an IPv4 bound address and port, both in host order.
std::array<uint8_t, 10> requestReply(uint8_t reply, uint32_t boundAddress, uint16_t boundPort);

}  // namespace node
