// The filter tables: the filter file's records, and the look-up tables built
// from them for the configured game, which TCP redirection, UDP flow handling
// and DNS interception consult and which DNS answers extend.
//
// Life: LoadFilterFile (at initialisation) reads the file into record lists.
// Each configuration calls CollectFilterHosts and then BuildFilterTables,
// which rebuild every table from scratch for that game; DNS answers then add
// to the tables through the Learn operations until the next configuration.
//
// Locks (each a reader-writer lock unless said otherwise; readers take it
// shared and only for one look-up). They are always taken in this order:
//   build flag (a spin flag: one load or rebuild at a time)
//   → record lock (record list, host-rewrite list, hostRewriteNames)
//   → domain lock (domainRules, domainPatterns, steerAddresses, webGames)
//   → port-rule lock (address and port rule tables, port-domain rules)
//   → port-map list lock (a mutex: the port-map list and every change to
//     portMapTable and listedNames)
//   → hostRewriteTable lock, portMapTable lock, listedNames lock
//   → addressDomains lock.
// No lock is held while a hook of the engine runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/socket_address28.h"
#include "rules/filter_file.h"
#include "rules/host_map.h"
#include "rules/name_pattern.h"
#include "rules/rule_answers.h"

namespace rules {

using platform::SocketAddress28;

class FilterTables {
 public:
  enum class LoadResult {
    kLoaded,      // the file was read; its lists replaced the previous ones
    kMissing,     // no file: the previous lists stay
    kUnreadable,  // the file could not be read or deciphered, was larger than
                  // kLargestFilterFile, or memory ran out while loading it:
                  // the previous lists stay
  };

  // Called with each IPv4 address (network order) that DNS learning adds to
  // the steered addresses; the engine adds a host route through the virtual
  // adapter when adapter mode is on. Runs on the learning thread, no lock held.
  using HostRouteHook = std::function<void(uint32_t addressNet)>;

  FilterTables();
  FilterTables(const FilterTables&) = delete;
  FilterTables& operator=(const FilterTables&) = delete;

  // "config/filter.txt" in the folder of the library's own file (the test
  // program when the engine is linked into it). Empty when the folder is
  // unknown.
  static std::filesystem::path DefaultFilePath();
  // The file LoadFilterFile reads; DefaultFilePath() unless changed.
  void SetFilePath(std::filesystem::path path);
  std::filesystem::path FilePath() const;

  void SetHostRouteHook(HostRouteHook hook);

  // Reads, deciphers and parses the filter file and replaces the record,
  // web-game, host-rewrite and port-map lists. A missing, unreadable,
  // undecipherable or oversized file keeps the previous lists (a
  // cryptographic failure is reported on the debugger output by the platform
  // layer), and so does running out of memory while loading. Never throws.
  // Tables are not touched: they change at the next BuildFilterTables.
  // Caller's thread.
  LoadResult LoadFilterFile();

  // Replaces the lists with `lists`, as a successful load does.
  void ReplaceLists(FilterLists lists);

  // Adds the fixed addresses of this game's kind 0 and kind 3 names
  // (fixedAddressFlag 1) to `hostMap`, under the trimmed name. A record
  // belongs to the game when its gameId is 0 or `gameId`, and its areaId is 0
  // or `areaId`. Shared record lock.
  void CollectFilterHosts(uint32_t gameId, uint32_t areaId, HostMap& hostMap) const;

  // Rebuilds every table from the lists for this game, with the addresses
  // that `hostMap` knows for the names of the rules. Caller's thread; readers
  // may run meanwhile and see either the old or the new table of each lock.
  void BuildFilterTables(uint32_t gameId, uint32_t areaId, const HostMap& hostMap);

  // The address rule for a destination (None for anything it cannot read).
  // `family` is 2 or 23 (anything else: None); `socketAddress` points to a
  // socket address in the engine layout (16 bytes for family 2, 28 for 23);
  // `protocol` 1 TCP, 2 UDP (anything else: None). Looks at the exact address,
  // then for IPv4 its /24 and /16 networks (each for port 0 = any port, then
  // the destination port), then the port rules. At most seven look-ups, no
  // allocation; shared port-rule lock; any thread.
  AddressRule FindAddressRule(uint16_t family, const void* socketAddress, uint32_t protocol) const;

  // Whether a web connection (port 80 or 443) to the IPv4 address of
  // `socketAddress` is steered: its address is a steered address, or
  // `selected` (the connecting process is a game process) and the file marks
  // this game's web traffic as steered. Shared domain lock; any thread.
  bool IsWebSteered(const void* socketAddress, bool selected) const;

  // The class of a queried (normalised) name. An exact rule first,
  // then the patterns in order ("][" + a case-insensitive regular expression
  // found anywhere in the name). Shared domain lock; any thread.
  DomainClass ClassifyDomain(const std::string& name) const;

  // DNS learning: the answer `addresses` of the (normalised) `name`. Each
  // acts only when the name has rules of its kind. Any thread.
  // Class 1 and 2 names: every answer address becomes a steered address; the
  // host-route hook runs for each IPv4 one.
  void LearnSteerAddresses(const std::string& name, std::span<const SocketAddress28> addresses);
  // Names with port-domain rules: every answer address gets the rule's port
  // and action in the TCP and/or UDP address tables.
  void LearnPortRuleAddresses(const std::string& name, std::span<const SocketAddress28> addresses);
  // Target hosts of host rewrites: every IPv4 (or IPv4-mapped/-compatible
  // IPv6) answer address enters hostRewriteTable with each rewrite's port.
  void LearnRewriteHost(const std::string& name, std::span<const SocketAddress28> addresses);
  // Names listed by port maps: every IPv4 answer address enters portMapTable
  // with each entry's source port. Takes the port-map locks itself.
  void LearnListedName(const std::string& name, std::span<const SocketAddress28> addresses);

  // Copies of a hostRewriteTable / portMapTable value for an IPv4 destination
  // (network order), made under that table's shared lock. Any thread.
  std::optional<HOST_REWRITE> FindHostRewrite(uint32_t addressNet, uint16_t portNet) const;
  std::optional<PORT_MAP> FindPortMap(uint32_t addressNet, uint16_t portNet) const;

  // Whether `name` has port-map entries waiting for DNS answers. Shared lock.
  bool IsListedName(const std::string& name) const;

  // The address-to-name map: records `name` for `address` (insert or
  // overwrite; port ignored) and reads it back. Any thread.
  void RecordAddressName(const SocketAddress28& address, const std::string& name);
  std::optional<std::string> AddressName(const SocketAddress28& address) const;

  // Whether any rule entered a UDP table since the last rebuild (UDP flow
  // handling skips FindAddressRule otherwise). Any thread.
  bool UdpRulesPresent() const { return udpRulesPresent.load(std::memory_order_acquire); }

  // Whether `address` (port ignored) is a steered address. Shared domain lock.
  bool IsSteerAddress(const SocketAddress28& address) const;

  // Sizes of the lists, for diagnostics and tests. Shared record lock.
  size_t RecordCount() const;
  size_t HostRewriteEntryCount() const;
  size_t PortMapEntryCount() const;

  // The key of hostRewriteTable and portMapTable: (address << 16) | port,
  // both as stored in network byte order.
  static uint64_t DestinationKey(uint32_t addressNet, uint16_t portNet) {
    return (uint64_t{addressNet} << 16) | portNet;
  }

 private:
  // A "][" rule: its record and its expression, compiled once when the rule
  // enters the table (null when the expression is refused, which never
  // matches; name_pattern.h).
  struct DomainPattern {
    FILTER_RECORD record;
    std::shared_ptr<const NamePattern> expression;
  };
  using ExactTable = std::map<std::string, FILTER_RECORD>;
  using PatternTable = std::map<std::string, DomainPattern>;
  // Address rules: key = the address with the rule's port in the port field
  // (port 0 = any port), value = action.
  using AddressRuleTable = std::map<SocketAddress28, uint16_t>;
  using PortRuleTable = std::map<uint16_t, uint16_t>;

  class BuildFlag;  // RAII holder of buildFlag

  static void AddDomainRule(ExactTable& exact, PatternTable& patterns, const std::string& name,
                            const FILTER_RECORD& record);
  static const FILTER_RECORD* FindDomainRule(const ExactTable& exact, const PatternTable& patterns,
                                             const std::string& name);
  static bool PatternMatches(const DomainPattern& pattern, const std::string& name);
  // Host-map names that an exact name or a pattern rule applies to.
  static std::vector<const HostMap::value_type*> MatchingHosts(const HostMap& hostMap,
                                                               const std::string& name,
                                                               const PatternTable& patterns);
  // Caller holds the port-rule lock exclusively.
  void AddAddressRule(const SocketAddress28& address, const FILTER_RECORD& record);
  void AddAddressDomainIfAbsent(const SocketAddress28& address, const std::string& name);
  // Inserts, or replaces by the more specific game/area, one hostRewriteTable
  // entry, and records the address's name.
  void EnterHostRewrite(uint64_t key, const HostRewriteEntry& entry, const std::string& targetName);
  // Caller holds the port-map list lock.
  void EnterPortMap(uint64_t key, const PortMapEntry& entry);
  static bool Matches(uint32_t recordGame, uint32_t recordArea, uint32_t gameId, uint32_t areaId) {
    return (recordGame == 0 || recordGame == gameId) && (recordArea == 0 || recordArea == areaId);
  }

  std::atomic<int> buildFlag{0};

  mutable std::mutex pathLock;
  std::filesystem::path filePath;
  HostRouteHook hostRouteHook;  // guarded by pathLock

  mutable std::shared_mutex recordLock;
  std::vector<FILTER_RECORD> records;
  std::vector<HostRewriteEntry> hostRewrites;
  std::map<std::string, std::vector<HostRewriteEntry>> hostRewriteNames;

  mutable std::shared_mutex domainLock;
  ExactTable domainRules;
  PatternTable domainPatterns;
  std::map<SocketAddress28, uint32_t> steerAddresses;
  std::map<uint32_t, uint32_t> webGames;
  uint32_t configuredGameId = 0;
  uint32_t configuredAreaId = 0;

  mutable std::shared_mutex portRuleLock;
  AddressRuleTable tcpAddressRules;
  AddressRuleTable udpAddressRules;
  PortRuleTable tcpPortRules;
  PortRuleTable udpPortRules;
  ExactTable portDomainRules;
  PatternTable portDomainPatterns;
  std::atomic<bool> udpRulesPresent{false};

  mutable std::mutex portMapListLock;
  std::vector<PortMapEntry> portMaps;

  mutable std::shared_mutex hostRewriteLock;
  std::map<uint64_t, HOST_REWRITE> hostRewriteTable;

  mutable std::shared_mutex portMapLock;
  std::map<uint64_t, PORT_MAP> portMapTable;

  mutable std::shared_mutex listedNamesLock;
  std::map<std::string, std::vector<PortMapEntry>> listedNames;

  mutable std::shared_mutex addressDomainsLock;
  std::map<SocketAddress28, std::string> addressDomains;
};

}  // namespace rules
