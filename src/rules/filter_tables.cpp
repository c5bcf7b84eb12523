#include "rules/filter_tables.h"

#include <cstring>
#include <thread>

#include "platform/files.h"
#include "platform/module.h"
#include "rules/address_text.h"
#include "rules/text_split.h"
#include "rules/validators.h"

namespace rules {
namespace {

bool isPattern(std::string_view name) { return name.substr(0, 2) == kPatternPrefix; }

// The table key of a rule name: trimmed and lower-cased. A pattern is only
// trimmed: it is compiled case-insensitively anyway, and lower-casing would
// turn the escapes \D, \S, \W and \B into their opposites.
std::string ruleKey(std::string_view name) {
  std::string_view trimmed = TrimName(name);
  return isPattern(trimmed) ? std::string(trimmed) : NormaliseName(trimmed);
}

// An address column: inet_addr when that gives a usable IPv4 address, else
// numeric IPv6 text.
std::optional<SocketAddress28> addressFromText(const std::string& text) {
  uint32_t ipv4 = ClassicInetAddr(text);
  if (ipv4 != 0 && ipv4 != kInvalidIpv4) return SocketAddress28::FromIpv4(ipv4);
  SocketAddress28 ipv6;
  if (ParseIpv6Text(text, ipv6)) return ipv6;
  return std::nullopt;
}

// The table key of an address: port and flow information cleared.
SocketAddress28 keyOf(const SocketAddress28& address) { return address.withoutPort(); }

SocketAddress28 withPort(SocketAddress28 key, uint16_t portNet) {
  std::memcpy(&key.bytes[2], &portNet, 2);
  return key;
}

}  // namespace

class FilterTables::BuildFlag {
 public:
  explicit BuildFlag(std::atomic<int>& flag) : flag_(flag) {
    while (flag_.exchange(1, std::memory_order_acquire) == 1) std::this_thread::yield();
  }
  ~BuildFlag() { flag_.exchange(0, std::memory_order_release); }
  BuildFlag(const BuildFlag&) = delete;
  BuildFlag& operator=(const BuildFlag&) = delete;

 private:
  std::atomic<int>& flag_;
};

FilterTables::FilterTables() : filePath(DefaultFilePath()) {}

std::filesystem::path FilterTables::DefaultFilePath() {
  std::filesystem::path folder = platform::libraryFolder();
  if (folder.empty()) return {};
  return folder / "config" / "filter.txt";
}

void FilterTables::SetFilePath(std::filesystem::path path) {
  std::lock_guard<std::mutex> lock(pathLock);
  filePath = std::move(path);
}

std::filesystem::path FilterTables::FilePath() const {
  std::lock_guard<std::mutex> lock(pathLock);
  return filePath;
}

void FilterTables::SetHostRouteHook(HostRouteHook hook) {
  std::lock_guard<std::mutex> lock(pathLock);
  hostRouteHook = std::move(hook);
}

FilterTables::LoadResult FilterTables::LoadFilterFile() {
  BuildFlag flag(buildFlag);
  FilterLists lists;
  try {
    std::string contents;
    switch (ReadFilterFile(FilePath(), contents)) {
      case FileReadResult::kRead:
        break;
      case FileReadResult::kMissing:
        return LoadResult::kMissing;
      case FileReadResult::kUnreadable:
      case FileReadResult::kTooLarge:
        return LoadResult::kUnreadable;
    }
    std::string plain;
    std::string error;
    // A failing cipher call means the bytes cannot be trusted to be the text:
    // nothing is loaded and the previous lists stay in force.
    if (DecipherFilterFile(contents, plain, error) == CipherResult::kFailed) return LoadResult::kUnreadable;
    std::string().swap(contents);
    ParseFilterText(plain, lists);
  } catch (const std::exception&) {
    // Running out of memory part-way (std::bad_alloc, std::length_error)
    // leaves a partial list: it is thrown away as a whole, like a file that
    // could not be read.
    return LoadResult::kUnreadable;
  }
  ReplaceLists(std::move(lists));
  return LoadResult::kLoaded;
}

void FilterTables::ReplaceLists(FilterLists lists) {
  std::unique_lock recordGuard(recordLock);
  std::unique_lock domainGuard(domainLock);
  std::lock_guard<std::mutex> portMapGuard(portMapListLock);
  records = std::move(lists.records);
  hostRewrites = std::move(lists.hostRewrites);
  webGames = std::move(lists.webGames);
  portMaps = std::move(lists.portMaps);
}

void FilterTables::CollectFilterHosts(uint32_t gameId, uint32_t areaId, HostMap& hostMap) const {
  std::shared_lock lock(recordLock);
  for (const FILTER_RECORD& r : records) {
    if (!Matches(r.gameId, r.areaId, gameId, areaId)) continue;
    bool domainSteer = r.kind == FILTER_STEER && r.nameIsAddress != 1;
    if (!domainSteer && r.kind != FILTER_DOMAIN_PORT) continue;
    std::string name(TrimName(r.name));
    if (name.empty() || isPattern(name) || r.fixedAddressFlag != 1) continue;
    if (std::optional<SocketAddress28> address = addressFromText(r.fixedAddress))
      AddHostAddress(hostMap, name, *address);
  }
}

void FilterTables::AddDomainRule(ExactTable& exact, PatternTable& patterns, const std::string& name,
                                 const FILTER_RECORD& record) {
  if (name.empty()) return;
  // A stored rule for every game gives way to one for a game; a stored rule
  // for a game gives way to one for an area.
  auto moreSpecific = [&](const FILTER_RECORD& stored) {
    return stored.gameId == 0 ? record.gameId != 0 : record.areaId != 0;
  };
  if (!isPattern(name)) {
    auto [it, inserted] = exact.try_emplace(name, record);
    if (!inserted && moreSpecific(it->second)) it->second = record;
    return;
  }
  auto it = patterns.find(name);
  if (it != patterns.end()) {
    if (moreSpecific(it->second.record)) it->second.record = record;
    return;
  }
  // An expression that is refused matches nothing (the loader has already
  // dropped such lines; lists handed over whole may still hold one).
  patterns.emplace(
      name,
      DomainPattern{record, NamePattern::Compile(std::string_view(name).substr(kPatternPrefix.size()))});
}

bool FilterTables::PatternMatches(const DomainPattern& pattern, const std::string& name) {
  return pattern.expression != nullptr && pattern.expression->FoundIn(name);
}

const FILTER_RECORD* FilterTables::FindDomainRule(const ExactTable& exact, const PatternTable& patterns,
                                                  const std::string& name) {
  auto it = exact.find(name);
  if (it != exact.end()) return &it->second;
  for (const auto& [text, pattern] : patterns)
    if (PatternMatches(pattern, name)) return &pattern.record;
  return nullptr;
}

std::vector<const HostMap::value_type*> FilterTables::MatchingHosts(const HostMap& hostMap,
                                                                    const std::string& name,
                                                                    const PatternTable& patterns) {
  std::vector<const HostMap::value_type*> hosts;
  if (!isPattern(name)) {
    auto it = hostMap.find(name);
    if (it != hostMap.end()) hosts.push_back(&*it);
    return hosts;
  }
  auto pattern = patterns.find(name);
  if (pattern == patterns.end()) return hosts;
  for (const auto& entry : hostMap)
    if (PatternMatches(pattern->second, entry.first)) hosts.push_back(&entry);
  return hosts;
}

void FilterTables::AddAddressRule(const SocketAddress28& address, const FILTER_RECORD& record) {
  SocketAddress28 key = withPort(keyOf(address), record.port);
  if (record.protocol == 0 || record.protocol == 1) tcpAddressRules[key] = record.action;
  if (record.protocol == 0 || record.protocol == 2) {
    udpAddressRules[key] = record.action;
    udpRulesPresent.store(true, std::memory_order_release);
  }
}

void FilterTables::AddAddressDomainIfAbsent(const SocketAddress28& address, const std::string& name) {
  std::unique_lock lock(addressDomainsLock);
  addressDomains.try_emplace(keyOf(address), name);
}

void FilterTables::BuildFilterTables(uint32_t gameId, uint32_t areaId, const HostMap& hostMap) {
  BuildFlag flag(buildFlag);
  std::unique_lock recordGuard(recordLock);
  {
    std::unique_lock domainGuard(domainLock);
    std::unique_lock portGuard(portRuleLock);
    domainRules.clear();
    domainPatterns.clear();
    steerAddresses.clear();
    tcpAddressRules.clear();
    tcpPortRules.clear();
    portDomainRules.clear();
    portDomainPatterns.clear();
    udpAddressRules.clear();
    udpPortRules.clear();
    // The flag only tells UDP handling that rules exist; the tables it points
    // to were just emptied.
    udpRulesPresent.store(false, std::memory_order_release);
    hostRewriteNames.clear();
    {
      std::unique_lock lock(addressDomainsLock);
      addressDomains.clear();
    }
    {
      std::unique_lock lock(hostRewriteLock);
      hostRewriteTable.clear();
    }
    configuredGameId = gameId;
    configuredAreaId = areaId;

    for (const FILTER_RECORD& r : records) {
      if (!Matches(r.gameId, r.areaId, gameId, areaId)) continue;
      switch (r.kind) {
        case FILTER_STEER:
          if (r.nameIsAddress != 1) {
            std::string name = ruleKey(r.name);
            AddDomainRule(domainRules, domainPatterns, name, r);
            if (name.empty()) break;
            for (const auto* host : MatchingHosts(hostMap, name, domainPatterns)) {
              for (const SocketAddress28& address : host->second) {
                steerAddresses[keyOf(address)] = 0;
                AddAddressDomainIfAbsent(address, host->first);
              }
            }
          } else if (std::optional<SocketAddress28> address = addressFromText(r.name)) {
            steerAddresses[keyOf(*address)] = 0;
          }
          break;
        case FILTER_ADDRESS_PORT:
          if (std::optional<SocketAddress28> address = addressFromText(r.name)) AddAddressRule(*address, r);
          break;
        case FILTER_PORT:
          if (r.protocol == 0 || r.protocol == 1) tcpPortRules[r.port] = r.action;
          if (r.protocol == 0 || r.protocol == 2) {
            udpPortRules[r.port] = r.action;
            udpRulesPresent.store(true, std::memory_order_release);
          }
          break;
        case FILTER_DOMAIN_PORT: {
          std::string name = ruleKey(r.name);
          AddDomainRule(portDomainRules, portDomainPatterns, name, r);
          if (name.empty()) break;
          for (const auto* host : MatchingHosts(hostMap, name, portDomainPatterns)) {
            for (const SocketAddress28& address : host->second) {
              AddAddressRule(address, r);
              AddAddressDomainIfAbsent(address, host->first);
            }
          }
          break;
        }
        default:  // kind 4: webGames was filled at load time
          break;
      }
    }
  }

  for (const HostRewriteEntry& original : hostRewrites) {
    if (!Matches(original.gameId, original.areaId, gameId, areaId)) continue;
    HostRewriteEntry entry = original;
    std::string target = NormaliseName(entry.targetHost);
    entry.targetHost = target;
    auto host = hostMap.find(target);
    if (host != hostMap.end() && !host->second.empty()) entry.destination = *host->second.begin();
    hostRewriteNames[target].push_back(entry);
    if (entry.destination.family() == platform::kFamilyIpv4)
      EnterHostRewrite(DestinationKey(entry.destination.ipv4(), entry.destinationPort), entry, target);
  }
  recordGuard.unlock();

  std::lock_guard<std::mutex> portMapGuard(portMapListLock);
  {
    std::unique_lock tableGuard(portMapLock);
    portMapTable.clear();
  }
  {
    std::unique_lock namesGuard(listedNamesLock);
    listedNames.clear();
  }
  for (const PortMapEntry& entry : portMaps) {
    if (!Matches(entry.gameId, entry.areaId, gameId, areaId)) continue;
    if (!entry.sourceIsName) {
      EnterPortMap(DestinationKey(ClassicInetAddr(entry.sourceHost), entry.sourcePort), entry);
      continue;
    }
    // A name is listed for the DNS answers to come. When the host map already
    // knows addresses for it, the entry is entered for each of them now as
    // well, so that a fixed or hosts-file address is mapped before any answer.
    std::string name = NormaliseName(entry.sourceHost);
    {
      std::unique_lock namesGuard(listedNamesLock);
      listedNames[name].push_back(entry);
    }
    auto host = hostMap.find(name);
    if (host == hostMap.end()) continue;
    for (const SocketAddress28& address : host->second)
      if (address.family() == platform::kFamilyIpv4)
        EnterPortMap(DestinationKey(address.ipv4(), entry.sourcePort), entry);
  }
}

void FilterTables::EnterHostRewrite(uint64_t key, const HostRewriteEntry& entry,
                                    const std::string& targetName) {
  bool entered = false;
  {
    std::unique_lock lock(hostRewriteLock);
    auto [it, inserted] = hostRewriteTable.try_emplace(key);
    HOST_REWRITE& stored = it->second;
    bool replace = inserted || (stored.gameId == 0 && entry.gameId != 0) ||
                   (stored.gameId == entry.gameId && stored.areaId == 0 && entry.areaId != 0);
    if (replace) {
      stored = HOST_REWRITE{entry.gameId, entry.areaId, entry.targetHost, entry.webRelayPort};
      entered = true;
    }
  }
  if (entered) RecordAddressName(SocketAddress28::FromIpv4(static_cast<uint32_t>(key >> 16)), targetName);
}

void FilterTables::EnterPortMap(uint64_t key, const PortMapEntry& entry) {
  std::unique_lock lock(portMapLock);
  auto [it, inserted] = portMapTable.try_emplace(key, entry);
  if (inserted) return;
  const PORT_MAP& stored = it->second;
  bool sameGame = stored.gameId == entry.gameId;
  bool sameArea = sameGame && stored.areaId == entry.areaId;
  // The more specific entry wins: one for this game over one for every game,
  // one for this area over one for every area, and among equals an address
  // over a name (on the source side, then on the target side).
  bool replace = (stored.gameId == 0 && entry.gameId != 0) ||
                 (sameGame && stored.areaId == 0 && entry.areaId != 0) ||
                 (sameArea && stored.sourceIsName && !entry.sourceIsName) ||
                 (sameArea && stored.targetIsName && !entry.targetIsName);
  if (replace) it->second = entry;
}

AddressRule FilterTables::FindAddressRule(uint16_t family, const void* socketAddress,
                                          uint32_t protocol) const {
  if (socketAddress == nullptr || (family != platform::kFamilyIpv4 && family != platform::kFamilyIpv6))
    return AddressRule::None;
  if (protocol != 1 && protocol != 2) return AddressRule::None;
  SocketAddress28 key;
  uint16_t port = 0;
  if (family == platform::kFamilyIpv4) {
    uint32_t address;
    std::memcpy(&address, static_cast<const uint8_t*>(socketAddress) + 4, 4);
    std::memcpy(&port, static_cast<const uint8_t*>(socketAddress) + 2, 2);
    key = SocketAddress28::FromIpv4(address);
  } else {
    SocketAddress28 full = SocketAddress28::FromRaw(socketAddress);
    port = full.port();
    key = keyOf(full);
  }
  // A rule record's action 1 blocks; any other lets the destination go direct.
  auto answer = [](uint16_t action) { return action == 1 ? AddressRule::Block : AddressRule::Direct; };

  std::shared_lock lock(portRuleLock);
  const AddressRuleTable& addressRules = protocol == 1 ? tcpAddressRules : udpAddressRules;
  const PortRuleTable& portRules = protocol == 1 ? tcpPortRules : udpPortRules;
  // Exact address, then (IPv4) its /24 and /16 networks; at each level a rule
  // for any port (0) before one for the destination port.
  const int levels = family == platform::kFamilyIpv4 ? 3 : 1;
  for (int level = 0; level < levels; ++level) {
    if (level == 1) key.bytes[7] = 0;
    if (level == 2) key.bytes[6] = 0;
    auto it = addressRules.find(withPort(key, 0));
    if (it == addressRules.end() && port != 0) it = addressRules.find(withPort(key, port));
    if (it != addressRules.end()) return answer(it->second);
  }
  auto it = portRules.find(port);
  if (it != portRules.end()) return answer(it->second);
  return AddressRule::None;
}

bool FilterTables::IsWebSteered(const void* socketAddress, bool selected) const {
  if (socketAddress == nullptr) return false;
  uint32_t address;
  std::memcpy(&address, static_cast<const uint8_t*>(socketAddress) + 4, 4);
  std::shared_lock lock(domainLock);
  if (steerAddresses.count(SocketAddress28::FromIpv4(address)) != 0) return true;
  if (!selected) return false;
  if (webGames.count(0) != 0) return true;
  auto it = webGames.find(configuredGameId);
  return it != webGames.end() && (it->second == 0 || it->second == configuredAreaId);
}

DomainClass FilterTables::ClassifyDomain(const std::string& name) const {
  std::shared_lock lock(domainLock);
  const FILTER_RECORD* record = FindDomainRule(domainRules, domainPatterns, name);
  if (record == nullptr || record->proxyResolve != 1) return DomainClass::None;
  return record->fixedAddressFlag == 1 ? DomainClass::FromTable : DomainClass::ViaProxy;
}

void FilterTables::LearnSteerAddresses(const std::string& name, std::span<const SocketAddress28> addresses) {
  if (ClassifyDomain(name) == DomainClass::None) return;
  {
    std::unique_lock lock(domainLock);
    for (const SocketAddress28& address : addresses)
      if (address.family() == platform::kFamilyIpv4 || address.family() == platform::kFamilyIpv6)
        steerAddresses[keyOf(address)] = 0;
  }
  HostRouteHook hook;
  {
    std::lock_guard<std::mutex> lock(pathLock);
    hook = hostRouteHook;
  }
  if (!hook) return;
  for (const SocketAddress28& address : addresses)
    if (address.family() == platform::kFamilyIpv4) hook(address.ipv4());
}

void FilterTables::LearnPortRuleAddresses(const std::string& name,
                                          std::span<const SocketAddress28> addresses) {
  std::unique_lock lock(portRuleLock);
  const FILTER_RECORD* record = FindDomainRule(portDomainRules, portDomainPatterns, name);
  if (record == nullptr) return;
  for (const SocketAddress28& address : addresses)
    if (address.family() == platform::kFamilyIpv4 || address.family() == platform::kFamilyIpv6)
      AddAddressRule(address, *record);
}

void FilterTables::LearnRewriteHost(const std::string& name, std::span<const SocketAddress28> addresses) {
  std::shared_lock lock(recordLock);
  auto entries = hostRewriteNames.find(name);
  if (entries == hostRewriteNames.end()) return;
  static const uint8_t kZero[10] = {};
  for (const SocketAddress28& address : addresses) {
    uint32_t ipv4 = 0;
    if (address.family() == platform::kFamilyIpv4) {
      ipv4 = address.ipv4();
    } else if (address.family() == platform::kFamilyIpv6) {
      const uint8_t* a = address.ipv6();
      bool prefixZero = std::memcmp(a, kZero, 10) == 0;
      bool compatible = a[10] == 0 && a[11] == 0;
      bool mapped = a[10] == 0xFF && a[11] == 0xFF;
      if (prefixZero && (compatible || mapped)) std::memcpy(&ipv4, a + 12, 4);
    }
    if (ipv4 == 0) continue;
    for (const HostRewriteEntry& entry : entries->second)
      EnterHostRewrite(DestinationKey(ipv4, entry.destinationPort), entry, name);
  }
}

void FilterTables::LearnListedName(const std::string& name, std::span<const SocketAddress28> addresses) {
  std::lock_guard<std::mutex> portMapGuard(portMapListLock);
  std::vector<PortMapEntry> entries;
  {
    std::shared_lock lock(listedNamesLock);
    auto it = listedNames.find(name);
    if (it == listedNames.end()) return;
    entries = it->second;
  }
  for (const SocketAddress28& address : addresses)
    if (address.family() == platform::kFamilyIpv4)
      for (const PortMapEntry& entry : entries)
        EnterPortMap(DestinationKey(address.ipv4(), entry.sourcePort), entry);
}

std::optional<HOST_REWRITE> FilterTables::FindHostRewrite(uint32_t addressNet, uint16_t portNet) const {
  std::shared_lock lock(hostRewriteLock);
  auto it = hostRewriteTable.find(DestinationKey(addressNet, portNet));
  if (it == hostRewriteTable.end()) return std::nullopt;
  return it->second;
}

std::optional<PORT_MAP> FilterTables::FindPortMap(uint32_t addressNet, uint16_t portNet) const {
  std::shared_lock lock(portMapLock);
  auto it = portMapTable.find(DestinationKey(addressNet, portNet));
  if (it == portMapTable.end()) return std::nullopt;
  return it->second;
}

bool FilterTables::IsListedName(const std::string& name) const {
  std::shared_lock lock(listedNamesLock);
  return listedNames.count(name) != 0;
}

void FilterTables::RecordAddressName(const SocketAddress28& address, const std::string& name) {
  std::unique_lock lock(addressDomainsLock);
  addressDomains[keyOf(address)] = name;
}

std::optional<std::string> FilterTables::AddressName(const SocketAddress28& address) const {
  std::shared_lock lock(addressDomainsLock);
  auto it = addressDomains.find(keyOf(address));
  if (it == addressDomains.end()) return std::nullopt;
  return it->second;
}

bool FilterTables::IsSteerAddress(const SocketAddress28& address) const {
  std::shared_lock lock(domainLock);
  return steerAddresses.count(keyOf(address)) != 0;
}

size_t FilterTables::RecordCount() const {
  std::shared_lock lock(recordLock);
  return records.size();
}

size_t FilterTables::HostRewriteEntryCount() const {
  std::shared_lock lock(recordLock);
  return hostRewrites.size();
}

size_t FilterTables::PortMapEntryCount() const {
  std::lock_guard<std::mutex> lock(portMapListLock);
  return portMaps.size();
}

}  // namespace rules
