#include "ipv4_packet.h"

#include <cstring>

#include "udp/internet_checksum.h"

namespace simdrv {
namespace {

// IPv4 header fields (RFC 791, section 3.1).
constexpr size_t kTotalLength = 2;
constexpr size_t kIdentification = 4;
constexpr size_t kFlagsFragment = 6;
constexpr size_t kTtl = 8;
constexpr size_t kProtocol = 9;
constexpr size_t kHeaderChecksum = 10;
constexpr size_t kSource = 12;
constexpr size_t kDestination = 16;
constexpr uint8_t kDontFragment = 0x40;
constexpr uint8_t kDefaultTtl = 64;
constexpr size_t kMaxPacket = 65535;
// ICMP checksum field (RFC 792).
constexpr size_t kIcmpChecksum = 2;

uint16_t readBig16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void sealHeader(uint8_t* header, size_t headerLength) {
  udp::StoreChecksum(header + kHeaderChecksum, 0);
  udp::StoreChecksum(header + kHeaderChecksum, udp::InternetChecksum(header, headerLength));
}

void sealIcmp(uint8_t* icmp, size_t length) {
  udp::StoreChecksum(icmp + kIcmpChecksum, 0);
  udp::StoreChecksum(icmp + kIcmpChecksum, udp::InternetChecksum(icmp, length));
}

}  // namespace

std::optional<Ipv4View> readIpv4(std::string_view packet) {
  if (packet.size() < kIpv4MinHeader) return std::nullopt;
  const auto* p = reinterpret_cast<const uint8_t*>(packet.data());
  const size_t headerLength = static_cast<size_t>(p[0] & 0x0F) * 4;
  const size_t totalLength = readBig16(p + kTotalLength);
  if ((p[0] >> 4) != 4 || headerLength < kIpv4MinHeader || headerLength > packet.size() ||
      totalLength < headerLength || totalLength > packet.size())
    return std::nullopt;
  Ipv4View view;
  view.headerLength = headerLength;
  view.protocol = p[kProtocol];
  std::memcpy(&view.sourceNet, p + kSource, 4);
  std::memcpy(&view.destinationNet, p + kDestination, 4);
  view.payload = packet.substr(headerLength, totalLength - headerLength);
  return view;
}

std::optional<std::string> icmpPacket(uint32_t sourceNet, uint32_t destinationNet, std::string_view icmp,
                                      uint16_t identification) {
  if (icmp.size() < kIcmpHeader || icmp.size() > kMaxPacket - kIpv4MinHeader) return std::nullopt;
  std::string packet(kIpv4MinHeader + icmp.size(), '\0');
  auto* p = reinterpret_cast<uint8_t*>(packet.data());
  p[0] = 0x45;  // version 4, five words of header
  p[kTotalLength] = static_cast<uint8_t>(packet.size() >> 8);
  p[kTotalLength + 1] = static_cast<uint8_t>(packet.size());
  p[kIdentification] = static_cast<uint8_t>(identification >> 8);
  p[kIdentification + 1] = static_cast<uint8_t>(identification);
  p[kFlagsFragment] = kDontFragment;
  p[kTtl] = kDefaultTtl;
  p[kProtocol] = kProtocolIcmp;
  std::memcpy(p + kSource, &sourceNet, 4);
  std::memcpy(p + kDestination, &destinationNet, 4);
  std::memcpy(p + kIpv4MinHeader, icmp.data(), icmp.size());
  sealIcmp(p + kIpv4MinHeader, icmp.size());
  sealHeader(p, kIpv4MinHeader);
  return packet;
}

std::optional<std::string> echoReplyTo(std::string_view request) {
  if (request.size() < kIpv4MinHeader) return std::nullopt;
  std::string reply(request);
  auto* p = reinterpret_cast<uint8_t*>(reply.data());
  const size_t headerLength = static_cast<size_t>(p[0] & 0x0F) * 4;
  if ((p[0] >> 4) != 4 || headerLength < kIpv4MinHeader || headerLength + kIcmpHeader > reply.size() ||
      p[kProtocol] != kProtocolIcmp || p[headerLength] != kIcmpEchoRequest || p[headerLength + 1] != 0)
    return std::nullopt;
  uint8_t* icmp = p + headerLength;
  icmp[0] = kIcmpEchoReply;
  sealIcmp(icmp, reply.size() - headerLength);
  uint8_t source[4];
  std::memcpy(source, p + kSource, 4);
  std::memcpy(p + kSource, p + kDestination, 4);
  std::memcpy(p + kDestination, source, 4);
  p[kTtl] = kDefaultTtl;
  sealHeader(p, headerLength);
  return reply;
}

}  // namespace simdrv
