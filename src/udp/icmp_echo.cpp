#include "udp/icmp_echo.h"

#include <cstring>

#include "udp/internet_checksum.h"

namespace udp {

namespace {

void swapAddresses(uint8_t* header) {
  uint8_t source[4];
  std::memcpy(source, header + kIpv4Source, sizeof source);
  std::memmove(header + kIpv4Source, header + kIpv4Destination, sizeof source);
  std::memcpy(header + kIpv4Destination, source, sizeof source);
}

void checksumHeader(uint8_t* header, size_t headerLength) {
  StoreChecksum(header + kIpv4Checksum, 0);
  StoreChecksum(header + kIpv4Checksum, InternetChecksum(header, headerLength));
}

void checksumMessage(uint8_t* message, size_t length) {
  StoreChecksum(message + kIcmpChecksum, 0);
  StoreChecksum(message + kIcmpChecksum, InternetChecksum(message, length));
}

}  // namespace

size_t Ipv4HeaderLength(const uint8_t* packet, size_t length) {
  return length == 0 ? 0 : static_cast<size_t>(packet[0] & 0x0F) * 4;
}

uint32_t ReadAddress(const uint8_t* field) {
  uint32_t value;
  std::memcpy(&value, field, sizeof value);
  return value;
}

uint32_t EchoKeyOf(const uint8_t* message) { return ReadAddress(message + kIcmpEchoKey); }

bool IsEchoRequest(const uint8_t* packet, size_t length) {
  if (length < kIpv4MinHeader || (packet[0] >> 4) != 4) return false;
  const size_t headerLength = Ipv4HeaderLength(packet, length);
  if (headerLength < kIpv4MinHeader) return false;
  const size_t totalLength = (size_t{packet[kIpv4TotalLength]} << 8) | packet[kIpv4TotalLength + 1];
  if (totalLength > length) return false;
  // A prioritised ping is a probe of the path itself: it goes as it is.
  if (packet[kIpv4TypeOfService] != 0) return false;
  if (packet[kIpv4Protocol] != kProtocolIcmp) return false;
  // The header length is the sender's word; the ICMP bytes must really follow it.
  if (headerLength > length || length - headerLength < kIcmpEchoHeader) return false;
  const uint8_t* message = packet + headerLength;
  return message[kIcmpType] == kIcmpEchoRequest && message[kIcmpCode] == 0;
}

void TurnIntoReply(uint8_t* packet, size_t length) {
  const size_t headerLength = Ipv4HeaderLength(packet, length);
  uint8_t* message = packet + headerLength;
  message[kIcmpType] = kIcmpEchoReply;
  message[kIcmpCode] = 0;
  checksumMessage(message, length - headerLength);
  swapAddresses(packet);
  packet[kIpv4Ttl] = kReplyTtl;
  checksumHeader(packet, headerLength);
}

size_t BuildReplyPacket(const uint8_t* header, size_t headerLength, const uint8_t* message,
                        size_t messageLength, uint8_t* out, size_t outRoom) {
  const size_t total = headerLength + messageLength;
  if (headerLength < kIpv4MinHeader || messageLength < kIcmpEchoHeader || total > outRoom || total > 0xFFFF)
    return 0;
  std::memcpy(out, header, headerLength);
  std::memcpy(out + headerLength, message, messageLength);
  swapAddresses(out);
  // The reply's message may be longer or shorter than the request's: the
  // header must describe the packet it now heads.
  out[kIpv4TotalLength] = static_cast<uint8_t>(total >> 8);
  out[kIpv4TotalLength + 1] = static_cast<uint8_t>(total);
  checksumMessage(out + headerLength, messageLength);
  checksumHeader(out, headerLength);
  return total;
}

}  // namespace udp
