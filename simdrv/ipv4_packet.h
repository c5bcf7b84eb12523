// IPv4 packets (RFC 791) as the driver shows them in raw-IP records, and the
// ICMP echo (RFC 792) inside them: read, built, and answered, with both
// checksums (RFC 1071) valid. Shared by the live raw-IP mode and the capture
// server, which turns a program's ping into the packet a driver would see.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace simdrv {

inline constexpr size_t kIpv4MinHeader = 20;
inline constexpr uint8_t kProtocolIcmp = 1;
inline constexpr uint8_t kIcmpEchoReply = 0;
inline constexpr uint8_t kIcmpEchoRequest = 8;
inline constexpr size_t kIcmpHeader = 8;

// What a packet says about itself. `payload` points into the packet.
struct Ipv4View {
  size_t headerLength = 0;
  uint8_t protocol = 0;
  uint32_t sourceNet = 0;       // network order
  uint32_t destinationNet = 0;  // network order
  std::string_view payload;     // up to the header's total length
};

// The header of `packet`: version 4, a header length of 20 to 60 bytes that
// the packet holds, a total length no larger than the packet (the payload
// ends there). nullopt for anything else.
std::optional<Ipv4View> readIpv4(std::string_view packet);

// An IPv4 packet from `sourceNet` to `destinationNet` carrying the ICMP
// message `icmp` (at least its 8-byte header): a 20-byte header, TTL 64,
// don't-fragment, `identification`; the message's checksum is computed
// afresh (a ping socket's caller leaves it to the system) and so is the
// header's. nullopt when the message is shorter than 8 bytes or the packet
// would exceed 65535 bytes.
std::optional<std::string> icmpPacket(uint32_t sourceNet, uint32_t destinationNet, std::string_view icmp,
                                      uint16_t identification = 0);

// The echo reply a host at the request's destination sends (addresses
// swapped, type 0, TTL 64, both checksums valid), or nothing when `request`
// is not a well-formed IPv4 echo request.
std::optional<std::string> echoReplyTo(std::string_view request);

}  // namespace simdrv
