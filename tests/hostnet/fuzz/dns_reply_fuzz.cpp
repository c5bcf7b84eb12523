// Fuzz target: a datagram read as the reply to the look-up client's query.
// The first byte picks the query (A or AAAA); the rest is the reply, read by
// ReadDnsReply. Addresses are added only for an accepted reply, and only
// IPv4 or IPv6 ones.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "hostnet/dns_query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The id and name every seed's question answers.
  uint8_t query[hostnet::kDnsQueryBufferSize];
  const uint16_t type = (data[0] & 1) != 0 ? hostnet::kDnsTypeAaaa : hostnet::kDnsTypeA;
  const size_t queryLength = hostnet::EncodeDnsQuery(0x4C55, type, "game.example.com", query);
  if (queryLength == 0) std::abort();

  std::vector<platform::SocketAddress> addresses;
  const hostnet::DnsReplyVerdict verdict =
      hostnet::ReadDnsReply(query, queryLength, data + 1, size - 1, addresses);
  if (verdict != hostnet::DnsReplyVerdict::Accepted && !addresses.empty()) std::abort();
  for (const platform::SocketAddress& a : addresses)
    if (a.family() != platform::kFamilyIpv4 && a.family() != platform::kFamilyIpv6) std::abort();
  return 0;
}
