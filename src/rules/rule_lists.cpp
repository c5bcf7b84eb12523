#include "rules/rule_lists.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "platform/files.h"
#include "rules/address_text.h"
#include "rules/decimal.h"
#include "rules/text_split.h"
#include "rules/validators.h"

namespace rules {
namespace {

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The runs of non-white-space characters of a hosts-file line.
std::vector<std::string> tokens(std::string_view line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isSpace(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !isSpace(line[i])) ++i;
    if (i > start) out.emplace_back(line.substr(start, i - start));
  }
  return out;
}

}  // namespace

RuleLists::RuleLists(RandomSource source)
    : random(std::move(source)), hostsPath(platform::systemHostsPath()) {}

uint32_t RuleLists::Random() const {
  if (random) return random();
  return static_cast<uint32_t>(std::rand());
}

int32_t RuleLists::ParseIcmpRules(std::string_view text) {
  std::unique_lock lock(icmpLock);
  int32_t accepted = 0;
  for (std::string_view item : SplitDropEmpty(text, ';')) {
    std::vector<std::string_view> fields = SplitDropEmpty(item, ',');
    if (fields.size() != 2) continue;
    std::vector<std::string_view> range = SplitDropEmpty(fields[1], '-');
    if (range.size() != 2) continue;
    // Negative numbers become large unsigned values and fail the bound.
    uint32_t minDelay = static_cast<uint32_t>(ReadDecimal(range[0]));
    uint32_t maxDelay = static_cast<uint32_t>(ReadDecimal(range[1]));
    if (minDelay == 0 || maxDelay < minDelay || maxDelay > 1000) continue;
    uint32_t network = 0;
    uint32_t prefix = 0;
    if (!ParseCidrText(std::string(fields[0]), network, prefix)) continue;
    if (network == 0 || prefix < 1 || prefix > 32) continue;
    uint32_t hostMask = prefix == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix);
    icmpRules.push_back(IcmpRule{network, prefix, platform::hostToNet32(hostMask), minDelay, maxDelay});
    ++accepted;
  }
  // The look-up stops at the first match, so the most specific rule must
  // come first.
  std::stable_sort(icmpRules.begin(), icmpRules.end(),
                   [](const IcmpRule& a, const IcmpRule& b) { return a.prefixLength > b.prefixLength; });
  return accepted;
}

std::optional<uint32_t> RuleLists::IcmpDelayFor(uint32_t destinationNet) const {
  std::shared_lock lock(icmpLock);
  for (const IcmpRule& rule : icmpRules) {
    if (((rule.network ^ destinationNet) & rule.mask) != 0) continue;
    if (rule.minDelay == rule.maxDelay) return rule.minDelay;
    return rule.minDelay + Random() % (rule.maxDelay - rule.minDelay);
  }
  return std::nullopt;
}

void RuleLists::ClearIcmpRules() {
  std::unique_lock lock(icmpLock);
  icmpRules.clear();
}

std::vector<IcmpRule> RuleLists::IcmpRules() const {
  std::shared_lock lock(icmpLock);
  return icmpRules;
}

size_t RuleLists::IcmpRuleListSize() const {
  std::shared_lock lock(icmpLock);
  return icmpRules.size();
}

std::vector<DelayRule> RuleLists::ParseDelayRules(std::string_view text) const {
  std::vector<DelayRule> rules;
  for (std::string_view item : SplitDropEmpty(text, ';')) {
    std::vector<std::string_view> fields = SplitDropEmpty(item, ',');
    if (fields.size() != 3 || fields[0] != "mc") continue;

    std::vector<std::string_view> range = SplitDropEmpty(fields[1], '-');
    uint32_t delay = 0;
    if (range.size() == 1) {
      delay = static_cast<uint32_t>(ReadDecimal(range[0]));
    } else if (range.size() == 2) {
      int32_t minDelay = ReadDecimal(range[0]);
      int32_t maxDelay = ReadDecimal(range[1]);
      if (minDelay <= 0 || maxDelay < minDelay || maxDelay >= 500) continue;
      if (minDelay == maxDelay) {
        delay = static_cast<uint32_t>(minDelay);
      } else {
        // Half of the draws sit at the middle of the range, the other half
        // spread below it: the middle minus a random part of half the width.
        int32_t half = std::max<int32_t>(1, (maxDelay - minDelay) / 2);
        uint32_t r1 = Random();
        uint32_t r2 = Random();
        int32_t middle = (minDelay + maxDelay) / 2;
        delay = static_cast<uint32_t>(r2 % 2 == 0 ? middle - static_cast<int32_t>(r1 % uint32_t(half)) : middle);
      }
    } else {
      continue;
    }

    // host:port keeps empty parts: ":80" is an empty host, "host:" port 0.
    std::vector<std::string_view> hostPort = SplitKeepEmpty(fields[2], ':');
    if (hostPort.size() != 2) continue;
    uint16_t port = platform::hostToNet16(static_cast<uint16_t>(ReadDecimal(hostPort[1])));
    std::string host(hostPort[0]);
    if (host == "*.*") {
      rules.push_back(DelayRule{{}, 0, port, delay});
      continue;
    }
    std::string name = host;
    if (IsDomainText(name) && !name.empty()) {
      rules.push_back(DelayRule{std::move(name), 0, port, delay});
      continue;
    }
    std::string address = host;
    if (IsIpv4Text(address)) {
      uint32_t addressNet = ClassicInetAddr(address);
      if (addressNet != 0) rules.push_back(DelayRule{{}, addressNet, port, delay});
    }
  }
  return rules;
}

void RuleLists::SetHostsPath(std::filesystem::path path) { hostsPath = std::move(path); }

bool RuleLists::LoadHostsFile(HostMap& hostMap) const {
  std::string contents;
  if (hostsPath.empty() || !platform::readWholeFile(hostsPath, contents)) return false;
  for (std::string_view line : SplitLines(contents)) {
    if (line.front() == '#') continue;
    std::vector<std::string> words = tokens(line);
    if (words.size() < 2) continue;
    std::string addressText = words[0];
    std::string ipv6Text = words[0];
    if (!IsIpv4Text(addressText) && !IsIpv6Text(ipv6Text)) continue;

    std::vector<std::string> names;
    for (size_t k = 1; k < words.size(); ++k) {
      if (words[k].front() == '#') break;
      std::string name = words[k];
      if (IsDomainText(name)) names.push_back(name);
    }
    if (names.empty()) continue;

    SocketAddress28 address;
    uint32_t ipv4 = ClassicInetAddr(words[0]);
    if (ipv4 != 0 && ipv4 != kInvalidIpv4) {
      address = SocketAddress28::FromIpv4(ipv4);
    } else if (!ParseIpv6Text(words[0], address)) {
      continue;
    }
    for (const std::string& name : names) AddHostAddress(hostMap, name, address);
  }
  return true;
}

void RuleLists::EnterHostAddresses(const HostMap& hostMap) {
  std::unique_lock lock(hostAddressLock);
  for (const auto& [name, addresses] : hostMap) {
    for (const SocketAddress28& address : addresses) {
      if (address.family() != platform::kFamilyIpv4) continue;
      hostAddresses[name] = address.ipv4();
      break;
    }
  }
}

uint32_t RuleLists::LookupHostAddress(const std::string& name) const {
  std::shared_lock lock(hostAddressLock);
  auto it = hostAddresses.find(name);
  return it == hostAddresses.end() ? 0 : it->second;
}

}  // namespace rules
