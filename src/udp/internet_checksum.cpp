#include "udp/internet_checksum.h"

namespace udp {

uint16_t InternetChecksum(const uint8_t* data, size_t length) {
  // A 64-bit accumulator cannot overflow for any packet an IPv4 length field
  // can describe; the carries are folded back once at the end.
  uint64_t sum = 0;
  size_t i = 0;
  for (; i + 1 < length; i += 2) sum += (uint32_t{data[i]} << 8) | data[i + 1];
  if (i < length) sum += uint32_t{data[i]} << 8;
  while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

}  // namespace udp
