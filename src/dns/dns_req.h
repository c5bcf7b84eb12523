// DNS_REQ: one intercepted DNS query, copied by value between the
// interception, the resolver's queue and the tables of waiting queries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "drvapi/records.h"
#include "platform/net.h"
#include "rules/rule_answers.h"

namespace dns {

struct DNS_REQ {
  bool isA = true;                          // the question type is A (false: AAAA)
  bool aaaaFromA = false;                   // an AAAA question answered from IPv4 addresses (as ::a.b.c.d)
  bool viaVirtualDns = false;               // sent to the virtual DNS address 8.8.8.1
  bool listed = false;                      // the name has port-map rules
  // The filter file's class of the name.
  rules::DomainClass ruleClass = rules::DomainClass::None;
  uint32_t family = platform::kFamilyIpv4;  // of the DNS server's address (2 or 23)
  uint64_t flowId = 0;                      // the querying UDP flow
  uint16_t dnsId = 0;                       // the query's header ID
  uint64_t queryTimeMs = 0;                 // monotonic milliseconds when intercepted
  std::string name;                         // normalised question name
  platform::SocketAddress remoteAddress;    // the DNS server the query was sent to
  // A copy of the datagram's options (the UdpOptions layout: flags, length,
  // data); empty when it had none.
  std::vector<uint8_t> options;

  const drvapi::UdpOptions* optionsRecord() const {
    return options.empty() ? nullptr : reinterpret_cast<const drvapi::UdpOptions*>(options.data());
  }
  void copyOptions(const drvapi::UdpOptions* record) {
    options.clear();
    if (record == nullptr) return;
    const size_t size = offsetof(drvapi::UdpOptions, data) + record->optionsLength;
    const auto* bytes = reinterpret_cast<const uint8_t*>(record);
    options.assign(bytes, bytes + size);
  }
};

}  // namespace dns
