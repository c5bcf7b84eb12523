// The filter tables built for a configured game, their look-ups and what DNS
// answers add to them.
#include "rules/filter_tables.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <fstream>
#include <functional>
#include <limits>

#include "allocation_limit.h"
#include "rules/rule_lists.h"
#include "rules/validators.h"
#include "support/test_support.h"

namespace rules {
namespace {

// The look-ups' answers, short enough for the tables below.
constexpr AddressRule kNoRule = AddressRule::None, kDirect = AddressRule::Direct, kBlock = AddressRule::Block;
constexpr DomainClass kNoClass = DomainClass::None, kClass1 = DomainClass::ViaProxy,
                      kClass2 = DomainClass::FromTable;

SocketAddress28 V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port = 0) {
  return SocketAddress28::FromIpv4(platform::ipv4(a, b, c, d), platform::hostToNet16(port));
}

SocketAddress28 V6(uint16_t last, uint16_t port = 0) {
  uint8_t address[16] = {0x20, 0x01, 0x0d, 0xb8};
  address[14] = static_cast<uint8_t>(last >> 8);
  address[15] = static_cast<uint8_t>(last);
  return SocketAddress28::FromIpv6(address, platform::hostToNet16(port));
}

// Runs `body` on a thread with a stack of `bytes`; a body that needs more
// ends the program.
void RunOnStack(size_t bytes, const std::function<void()>& body) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, bytes), 0);
  pthread_t thread;
  auto run = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&body)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

class FilterTablesTest : public ::testing::Test {
 protected:
  void Load(std::string_view text) {
    FilterLists lists;
    ParseFilterText(text, lists);
    tables.ReplaceLists(std::move(lists));
  }
  void Build(uint32_t gameId, uint32_t areaId, const HostMap& hostMap = {}) {
    tables.BuildFilterTables(gameId, areaId, hostMap);
  }
  AddressRule Tcp(const SocketAddress28& a) const {
    return tables.FindAddressRule(a.family(), a.bytes.data(), 1);
  }
  AddressRule Udp(const SocketAddress28& a) const {
    return tables.FindAddressRule(a.family(), a.bytes.data(), 2);
  }

  FilterTables tables;
};

TEST_F(FilterTablesTest, FindAddressRuleExactNetworksPortsAndProtocolsAndIsWebSteered) {
  Load(
      "0,0,2,8080,1,1\n"             // port 8080 blocked for TCP only
      "12,0,1,10.1.2.0,443,0,0\n"    // /24 network, port 443, direct
      "12,0,1,10.9.0.0,0,1,2\n"      // /16 network, any port, UDP block
      "12,0,1,10.1.2.77,22,1,1\n"    // exact address beats the /24 rule
      "12,0,1,2001:db8::5,53,1,0\n"  // IPv6 exact only
      "13,0,1,10.1.3.0,443,1,0\n");  // another game
  Build(12, 4);
  struct Row {
    SocketAddress28 destination;
    AddressRule tcp, udp;
  } rows[] = {
      {V4(203, 0, 113, 1, 8080), kBlock, kNoRule},
      {V4(10, 1, 2, 77, 443), kDirect, kDirect},
      {V4(10, 1, 2, 1, 443), kDirect, kDirect},
      {V4(10, 1, 3, 77, 443), kNoRule, kNoRule},  // other /24, and game 13's rule is not built
      {V4(10, 1, 2, 77, 444), kNoRule, kNoRule},
      {V4(10, 1, 2, 77, 22), kBlock, kNoRule},
      {V4(10, 9, 200, 3, 1234), kNoRule, kBlock},
      {V4(10, 9, 200, 3, 8080), kBlock, kBlock},  // the /16 UDP rule; TCP falls to the port rule
      {V6(5, 53), kBlock, kBlock},
      {V6(6, 53), kNoRule, kNoRule},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Tcp(row.destination), row.tcp) << testing::PrintToString(row.destination.bytes);
    EXPECT_EQ(Udp(row.destination), row.udp) << testing::PrintToString(row.destination.bytes);
  }
  SocketAddress28 a = V4(203, 0, 113, 1, 8080);
  EXPECT_EQ(tables.FindAddressRule(a.family(), a.bytes.data(), 3), kNoRule) << "unknown protocol";
  EXPECT_EQ(tables.FindAddressRule(7, a.bytes.data(), 1), kNoRule) << "unknown family";
  EXPECT_TRUE(tables.UdpRulesPresent());
  Load("0,0,2,8080,1,1\n");  // TCP only: no UDP table gets a rule
  Build(12, 4);
  EXPECT_FALSE(tables.UdpRulesPresent());

  // Web traffic: to a steer address, or any for a game (and area) of kind 4.
  Load(
      "0,0,0,1,203.0.113.5\n"
      "12,4,4\n");
  Build(12, 4);
  EXPECT_TRUE(tables.IsWebSteered(V4(203, 0, 113, 5, 443).bytes.data(), false));
  EXPECT_FALSE(tables.IsWebSteered(V4(203, 0, 113, 6, 443).bytes.data(), false));
  EXPECT_TRUE(tables.IsWebSteered(V4(203, 0, 113, 6, 443).bytes.data(), true));
  Build(12, 5);
  EXPECT_FALSE(tables.IsWebSteered(V4(203, 0, 113, 6, 443).bytes.data(), true)) << "kind 4 for another area";

  Load("0,0,4\n");  // every game's web traffic
  Build(77, 1);
  EXPECT_TRUE(tables.IsWebSteered(V4(203, 0, 113, 6, 80).bytes.data(), true));
  EXPECT_FALSE(tables.IsWebSteered(V4(203, 0, 113, 6, 80).bytes.data(), false));
}

// Also: a record for the game replaces one for every game, one for the area
// one for every area; records of other games and areas are not built.
TEST_F(FilterTablesTest, ClassifyDomainExactNamesPatternsAndTheMostSpecificRecord) {
  Load(
      "0,0,0,0,Proxy.Example.com,1,n\n"                // class 1 (normalised name)
      "0,0,0,0,fixed.example.com,1,n,1,203.0.113.7\n"  // class 2
      "0,0,0,0,plain.example.com,0,n\n"                // a rule, but not resolved through the proxy
      "0,0,0,0,][^cdn\\d+\\.EXAMPLE\\.net$,1,n\n"      // pattern, case-insensitive
      "0,0,0,0,][game,1,n,1,198.51.100.9\n"            // pattern found anywhere
      "0,0,0,0,][(unclosed,1,n\n"                      // does not compile: dropped
      "0,0,0,0,][^\\D+\\.example\\.info$,1,n\n"        // upper-case escapes keep their meaning
      "0,0,0,0,][^www\\.|cdn$,1,n\n"                   // each anchor holds for its branch only
      "0,0,0,1,203.0.113.50\n"                         // an address, not a domain
      "0,0,0,0,a.example.com,0,n\n"                    // every game: class 0
      "5,0,0,0,a.example.com,1,n\n"                    // this game: replaces
      "0,0,0,0,a.example.com,0,n\n"                    // general again: stays replaced
      "0,0,0,0,b.example.com,1,n\n"
      "5,0,0,0,b.example.com,0,n\n"  // game rule replaces the general one
      "5,0,0,0,b.example.com,1,n\n"  // same game, no area: does not replace
      "5,9,0,0,c.example.com,0,n\n"
      "5,9,0,0,c.example.com,1,n\n"  // an area rule replaces another area rule
      "6,0,0,0,six.example.com,1,n\n"
      "5,8,0,0,area-eight.example.com,1,n\n");
  Build(5, 9);
  struct Row {
    const char* name;
    DomainClass expected;
  } rows[] = {
      {"proxy.example.com", kClass1},
      {"fixed.example.com", kClass2},
      {"plain.example.com", kNoClass},
      {"cdn42.example.net", kClass1},
      {"cdn.example.net", kNoClass},
      {"x.cdn42.example.net", kNoClass},
      {"mygame.example.org", kClass2},
      {"unclosed", kNoClass},
      {"203.0.113.50", kNoClass},
      {"abc.example.info", kClass1},
      {"a1c.example.info", kNoClass},
      {"www.example.org", kClass1},
      {"my.cdn", kClass1},
      {"cdn.org", kNoClass},
      {"a.example.com", kClass1},
      {"b.example.com", kNoClass},
      {"c.example.com", kClass1},
      {"six.example.com", kNoClass},
      {"area-eight.example.com", kNoClass},
  };
  for (const Row& row : rows) EXPECT_EQ(tables.ClassifyDomain(row.name), row.expected) << row.name;
  // A rebuild for another game starts from scratch.
  Build(6, 0);
  EXPECT_EQ(tables.ClassifyDomain("a.example.com"), kNoClass);
  EXPECT_EQ(tables.ClassifyDomain("six.example.com"), kClass1);
}

// The host map's addresses of rule names (plain, or matched by a pattern)
// become steered or get the port rule. Host names are looked up lower-cased,
// so a hosts file or a fixed address written with capitals must land under
// the lower-case name. Only this game's flagged, non-zero fixed addresses of
// plain names are collected.
TEST_F(FilterTablesTest, HostMapAddressesOfRuleNamesAndFixedAndHostsFileAddressesLowerCased) {
  Load(
      "0,0,0,0,game.example.com,1,n\n"
      "0,0,0,0,][^patch\\d\\.,1,n\n"
      "0,0,0,1,198.51.100.77\n"
      "0,0,3,api.example.com,9000,1,0\n"
      "0,0,0,0, Login.Example.com ,1,n,1,203.0.113.7\n"
      "0,0,0,0,six.example.com,1,n,1,2001:db8::9\n"
      "0,0,0,0,noflag.example.com,1,n,0,203.0.113.8\n"
      "0,0,0,0,][pattern,1,n,1,203.0.113.11\n"
      "0,0,0,0,zero.example.com,1,n,1,0.0.0.0\n"
      "9,0,0,0,other.example.com,1,n,1,203.0.113.12\n"
      "0,0,6,PORTS.example.com,7000,203.0.113.99,7001,1,0\n");
  HostMap map;
  tables.CollectFilterHosts(1, 1, map);
  std::vector<std::string> names;
  for (const auto& [name, addresses] : map) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"login.example.com", "six.example.com"}));
  EXPECT_EQ(map["six.example.com"].begin()->family(), platform::kFamilyIpv6);

  AddHostAddress(map, "patch1.example.com", V4(203, 0, 113, 22));
  AddHostAddress(map, "patchX.example.com", V4(203, 0, 113, 23));
  AddHostAddress(map, "api.example.com", V4(203, 0, 113, 24));
  lumotest::TempDir dir;
  std::ofstream(dir.path() / "hosts") << "203.0.113.9 Game.Example.COM\n203.0.113.10 Ports.Example.Com\n";
  RuleLists lists;
  lists.SetHostsPath(dir.path() / "hosts");
  ASSERT_TRUE(lists.LoadHostsFile(map));
  Build(1, 1, map);
  lists.EnterHostAddresses(map);
  EXPECT_TRUE(tables.IsSteerAddress(V4(203, 0, 113, 9)));
  EXPECT_TRUE(tables.IsSteerAddress(V4(203, 0, 113, 7)));
  EXPECT_TRUE(tables.IsSteerAddress(V4(203, 0, 113, 22)));
  EXPECT_FALSE(tables.IsSteerAddress(V4(203, 0, 113, 23)));
  EXPECT_TRUE(tables.IsSteerAddress(V4(198, 51, 100, 77)));
  EXPECT_EQ(tables.AddressName(V4(203, 0, 113, 22)), "patch1.example.com");
  EXPECT_EQ(Tcp(V4(203, 0, 113, 24, 9000)), kBlock);
  EXPECT_EQ(Udp(V4(203, 0, 113, 24, 9000)), kBlock);
  EXPECT_EQ(tables.AddressName(V4(203, 0, 113, 24)), "api.example.com");
  EXPECT_TRUE(tables.FindPortMap(platform::ipv4(203, 0, 113, 10), platform::hostToNet16(7000)));
  struct Row {
    const char* name;
    uint32_t address;
  } rows[] = {
      {"game.example.com", platform::ipv4(203, 0, 113, 9)},
      {"login.example.com", platform::ipv4(203, 0, 113, 7)},
      {"Game.Example.COM", 0},  // look-ups are exact: callers lower-case first
  };
  for (const Row& row : rows) EXPECT_EQ(lists.LookupHostAddress(row.name), row.address) << row.name;
}

// Classification runs on a driver worker for every queried name: whatever
// the name and the pattern, it takes one pass and little stack. The worker
// threads have 1 MiB on Windows; these run in an eighth of that.
TEST_F(FilterTablesTest, PatternsAndValidatorsNeedOnePassAndLittleStackOnAnyName) {
  Load(
      "0,0,0,0,][^(a|aa)+\\.example$,1,n\n"  // exponential for a backtracking matcher
      "0,0,0,0,][^((a|b))*$,1,n\n"           // one level of recursion per character for it
      "0,0,0,0,][(x+x+)+y,1,n\n");
  Build(1, 1);
  const std::string as(kLongestPatternSubject, 'a');
  struct Row {
    std::string name;
    DomainClass expected;
  } rows[] = {
      {std::string(200, 'a') + ".example", kClass1},
      {std::string(200, 'a') + "b.example", kNoClass},
      {as, kClass1},
      {std::string(kLongestPatternSubject - 1, 'x'), kNoClass},
      {std::string(kLongestPatternSubject - 1, 'x') + "y", kClass1},
      {as + "a", kNoClass},  // longer than any DNS name: exact rules only
  };
  RunOnStack(128 * 1024, [&] {
    for (const Row& row : rows) EXPECT_EQ(tables.ClassifyDomain(row.name), row.expected) << row.name.size();
    // The validators see texts of up to 1,024 characters from files.
    std::string domain;
    while (domain.size() < 1000) domain += "abcdefghi.";
    domain += "com";
    std::string spaced = std::string(1000, ' ') + "192.0.2.1" + std::string(15, ' ');
    EXPECT_TRUE(IsDomainText(domain));
    EXPECT_TRUE(IsIpv4Text(spaced));
    uint32_t address = 0, prefix = 0;
    EXPECT_TRUE(ParseCidrText(std::string(1000, ' ') + "192.0.2.0/24", address, prefix));
  });
}

TEST_F(FilterTablesTest, HostRewritesAndPortMapsFromTheFileTheHostMapAndDnsAnswers) {
  Load(
      "0,0,5,203.0.113.10,443,x,y,WWW.example.com,8443\n"
      "7,0,5,203.0.113.10,443,x,y,www7.example.com,9443\n"   // game entry replaces the general one
      "0,0,5,203.0.113.10,443,x,y,late.example.com,1\n"      // general entry does not replace it
      "7,0,5,203.0.113.11,80,x,y,mapped.example.com,8080\n"  // destination from the host map
      "0,0,6,Src.Example.com,7000,203.0.113.99,7001,1,5\n"   // source name: listed
      "0,0,6,known.example.com,7100,target.example.com,7101,0,0\n");
  HostMap map;
  AddHostAddress(map, "mapped.example.com", V4(198, 51, 100, 20));
  AddHostAddress(map, "known.example.com", V4(198, 51, 100, 50));
  Build(7, 3, map);
  auto rewrite = tables.FindHostRewrite(platform::ipv4(203, 0, 113, 10), platform::hostToNet16(443));
  ASSERT_TRUE(rewrite);
  EXPECT_EQ(rewrite->targetHost, "www7.example.com");
  EXPECT_EQ(rewrite->webRelayPort, platform::hostToNet16(9443));
  EXPECT_FALSE(tables.FindHostRewrite(platform::ipv4(203, 0, 113, 11), platform::hostToNet16(80)));
  ASSERT_TRUE(tables.FindHostRewrite(platform::ipv4(198, 51, 100, 20), platform::hostToNet16(80)));
  EXPECT_EQ(tables.AddressName(V4(198, 51, 100, 20)), "mapped.example.com");

  // A DNS answer for a rewrite target enters its IPv4 and IPv4-mapped addresses.
  uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 203, 0, 113, 40};
  const SocketAddress28 answers[] = {V4(203, 0, 113, 30), SocketAddress28::FromIpv6(mapped), V6(1),
                                     V4(0, 0, 0, 0)};
  tables.LearnRewriteHost("www.example.com", answers);
  auto learned = tables.FindHostRewrite(platform::ipv4(203, 0, 113, 30), platform::hostToNet16(443));
  ASSERT_TRUE(learned);
  EXPECT_EQ(learned->targetHost, "www.example.com");
  EXPECT_TRUE(tables.FindHostRewrite(platform::ipv4(203, 0, 113, 40), platform::hostToNet16(443)));
  EXPECT_EQ(tables.AddressName(V4(203, 0, 113, 30)), "www.example.com");
  tables.LearnRewriteHost("unknown.example.com", answers);
  EXPECT_FALSE(tables.FindHostRewrite(platform::ipv4(203, 0, 113, 30), platform::hostToNet16(80)));

  EXPECT_TRUE(tables.IsListedName("src.example.com"));
  // A name the host map already holds is entered for its address and stays
  // listed for later answers.
  auto known = tables.FindPortMap(platform::ipv4(198, 51, 100, 50), platform::hostToNet16(7100));
  ASSERT_TRUE(known);
  EXPECT_EQ(known->targetHost, "target.example.com");
  EXPECT_EQ(known->targetIsName, 1);
  EXPECT_TRUE(tables.IsListedName("known.example.com"));

  const SocketAddress28 srcAnswers[] = {V4(203, 0, 113, 60), V6(9)};
  tables.LearnListedName("src.example.com", srcAnswers);
  auto map60 = tables.FindPortMap(platform::ipv4(203, 0, 113, 60), platform::hostToNet16(7000));
  ASSERT_TRUE(map60);
  EXPECT_EQ(map60->targetHost, "203.0.113.99");
  EXPECT_EQ(map60->targetPort, platform::hostToNet16(7001));
  EXPECT_EQ(map60->type, 1u);
  const SocketAddress28 later[] = {V4(203, 0, 113, 61)};
  tables.LearnListedName("known.example.com", later);
  EXPECT_TRUE(tables.FindPortMap(platform::ipv4(203, 0, 113, 61), platform::hostToNet16(7100)));
  tables.LearnListedName("unlisted.example.com", later);
  EXPECT_FALSE(tables.FindPortMap(platform::ipv4(203, 0, 113, 61), platform::hostToNet16(7000)));
}

TEST_F(FilterTablesTest, PortMapReplacementRules) {
  // Every pair below shares the key 203.0.113.1:7000; the first line is
  // stored, the second one replaces it or not. A line is given by its game
  // and area and its target.
  const auto line = [](const char* scope, const char* target) {
    return std::string(scope) + ",6,203.0.113.1,7000," + target + ",1,1,0\n";
  };
  struct Row {
    const char *firstScope, *firstTarget, *secondScope, *secondTarget, *expectedTarget;
  } rows[] = {
      // (a) an entry for this game beats one for every game
      {"0,0", "a.example.com", "5,0", "b.example.com", "b.example.com"},
      {"5,0", "a.example.com", "0,0", "b.example.com", "a.example.com"},
      // (b) an entry for this area beats one for every area of the same game
      {"5,0", "a.example.com", "5,2", "b.example.com", "b.example.com"},
      {"5,2", "a.example.com", "5,2", "b.example.com", "a.example.com"},
      // (d) among equals, an address target beats a name target
      {"5,2", "a.example.com", "5,2", "198.51.100.1", "198.51.100.1"},
      {"5,2", "198.51.100.1", "5,2", "a.example.com", "198.51.100.1"},
  };
  for (const Row& row : rows) {
    const std::string text = line(row.firstScope, row.firstTarget) + line(row.secondScope, row.secondTarget);
    Load(text);
    Build(5, 2);
    auto entry = tables.FindPortMap(platform::ipv4(203, 0, 113, 1), platform::hostToNet16(7000));
    ASSERT_TRUE(entry) << text;
    EXPECT_EQ(entry->targetHost, row.expectedTarget) << text;
  }

  // (c) an address source beats a name source: the name entry is entered for
  // the host map's address of its name first, then the address entry wins.
  Load(
      "5,2,6,src.example.com,7000,a.example.com,1,1,0\n"
      "5,2,6,203.0.113.1,7000,b.example.com,1,1,0\n");
  HostMap map;
  AddHostAddress(map, "src.example.com", V4(203, 0, 113, 1));
  Build(5, 2, map);
  auto entry = tables.FindPortMap(platform::ipv4(203, 0, 113, 1), platform::hostToNet16(7000));
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->targetHost, "b.example.com");
}

// A DNS answer for a class 1 or 2 name makes its addresses steered (an IPv4
// one gets a host route too); for a port rule's name, its addresses get the
// rule for the rule's protocol.
TEST_F(FilterTablesTest, DnsAnswersGiveSteerAddressesAndPortRuleAddresses) {
  Load(
      "0,0,0,0,proxy.example.com,1,n\n"
      "0,0,0,0,plain.example.com,0,n\n"
      "0,0,3,api.example.com,9000,1,1\n"
      "0,0,3,][^voice\\.,5000,0,2\n");
  Build(1, 1);
  std::vector<uint32_t> routed;
  tables.SetHostRouteHook([&](uint32_t address) { routed.push_back(address); });
  const SocketAddress28 answers[] = {V4(203, 0, 113, 70, 53), V6(70)};
  tables.LearnSteerAddresses("proxy.example.com", answers);
  EXPECT_TRUE(tables.IsSteerAddress(V4(203, 0, 113, 70)));
  EXPECT_TRUE(tables.IsSteerAddress(V6(70)));
  EXPECT_EQ(routed, std::vector<uint32_t>{platform::ipv4(203, 0, 113, 70)});
  const SocketAddress28 other[] = {V4(203, 0, 113, 71)};
  tables.LearnSteerAddresses("plain.example.com", other);
  tables.LearnSteerAddresses("unknown.example.com", other);
  EXPECT_FALSE(tables.IsSteerAddress(V4(203, 0, 113, 71)));
  EXPECT_EQ(routed.size(), 1u);

  EXPECT_FALSE(tables.UdpRulesPresent());
  const SocketAddress28 a[] = {V4(203, 0, 113, 80)};
  tables.LearnPortRuleAddresses("api.example.com", a);
  EXPECT_EQ(Tcp(V4(203, 0, 113, 80, 9000)), kBlock);
  EXPECT_EQ(Udp(V4(203, 0, 113, 80, 9000)), kNoRule);
  EXPECT_FALSE(tables.UdpRulesPresent());
  const SocketAddress28 b[] = {V4(203, 0, 113, 81), V6(81)};
  tables.LearnPortRuleAddresses("voice.example.com", b);
  EXPECT_EQ(Udp(V4(203, 0, 113, 81, 5000)), kDirect);
  EXPECT_EQ(Udp(V6(81, 5000)), kDirect);
  EXPECT_EQ(Tcp(V4(203, 0, 113, 81, 5000)), kNoRule);
  EXPECT_TRUE(tables.UdpRulesPresent());
  tables.LearnPortRuleAddresses("novoice.example.com", a);
  EXPECT_EQ(Udp(V4(203, 0, 113, 80, 5000)), kNoRule);

  // A rebuild forgets what was learned.
  Build(1, 1);
  EXPECT_FALSE(tables.IsSteerAddress(V4(203, 0, 113, 70)));
  EXPECT_EQ(Tcp(V4(203, 0, 113, 80, 9000)), kNoRule);
}

// A file that is gone or cannot be read (a folder in its place), one over the
// size limit (not read), and running out of memory part-way through a load
// are failed loads: the lists loaded before stay.
TEST(FilterFileLoad, MissingUnreadableOversizedFileOrNoMemoryKeepsThePreviousLists) {
  lumotest::TempDir dir;
  const std::filesystem::path path = dir.path() / "filter.txt";
  const auto writeRaw = [&path](const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
  };
  FilterTables tables;
  tables.SetFilePath(path);
  std::string good;
  std::string error;
  ASSERT_EQ(EncipherFilterText("0,0,2,8080,1,1\n0,0,6,a.example.com,1,b.example.com,2,1,0\n", good, error),
            CipherResult::kOk);
  writeRaw(good);
  ASSERT_EQ(tables.LoadFilterFile(), FilterTables::LoadResult::kLoaded);
  EXPECT_EQ(tables.RecordCount(), 1u);
  EXPECT_EQ(tables.PortMapEntryCount(), 1u);
  std::filesystem::remove(path);
  EXPECT_EQ(tables.LoadFilterFile(), FilterTables::LoadResult::kMissing);
  std::filesystem::create_directory(path);
  EXPECT_EQ(tables.LoadFilterFile(), FilterTables::LoadResult::kUnreadable);
  EXPECT_EQ(tables.RecordCount(), 1u);
  EXPECT_EQ(tables.PortMapEntryCount(), 1u);
  std::filesystem::remove(path);

  std::string shortLines;
  for (int i = 0; i < 40000; ++i) shortLines += "0,0,2,1\n";
  std::string many;
  ASSERT_EQ(EncipherFilterText(shortLines, many, error), CipherResult::kOk);
  struct Row {
    const char* what;
    std::string contents;
    size_t largestAllocation;
  } rows[] = {
      {"one byte over the limit", std::string(kLargestFilterFile + 1, 'A'),
       std::numeric_limits<size_t>::max()},
      {"no memory to read it", many, many.size() / 2},
      {"no memory to parse it", many, many.size() + 1},  // the line list outgrows the file
  };
#ifdef __linux__
  auto openFiles = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto filesBefore = openFiles();
#endif
  for (const Row& row : rows) {
    // A failed load that kept the file open would keep this write (on
    // Windows) from replacing it.
    writeRaw(good);
    ASSERT_EQ(tables.LoadFilterFile(), FilterTables::LoadResult::kLoaded);
    writeRaw(row.contents);
    lumotest::largestAllocation = row.largestAllocation;
    FilterTables::LoadResult result = FilterTables::LoadResult::kLoaded;
    EXPECT_NO_THROW(result = tables.LoadFilterFile()) << row.what;
    lumotest::largestAllocation = std::numeric_limits<size_t>::max();
    EXPECT_EQ(result, FilterTables::LoadResult::kUnreadable) << row.what;
    EXPECT_EQ(tables.RecordCount(), 1u) << row.what;
  }
#ifdef __linux__
  EXPECT_EQ(openFiles(), filesBefore) << "a failed load left a descriptor open";
#endif
  // The same file with memory to spare loads.
  EXPECT_EQ(tables.LoadFilterFile(), FilterTables::LoadResult::kLoaded);
  EXPECT_EQ(tables.RecordCount(), 40000u);
}

}  // namespace
}  // namespace rules
