// ICMP echo packets as the raw-IP path sees them: the test that picks echo
// requests out of the outbound IPv4 packets, the reply made from a request in
// place, and the reply rebuilt around an ICMP message from a kept header.
//
// IPv4 header (RFC 791, section 3.1), as far as it is read or written here:
//   0 version(4) | header length in words(4)   1 type of service
//   2 total length (big-endian)                8 time to live   9 protocol
//  10 header checksum                         12 source        16 destination
// ICMP echo message (RFC 792), right after the header:
//   0 type (8 request, 0 reply)  1 code  2 checksum  4 identifier  6 sequence
#pragma once

#include <cstddef>
#include <cstdint>

namespace udp {

inline constexpr size_t kIpv4MinHeader = 20;
// The longest IPv4 header the raw-IP path keeps for a pending echo.
inline constexpr size_t kIpv4KeptHeader = 40;
// The longest packet a queued echo holds and the longest reply delivered.
inline constexpr size_t kIcmpPacketRoom = 512;
inline constexpr size_t kIcmpEchoHeader = 8;

inline constexpr size_t kIpv4TypeOfService = 1;
inline constexpr size_t kIpv4TotalLength = 2;
inline constexpr size_t kIpv4Ttl = 8;
inline constexpr size_t kIpv4Protocol = 9;
inline constexpr size_t kIpv4Checksum = 10;
inline constexpr size_t kIpv4Source = 12;
inline constexpr size_t kIpv4Destination = 16;
inline constexpr uint8_t kProtocolIcmp = 1;

inline constexpr size_t kIcmpType = 0;
inline constexpr size_t kIcmpCode = 1;
inline constexpr size_t kIcmpChecksum = 2;
inline constexpr size_t kIcmpEchoKey = 4;  // identifier and sequence
inline constexpr uint8_t kIcmpEchoReply = 0;
inline constexpr uint8_t kIcmpEchoRequest = 8;

// The TTL of a synthesized reply.
inline constexpr uint8_t kReplyTtl = 64;

// The IPv4 header length that byte 0 gives (low nibble times 4); 0 for an
// empty packet.
size_t Ipv4HeaderLength(const uint8_t* packet, size_t length);

// The 4 bytes of an IPv4 address field, as stored (network order).
uint32_t ReadAddress(const uint8_t* field);

// The echo key of an ICMP message: identifier and sequence, the 4 bytes at
// offset 4 read as one value as stored. The message must hold 8 bytes.
uint32_t EchoKeyOf(const uint8_t* message);

// True when `packet` is an IPv4 ICMP echo request that the path may answer:
// version 4, at least 20 bytes, a header length of at least 20, a total
// length not above `length`, type of service 0, protocol 1, at least 8 ICMP
// bytes after the header, type 8 and code 0.
bool IsEchoRequest(const uint8_t* packet, size_t length);

// Turns an echo request (one that passed IsEchoRequest) into its reply in
// place: type and code 0 and a new ICMP checksum over the rest of the packet,
// source and destination swapped, TTL 64, a new header checksum.
void TurnIntoReply(uint8_t* packet, size_t length);

// Builds into `out` (room `outRoom`) the packet that carries the ICMP
// `message` to the application: the request's `header` (`headerLength` bytes)
// with source and destination swapped, its total length set to the new
// packet's, then the message; both checksums computed anew. Returns the
// packet's length, or 0 when it would not fit `outRoom` or 65535 bytes.
size_t BuildReplyPacket(const uint8_t* header, size_t headerLength, const uint8_t* message,
                        size_t messageLength, uint8_t* out, size_t outRoom);

}  // namespace udp
