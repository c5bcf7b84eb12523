// The UDP tunnel's two headers: what the engine puts before every datagram it
// sends to the node's tunnel port, and what the node puts before every reply.
//
// Engine to node, 24 bytes, then the payload:
//
//    0      2      4      6      8             12     14            18     20            24
//   +------+------+------+------+-------------+------+-------------+------+-------------+----
//   |A5 5A | 0    |total |time  |flags 1 (LE) | 0    |userId (BE)  |port  |IPv4 address | payload
//   +------+------+------+------+-------------+------+-------------+------+-------------+----
//   total = payload + 24 (BE); time = low 16 bits of the calendar time in seconds (BE);
//   port and address as they stand in the socket address (network order); port 0 carries
//   an ICMP message instead of a datagram.
//
// Node to engine, 20 bytes, then the payload. The engine reads only:
//   byte 8 bit 1 (0x02): the peer is IPv6 (refused); bytes 14-15 the peer's port
//   (network order, 0 for an ICMP reply); bytes 16-19 the peer's IPv4 address.
//   The other bytes are the node's own.
//
// The node (tools/node) reads the first header and writes the second with the
// same functions, so both ends agree byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace UdpProxy {

#pragma pack(push, 1)
struct TunnelHeader {
  uint8_t magic[2];        // A5 5A
  uint8_t reserved0[2];    // 0
  uint8_t totalLength[2];  // payload + 24, big-endian
  uint8_t timeStamp[2];    // low 16 bits of the time in seconds, big-endian
  uint8_t flags[4];        // 1, little-endian
  uint8_t reserved1[2];    // 0
  uint8_t userId[4];       // big-endian
  uint16_t port;           // network order
  uint32_t address;        // network order
};
struct ReplyHeader {
  uint8_t opaque0[8];
  uint8_t flags;  // 0x02: the peer is IPv6
  uint8_t opaque1[5];
  uint16_t port;     // network order; 0 for an ICMP reply
  uint32_t address;  // network order
};
#pragma pack(pop)
static_assert(sizeof(TunnelHeader) == 24);
static_assert(offsetof(TunnelHeader, totalLength) == 4 && offsetof(TunnelHeader, timeStamp) == 6);
static_assert(offsetof(TunnelHeader, flags) == 8 && offsetof(TunnelHeader, userId) == 14);
static_assert(offsetof(TunnelHeader, port) == 18 && offsetof(TunnelHeader, address) == 20);
static_assert(sizeof(ReplyHeader) == 20);
static_assert(offsetof(ReplyHeader, flags) == 8 && offsetof(ReplyHeader, port) == 14);
static_assert(offsetof(ReplyHeader, address) == 16);

inline constexpr size_t kTunnelHeaderLength = sizeof(TunnelHeader);
inline constexpr size_t kReplyHeaderLength = sizeof(ReplyHeader);
inline constexpr uint8_t kTunnelMagic0 = 0xA5;
inline constexpr uint8_t kTunnelMagic1 = 0x5A;
inline constexpr uint8_t kReplyFlagIpv6 = 0x02;
// The largest datagram a tunnel message can carry: 65535 - 24 would be the
// wire limit, but the engine's send records hold 65087 bytes in all and the
// engine sends at most 65062 payload bytes (a message of 65086 bytes), one
// short of what the record would hold.
inline constexpr size_t kTunnelRecordBuffer = 65087;
inline constexpr size_t kMaxTunnelPayload = 65062;
static_assert(kMaxTunnelPayload + kTunnelHeaderLength < kTunnelRecordBuffer);

// Writes the engine-to-node header and copies the payload behind it into
// `out` (room bytes). Returns the whole message's length, or 0 (nothing
// written) when the room is smaller than length + 24 or the total does not fit
// the 16-bit length field. `portNet` and `addressNet` are in network order;
// `timeSeconds` is the calendar time whose low 16 bits are sent. `payload` may
// be null only when length is 0.
inline size_t BuildTunnelMessage(uint8_t* out, size_t room, uint32_t userId, uint16_t portNet,
                                 uint32_t addressNet, uint64_t timeSeconds, const void* payload,
                                 size_t length) {
  if (length > room || room - length < kTunnelHeaderLength || length + kTunnelHeaderLength > 0xFFFF) return 0;
  const size_t total = length + kTunnelHeaderLength;
  TunnelHeader h{};
  h.magic[0] = kTunnelMagic0;
  h.magic[1] = kTunnelMagic1;
  h.totalLength[0] = static_cast<uint8_t>(total >> 8);
  h.totalLength[1] = static_cast<uint8_t>(total);
  h.timeStamp[0] = static_cast<uint8_t>(timeSeconds >> 8);
  h.timeStamp[1] = static_cast<uint8_t>(timeSeconds);
  h.flags[0] = 1;
  h.userId[0] = static_cast<uint8_t>(userId >> 24);
  h.userId[1] = static_cast<uint8_t>(userId >> 16);
  h.userId[2] = static_cast<uint8_t>(userId >> 8);
  h.userId[3] = static_cast<uint8_t>(userId);
  h.port = portNet;
  h.address = addressNet;
  std::memcpy(out, &h, sizeof h);
  if (length) std::memmove(out + kTunnelHeaderLength, payload, length);
  return total;
}

// What a tunnel message from the engine says (the node's side).
struct TunnelMessage {
  uint32_t userId = 0;
  uint16_t portNet = 0;     // 0: an ICMP message
  uint32_t addressNet = 0;  // destination IPv4 address
  const uint8_t* payload = nullptr;
  size_t length = 0;
};

// Reads an engine-to-node message of `size` bytes. False when it is shorter
// than the header, the magic is wrong, or the total length field disagrees
// with the bytes received (a datagram is never trusted beyond its own size).
inline bool ParseTunnelMessage(const uint8_t* data, size_t size, TunnelMessage& out) {
  if (size < kTunnelHeaderLength) return false;
  TunnelHeader h;
  std::memcpy(&h, data, sizeof h);
  if (h.magic[0] != kTunnelMagic0 || h.magic[1] != kTunnelMagic1) return false;
  const size_t total = (size_t{h.totalLength[0]} << 8) | h.totalLength[1];
  if (total != size) return false;
  out.userId = (uint32_t{h.userId[0]} << 24) | (uint32_t{h.userId[1]} << 16) | (uint32_t{h.userId[2]} << 8) |
               h.userId[3];
  out.portNet = h.port;
  out.addressNet = h.address;
  out.payload = data + kTunnelHeaderLength;
  out.length = size - kTunnelHeaderLength;
  return true;
}

// Writes a node-to-engine reply header for an IPv4 peer before `length`
// payload bytes into `out` (room bytes). Returns the whole length, or 0 when
// it does not fit. Opaque bytes are written as zero.
inline size_t BuildReplyMessage(uint8_t* out, size_t room, uint16_t peerPortNet, uint32_t peerAddressNet,
                                const void* payload, size_t length) {
  if (length > room || room - length < kReplyHeaderLength) return 0;
  ReplyHeader h{};
  h.port = peerPortNet;
  h.address = peerAddressNet;
  std::memcpy(out, &h, sizeof h);
  if (length) std::memmove(out + kReplyHeaderLength, payload, length);
  return length + kReplyHeaderLength;
}

// What a reply from the node says (the engine's side).
struct ReplyMessage {
  uint16_t peerPortNet = 0;  // 0: an ICMP reply
  uint32_t peerAddressNet = 0;
  const uint8_t* payload = nullptr;
  size_t length = 0;
};

// Reads a node-to-engine reply of `size` bytes. False for 20 bytes or fewer
// (nothing to deliver) and for an IPv6 peer, which the engine does not carry.
inline bool ParseReplyMessage(const uint8_t* data, size_t size, ReplyMessage& out) {
  if (size <= kReplyHeaderLength) return false;
  ReplyHeader h;
  std::memcpy(&h, data, sizeof h);
  if (h.flags & kReplyFlagIpv6) return false;
  out.peerPortNet = h.port;
  out.peerAddressNet = h.address;
  out.payload = data + kReplyHeaderLength;
  out.length = size - kReplyHeaderLength;
  return true;
}

}  // namespace UdpProxy
