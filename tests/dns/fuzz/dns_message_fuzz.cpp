// Fuzz target: any datagram through the DNS message reader. A parse never
// reads outside the input (the sanitizers watch), and what it returns holds
// together: answers come only with a name and are IPv4 or IPv6 addresses; a
// response the engine would build from the parse fits one message and reads
// back with the same id and question type.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "dns/dns_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that a read past the end is one past the buffer.
  std::vector<uint8_t> copy(data, data + size);
  const dns::DnsMessage m = dns::ParseDnsMessage(copy.empty() ? nullptr : copy.data(), copy.size());
  if (!m.answers.empty() && m.name.empty()) std::abort();
  for (const dns::SocketAddress28& a : m.answers)
    if (a.family() != platform::kFamilyIpv4 && a.family() != platform::kFamilyIpv6) std::abort();
  if (m.name.empty()) return 0;
  const std::vector<uint8_t> built = dns::BuildDnsResponse(m.id, m.name, m.isA, m.answers);
  if (built.empty()) return 0;  // a name labels cannot carry (a dot inside a label, say)
  if (built.size() > dns::kMaxMessageSize) std::abort();
  const dns::DnsMessage back = dns::ParseDnsMessage(built.data(), built.size());
  if (back.id != m.id || back.isA != m.isA || !back.isResponse) std::abort();
  if (back.answers.size() > m.answers.size()) std::abort();
  return 0;
}
