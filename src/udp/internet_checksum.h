// The Internet checksum (RFC 1071) of the IPv4 header and of ICMP messages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace udp {

// The one's complement of the one's complement sum of `data` read as
// big-endian 16-bit words; an odd last byte counts as the high byte of a word
// whose low byte is 0 (RFC 1071, section 4.1). The result is the value of the
// checksum field as a big-endian word: store it high byte first. Computed
// over data whose checksum field holds 0 it is the checksum to write; over
// data that carries a correct checksum it is 0. Any thread.
uint16_t InternetChecksum(const uint8_t* data, size_t length);

// Writes `value` at `field` high byte first.
inline void StoreChecksum(uint8_t* field, uint16_t value) {
  field[0] = static_cast<uint8_t>(value >> 8);
  field[1] = static_cast<uint8_t>(value);
}

}  // namespace udp
