// The rule text (ICMP and ping-delay rules), the hosts file and the
// host-address table.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>

#include "rules/rule_lists.h"
#include "support/test_support.h"
#include "tcp/ping_responder.h"

namespace rules {
namespace {

// Random numbers handed out in order, for checking the delay formulas.
struct ScriptedRandom {
  std::shared_ptr<std::deque<uint32_t>> values = std::make_shared<std::deque<uint32_t>>();
  RandomSource source() const {
    auto v = values;
    return [v] {
      if (v->empty()) return uint32_t{0};
      uint32_t value = v->front();
      v->pop_front();
      return value;
    };
  }
};

TEST(ParseIcmpRules, AcceptsOnlyWellFormedItemsLongestPrefixFirst) {
  struct Row {
    const char* text;
    int32_t accepted;
  } rows[] = {
      {"10.0.0.0/8,20-40", 1},
      {";;10.0.0.0/8,,20-40;;", 1},     // empty pieces are dropped
      {"10.0.0.0/8,20-1001", 0},        // range ends above 1000
      {"10.0.0.0/8,0-40", 0},           // starts at 0
      {"10.0.0.0/8,40-20", 0},          // max below min
      {"10.0.0.0/8,-5-40", 1},          // a leading dash is only a separator: 5-40
      {"10.0.0.0/8,5-99999999999", 0},  // saturates far above 1000
      {"10.0.0.0/0,20-40", 0},          // prefix 0
      {"10.0.0.0/33,20-40", 0},         // prefix 33
      {"0.0.0.0/8,20-40", 0},           // network 0
      {"10.0.0.0/8,30", 0},             // a single number is no range
      {"10.0.0.0/8,20-40,x", 0},        // three fields
      {"mc,30,*.*:443", 0},             // a delay rule is not an ICMP rule
      {"10.0.0.0/32,1000-1000", 1},
  };
  for (const Row& row : rows) {
    RuleLists lists;
    EXPECT_EQ(lists.ParseIcmpRules(row.text), row.accepted) << row.text;
  }

  // The longest prefix first, across calls; the look-up uses it.
  ScriptedRandom random;
  RuleLists lists(random.source());
  ASSERT_EQ(lists.ParseIcmpRules("10.0.0.0/8,20-40;10.1.0.0/16,5-5"), 2);
  std::vector<IcmpRule> rules = lists.IcmpRules();
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[0].prefixLength, 16u);
  EXPECT_EQ(rules[0].mask, platform::ipv4(255, 255, 0, 0));
  EXPECT_EQ(rules[1].mask, platform::ipv4(255, 0, 0, 0));

  EXPECT_EQ(lists.IcmpDelayFor(platform::ipv4(10, 1, 2, 3)), 5u);
  // min + random mod (max - min): 20 + 47 mod 20 = 27; the top is never drawn.
  random.values->assign({47, 19, 20});
  EXPECT_EQ(lists.IcmpDelayFor(platform::ipv4(10, 2, 0, 1)), 27u);
  EXPECT_EQ(lists.IcmpDelayFor(platform::ipv4(10, 2, 0, 1)), 39u);
  EXPECT_EQ(lists.IcmpDelayFor(platform::ipv4(10, 2, 0, 1)), 20u);
  EXPECT_EQ(lists.IcmpDelayFor(platform::ipv4(11, 0, 0, 1)), std::nullopt);
  // A later call appends and sorts again; clearing forgets them all.
  EXPECT_EQ(lists.ParseIcmpRules("10.1.2.0/24,7-7"), 1);
  EXPECT_EQ(lists.IcmpRuleListSize(), 3u);
  EXPECT_EQ(lists.IcmpDelayFor(platform::ipv4(10, 1, 2, 200)), 7u);
  lists.ClearIcmpRules();
  EXPECT_EQ(lists.IcmpDelayFor(platform::ipv4(10, 1, 2, 200)), std::nullopt);
}

struct DelayRow {
  const char* text;
  uint32_t address;  // network order, 0 = any
  uint16_t port;     // host order
  std::optional<uint32_t> delay;
};

TEST(ParseDelayRules, AddressRulesFromTheRuleTextAndTheRangeDraw) {
  const DelayRow rows[] = {
      {"mc,30,*.*:443", platform::ipv4(203, 0, 113, 9), 443, 30},  // any address
      {"mc,15,1.2.3.4:80", platform::ipv4(1, 2, 3, 4), 80, 15},
      {"mc,600,1.2.3.4:80", platform::ipv4(1, 2, 3, 4), 80, 600},  // one value: no range check
      {"mc,600-700,1.2.3.4:80", platform::ipv4(1, 2, 3, 4), 80, std::nullopt},
      {"MC,15,1.2.3.4:80", platform::ipv4(1, 2, 3, 4), 80, std::nullopt},    // case-sensitive
      {"mc,15,1.2.3.4", platform::ipv4(1, 2, 3, 4), 0, std::nullopt},        // no port part
      {"mc,15,1.2.3.4:80:1", platform::ipv4(1, 2, 3, 4), 80, std::nullopt},  // three parts
      {"mc,15,1.2.3.4:", platform::ipv4(1, 2, 3, 4), 0, 15},                 // empty port reads 0
      {"mc,15,0.0.0.0:80", platform::ipv4(0, 0, 0, 0), 80, std::nullopt},    // not a valid address
      {"mc,15,:80", platform::ipv4(203, 0, 113, 9), 80, std::nullopt},       // empty host
      {"mc,9-9,1.2.3.4:80", platform::ipv4(1, 2, 3, 4), 80, 9},
      {"mc,0-9,1.2.3.4:80", platform::ipv4(1, 2, 3, 4), 80, std::nullopt},
      {"mc,10-500,1.2.3.4:80", platform::ipv4(1, 2, 3, 4), 80, std::nullopt},
      {"mc,15,1.2.3.4:80,extra", platform::ipv4(1, 2, 3, 4), 80, std::nullopt},
      {"10.0.0.0/8,20-40", platform::ipv4(10, 0, 0, 1), 0, std::nullopt},  // an ICMP rule is skipped
  };
  for (const DelayRow& row : rows) {
    RuleLists lists;
    tcp::PingResponder responder;
    responder.AddRules(lists.ParseDelayRules(row.text));
    EXPECT_EQ(responder.FindDelay(row.address, platform::hostToNet16(row.port)), row.delay) << row.text;
  }

  // The range draw: min 10, max 31 gives middle 20, half 10; r2 even draws
  // 20 - r1 mod 10, odd 20. Width 1 keeps half at 1. A later rule for the
  // same key replaces the earlier.
  struct Row {
    const char* text;
    uint32_t r1, r2, expected;
  } draws[] = {{"mc,10-31,1.2.3.4:80", 7, 2, 13},  {"mc,10-31,1.2.3.4:80", 7, 3, 20},
               {"mc,10-31,1.2.3.4:80", 19, 0, 11}, {"mc,10-31,1.2.3.4:80", 0, 0, 20},
               {"mc,10-11,1.2.3.4:80", 5, 0, 10},  {"mc,10-20,1.2.3.4:80;mc,15,1.2.3.4:80", 0, 0, 15}};
  for (const Row& row : draws) {
    SCOPED_TRACE(testing::Message() << row.text << " " << row.r1 << "," << row.r2);
    ScriptedRandom random;
    random.values->assign({row.r1, row.r2});
    RuleLists lists(random.source());
    tcp::PingResponder responder;
    responder.AddRules(lists.ParseDelayRules(row.text));
    EXPECT_EQ(responder.FindDelay(platform::ipv4(1, 2, 3, 4), platform::hostToNet16(80)), row.expected);
    EXPECT_EQ(responder.AddressRuleCount(), 1u);
  }
}

TEST(ParseDelayRules, NameRulesBecomeAddressRulesWhenTheNameResolves) {
  RuleLists lists;
  tcp::PingResponder responder;
  responder.AddRules(lists.ParseDelayRules("mc,25,game.example.com:7000;mc,40,*.*:7001"));
  EXPECT_EQ(responder.NameRuleCount(), 1u);
  const uint32_t answers[] = {platform::ipv4(203, 0, 113, 5), 0};

  // Only while the responder is enabled.
  responder.OnNameResolved("game.example.com", answers);
  EXPECT_EQ(responder.FindDelay(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(7000)), std::nullopt);
  responder.SetEnabled(true);
  EXPECT_FALSE(responder.OnNameResolved("game.example.com", answers));
  EXPECT_EQ(responder.FindDelay(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(7000)), 25u);
  EXPECT_EQ(responder.FindDelay(0, platform::hostToNet16(7000)), std::nullopt)
      << "address 0 in an answer is ignored";
  // Exact address first, then the any-address rule of the port.
  EXPECT_EQ(responder.FindDelay(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(7001)), 40u);
  responder.OnNameResolved("other.example.com", answers);
  EXPECT_EQ(responder.AddressRuleCount(), 2u);

  responder.Clear();
  EXPECT_EQ(responder.NameRuleCount(), 0u);
  EXPECT_EQ(responder.AddressRuleCount(), 0u);
}

TEST(HostsFile, ReadsNamesUpToTheCommentTokenIntoTheAddressTableAndNothingWithoutAFile) {
  lumotest::TempDir dir;
  std::ofstream(dir.path() / "hosts", std::ios::binary)
      << "# a comment line\r\n"
         "203.0.113.7 game.example.com alias.example.com # patch.example.com\n"
         "203.0.113.6\tother.example.com  #comment more.example.com\n"
         "  198.51.100.1   spaced.example.com\n"
         "2001:db8::5 six.example.com\r"
         "198.51.100.2 localhost notaname_ ok.example.org\n"
         "0.0.0.0 blocked.example.com\n"
         "not-an-address bad.example.com\n"
         "198.51.100.3\n"
         "203.0.113.5 game.example.com\n";
  RuleLists lists;
  lists.SetHostsPath(dir.path() / "hosts");
  HostMap map;
  ASSERT_TRUE(lists.LoadHostsFile(map));
  std::vector<std::string> names;
  for (const auto& [name, addresses] : map) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"alias.example.com", "game.example.com", "ok.example.org",
                                             "other.example.com", "six.example.com", "spaced.example.com"}));
  EXPECT_EQ(map["game.example.com"].size(), 2u);
  EXPECT_EQ(map["game.example.com"].begin()->ipv4(), platform::ipv4(203, 0, 113, 5));
  EXPECT_EQ(map["six.example.com"].begin()->family(), platform::kFamilyIpv6);

  // The host-address table takes each name's first IPv4 address in set
  // order, not file order, and is looked up case-sensitively.
  lists.EnterHostAddresses(map);
  EXPECT_EQ(lists.LookupHostAddress("game.example.com"), platform::ipv4(203, 0, 113, 5));
  EXPECT_EQ(lists.LookupHostAddress("GAME.example.com"), 0u);
  EXPECT_EQ(lists.LookupHostAddress("six.example.com"), 0u);
  // A later configuration overwrites and adds, never removes.
  HostMap next;
  AddHostAddress(next, "game.example.com", SocketAddress28::FromIpv4(platform::ipv4(198, 51, 100, 4)));
  lists.EnterHostAddresses(next);
  EXPECT_EQ(lists.LookupHostAddress("game.example.com"), platform::ipv4(198, 51, 100, 4));
  EXPECT_EQ(lists.LookupHostAddress("other.example.com"), platform::ipv4(203, 0, 113, 6));

  // A missing file adds nothing.
  lists.SetHostsPath(dir.path() / "absent");
  HostMap none;
  EXPECT_FALSE(lists.LoadHostsFile(none));
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace rules
