// The rule text's ICMP and ping-delay rules, the system hosts file and the
// host-address table.
//
// Rule text: items separated by ';', fields by ',' (empty pieces dropped).
//   ICMP rule:        "10.0.0.0/8,20-40"      network/prefix, min-max delay in ms
//   ping-delay rule:  "mc,30,*.*:443"          delay or min-max, host:port
// Either parser skips the items it does not recognise, so both kinds may be
// mixed in one text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "rules/delay_rule.h"
#include "rules/host_map.h"

namespace rules {

// One ICMP rule; every field unsigned 32-bit.
struct IcmpRule {
  uint32_t network;       // network order, as parsed
  uint32_t prefixLength;  // 1 to 32
  uint32_t mask;          // top prefixLength bits set, network order
  uint32_t minDelay;      // 1 to 1000 ms
  uint32_t maxDelay;      // minDelay to 1000 ms
};

// A source of pseudo-random numbers in [0, 32767] or wider, like rand(). It
// may be called from any thread.
using RandomSource = std::function<uint32_t()>;

class RuleLists {
 public:
  // `random` defaults to the run-time library's rand().
  explicit RuleLists(RandomSource random = {});
  RuleLists(const RuleLists&) = delete;
  RuleLists& operator=(const RuleLists&) = delete;

  // Appends the valid ICMP rules of `text` to the list and re-sorts it by
  // prefix length, longest first, under the exclusive list lock. An item
  // needs exactly two fields: "a.b.c.d/n" with a non-zero address and n 1-32,
  // and "min-max" with 0 < min <= max <= 1000 (compared unsigned). Returns
  // the number of rules this call appended. Caller's thread.
  int32_t ParseIcmpRules(std::string_view text);

  // The delay for an ICMP echo to `destinationNet` (network order): the first
  // rule in list order whose network holds the address decides; the delay is
  // min when min equals max, else min + (random mod (max - min)). Nothing when
  // no rule matches. Shared list lock; any thread.
  std::optional<uint32_t> IcmpDelayFor(uint32_t destinationNet) const;

  // Empties the ICMP list (the stop sequence). Exclusive list lock.
  void ClearIcmpRules();

  // A copy of the list in its order, and its length. Shared list lock.
  std::vector<IcmpRule> IcmpRules() const;
  size_t IcmpRuleListSize() const;

  // Every valid ping-delay rule of `text`, in the text's order (the relay's
  // ping responder takes them; a later rule for the same key replaces an
  // earlier one there). An item needs exactly three fields: "mc"
  // (exactly), a delay ("n", taken as it is, or "min-max" with
  // 0 < min <= max < 500, drawn as described in the .cpp), and "host:port"
  // where host is "*.*" (any address), a domain name or a non-zero IPv4
  // address. Caller's thread.
  std::vector<DelayRule> ParseDelayRules(std::string_view text) const;

  // The hosts file to read; the system one (files.h) unless changed.
  void SetHostsPath(std::filesystem::path path);
  const std::filesystem::path& HostsPath() const { return hostsPath; }

  // Adds the hosts file's entries to `hostMap`: for every line "address name
  // [name...] [# comment]" each name that is a domain name gets the address
  // (IPv4 or IPv6). False when the file is missing or unreadable (nothing
  // added); the caller treats that as an empty file. Caller's thread.
  bool LoadHostsFile(HostMap& hostMap) const;

  // Enters the first IPv4 address of every name of `hostMap` in the
  // host-address table (insert or overwrite); names with IPv6 addresses only
  // are skipped. The table only grows. Exclusive table lock.
  void EnterHostAddresses(const HostMap& hostMap);

  // The IPv4 address (network order) of `name`, byte-wise and case-sensitive,
  // or 0. Shared table lock; any thread.
  uint32_t LookupHostAddress(const std::string& name) const;

 private:
  uint32_t Random() const;

  RandomSource random;
  std::filesystem::path hostsPath;

  mutable std::shared_mutex icmpLock;
  std::vector<IcmpRule> icmpRules;

  mutable std::shared_mutex hostAddressLock;
  std::map<std::string, uint32_t> hostAddresses;
};

}  // namespace rules
