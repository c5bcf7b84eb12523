// The relay's answerer of the game's own ping message: the delay rules it
// applies, by destination address and port or by host name.
//
// Rules come from the configured rule text (ParseDelayRules) and from DNS
// answers for names that have name rules (OnNameResolved). The relay later
// looks up the rule for a connection's destination when it registers it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>

namespace tcp {

class PingResponder {
 public:
  PingResponder() = default;
  PingResponder(const PingResponder&) = delete;
  PingResponder& operator=(const PingResponder&) = delete;

  // `pingEnabled`: the rules apply only while it is set (the engine sets it
  // at start for the game that uses this ping, clears it at stop). Any thread.
  void SetEnabled(bool enabled) { pingEnabled.store(enabled ? 1 : 0); }
  bool IsEnabled() const { return pingEnabled.load() != 0; }

  // Sets the delay (milliseconds) for `addressNet`:`portNet` (both network
  // order; address 0 = any address), replacing an earlier rule for the same
  // pair. Exclusive address-rule lock. Any thread.
  void AddAddressRule(uint32_t addressNet, uint16_t portNet, uint32_t delay);

  // Sets name rules[name][portNet] = delay, replacing an earlier one.
  // Exclusive name-rule lock. Any thread.
  void AddNameRule(const std::string& name, uint16_t portNet, uint32_t delay);

  // The delay for a destination: the rule for (addressNet, portNet), else the
  // rule for (0, portNet), else nothing. Shared address-rule lock; allocates
  // nothing. Any thread.
  std::optional<uint32_t> FindDelay(uint32_t addressNet, uint16_t portNet) const;

  // A DNS answer for `name` with its IPv4 addresses (network order): when
  // enabled and `name` has name rules, every (port, delay) of it is set as an
  // address rule for every non-zero address (insert or overwrite), under the
  // exclusive address-rule lock. The name lock is released before the
  // address lock is taken. Returns false (the answer is never consumed).
  bool OnNameResolved(const std::string& name, std::span<const uint32_t> addressesNet);

  // Empties the name rules and the address rules, each under its own lock.
  void Clear();

  // Counts, for diagnostics and tests. Shared locks.
  size_t NameRuleCount() const;
  size_t AddressRuleCount() const;

 private:
  // Key of an address rule: (address << 32) | port, both as stored in
  // network byte order.
  static uint64_t AddressKey(uint32_t addressNet, uint16_t portNet) {
    return (uint64_t{addressNet} << 32) | portNet;
  }

  std::atomic<uint8_t> pingEnabled{0};

  mutable std::shared_mutex nameRulesLock;
  std::map<std::string, std::map<uint16_t, uint32_t>> nameRules;

  mutable std::shared_mutex addressRulesLock;
  std::map<uint64_t, uint32_t> addressRules;  // PING_RULE
};

}  // namespace tcp
