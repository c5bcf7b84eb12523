// Fuzz target: the rule text given to the engine's configuration (ICMP and
// ping-delay rules), and the same bytes read as a hosts file line set.
#include <cstddef>
#include <cstdint>
#include <string>

#include "rules/rule_lists.h"
#include "rules/validators.h"
#include "tcp/ping_responder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  rules::RuleLists lists([] { return uint32_t{12345}; });
  tcp::PingResponder responder;
  lists.ParseIcmpRules(text);
  lists.IcmpDelayFor(platform::ipv4(10, 1, 2, 3));
  responder.AddRules(lists.ParseDelayRules(text));
  responder.FindDelay(0, platform::hostToNet16(443));

  std::string copy = text;
  rules::IsIpv4Text(copy);
  copy = text;
  rules::IsDomainText(copy);
  copy = text;
  rules::IsIpv6Text(copy);
  uint32_t address = 0;
  uint32_t prefix = 0;
  rules::ParseCidrText(text, address, prefix);
  return 0;
}
