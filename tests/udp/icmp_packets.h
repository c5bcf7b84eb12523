// IPv4 echo requests as a pinging program builds them, and the check of an
// echo reply by a checksum written apart from the engine's (used by the ICMP
// unit tests and the end-to-end pings).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/net.h"
#include "udp/internet_checksum.h"

namespace lumotest {

using Bytes = std::vector<uint8_t>;

// The 16-bit one's complement sum folded after every word: 0xFFFF over data
// that carries a correct checksum.
inline uint16_t onesComplementSum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; i += 2) {
    sum += (i + 1 < length) ? (data[i] * 256u + data[i + 1]) : data[i] * 256u;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<uint16_t>(sum);
}

// An echo request from 192.0.2.10 to `destinationNet` (TTL 128), identifier
// and sequence as given, `payload` bytes of 0xA5 after the 8-byte ICMP
// header; `headerLength` 20 to 60 (options filled with no-operation bytes).
inline Bytes echoRequest(uint32_t destinationNet, uint16_t identifier, uint16_t sequence, size_t payload = 32,
                         size_t headerLength = 20, uint8_t typeOfService = 0) {
  Bytes p(headerLength + 8 + payload, 0xA5);
  std::memset(p.data(), 1, headerLength);
  std::memset(p.data() + 4, 0, 8);
  p[0] = static_cast<uint8_t>(0x40 | (headerLength / 4));
  p[1] = typeOfService;
  p[2] = static_cast<uint8_t>(p.size() >> 8);
  p[3] = static_cast<uint8_t>(p.size());
  p[8] = 128;
  p[9] = 1;
  const uint32_t source = platform::ipv4(192, 0, 2, 10);
  std::memcpy(&p[12], &source, 4);
  std::memcpy(&p[16], &destinationNet, 4);
  uint8_t* icmp = &p[headerLength];
  icmp[0] = 8, icmp[1] = 0, icmp[2] = 0, icmp[3] = 0;
  icmp[4] = static_cast<uint8_t>(identifier >> 8), icmp[5] = static_cast<uint8_t>(identifier);
  icmp[6] = static_cast<uint8_t>(sequence >> 8), icmp[7] = static_cast<uint8_t>(sequence);
  udp::StoreChecksum(icmp + 2, udp::InternetChecksum(icmp, p.size() - headerLength));
  udp::StoreChecksum(&p[10], udp::InternetChecksum(p.data(), headerLength));
  return p;
}

// A reply as the application must see it: from the address pinged to the
// requester, TTL as given (0: not looked at), an echo reply whose identifier,
// sequence and payload are the request's, both checksums valid.
inline void expectValidReply(const Bytes& reply, const Bytes& request, uint8_t ttl = 0) {
  const size_t h = (request[0] & 0x0F) * 4u;
  ASSERT_EQ(reply.size(), request.size());
  EXPECT_TRUE(std::equal(reply.begin() + 12, reply.begin() + 16, request.begin() + 16))
      << "from the address pinged";
  EXPECT_TRUE(std::equal(reply.begin() + 16, reply.begin() + 20, request.begin() + 12)) << "to the requester";
  if (ttl != 0) {
    EXPECT_EQ(reply[8], ttl);
  }
  EXPECT_EQ(reply[2] * 256 + reply[3], static_cast<int>(reply.size()));
  EXPECT_EQ(onesComplementSum(reply.data(), h), 0xFFFF) << "header checksum";
  EXPECT_EQ(onesComplementSum(reply.data() + h, reply.size() - h), 0xFFFF) << "ICMP checksum";
  EXPECT_EQ(reply[h], 0);
  EXPECT_EQ(reply[h + 1], 0);
  EXPECT_TRUE(std::equal(reply.begin() + h + 4, reply.end(), request.begin() + h + 4))
      << "id, sequence, payload";
}

}  // namespace lumotest
