// The relay's answerer of the game's own ping message: the delay rules it
// applies, by destination address and port or by host name, and the watches
// of the relayed connections that have a rule.
//
// Rules come from the configured rule text (AddRules) and from DNS
// answers for names that have name rules (OnNameResolved). The relay
// registers each connection when it starts relaying; a connection whose
// destination has a rule is watched: a 10-byte game ping that the client sends
// is forwarded to the node as usual and answered to the client after the
// rule's delay, and the node's identical answer is dropped.
//
// A ping message is exactly 10 bytes: 09 01 00 00 00 00 and any four bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>

#include "platform/net.h"
#include "rules/delay_rule.h"

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

  // Adds each rule of the configured rule text in order, as AddNameRule or
  // AddAddressRule. Any thread.
  void AddRules(std::span<const rules::DelayRule> rules);

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

  // Starts watching relayed connection `id` when enabled, `destination` is
  // IPv4 and a rule exists for it (or for any address on its port). A second
  // registration of the same id changes nothing. Relay threads.
  void Register(uint64_t id, platform::Socket clientSocket, const platform::SocketAddress& destination);

  // The client sent `length` bytes (as sent to the node; `transformed` when
  // they were blurred on the way). When they are a ping of a watched
  // connection: remembers it, waits the delay (at most 500 ms, on the
  // calling relay thread, no lock held), answers the client with the
  // untransformed 10 bytes and returns true. Otherwise false at once.
  bool OnUpstream(uint64_t id, const uint8_t* bytes, int length, bool transformed);

  // The node sent `length` bytes: true when they equal the ping that this
  // connection is waiting for (the caller drops them); the wait ends.
  bool OnDownstream(uint64_t id, const uint8_t* bytes, int length);

  // Stops watching `id`.
  void Unregister(uint64_t id);

  // Empties the name rules, the address rules and the watches, each under
  // its own lock.
  void Clear();

  // The clock and the sleep of the ping wait (tests replace them): seconds
  // of the calendar clock, and a sleep in milliseconds.
  void SetClockForTesting(std::function<uint32_t()> nowSeconds, std::function<void(uint32_t)> sleepMs);

  // The wait for a ping with `delay` at calendar second `t`: the delay
  // shifted by a jitter of (t mod max(delay / 10, 1)), at most the delay,
  // upwards on odd seconds and downwards on even ones, and never above 500.
  static uint32_t PingWait(uint32_t delay, uint32_t t);

  size_t WatchCount() const;

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

  struct PING_WATCH {
    uint64_t id = 0;
    platform::Socket clientSocket = platform::kInvalidSocket;
    platform::SocketAddress destination;
    uint8_t pending[10] = {};  // all zero while no ping is outstanding
    uint32_t delay = 0;
  };
  mutable std::mutex watchesLock;
  std::map<uint64_t, PING_WATCH> watches;

  std::function<uint32_t()> nowSeconds;
  std::function<void(uint32_t)> sleepFor;
};

}  // namespace tcp
