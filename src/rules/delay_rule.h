// One ping-delay rule of the rule text ("mc,30,*.*:443"), as the parser hands
// it to the relay's ping responder.
#pragma once

#include <cstdint>
#include <string>

namespace rules {

struct DelayRule {
  // A name rule when set (it applies once a DNS answer resolves the name);
  // otherwise an address rule.
  std::string name;
  uint32_t addressNet = 0;  // network order; 0 = any address
  uint16_t portNet = 0;     // network order
  uint32_t delay = 0;       // milliseconds
};

}  // namespace rules
