// DNS interception against a scripted driver and engine: each way a query
// can end, what the application gets back, the tunnel's waiting queries, and
// what is learned from passing responses.
#include "dns/dns_interception.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "support/test_support.h"
#include "udp/recording_flow_driver.h"

using namespace dns;
using platform::SocketAddress;
using Bytes = std::vector<uint8_t>;
using Outcome = udp::DnsBranch::QueryOutcome;

namespace {

using ScriptedDriver = lumotest::RecordingFlowDriver;

class ScriptedEngine : public DnsLinks {
 public:
  DnsSwitches switches() override { return sw; }
  rules::DomainClass classifyDomain(const std::string& name) override {
    return classes.count(name) ? classes[name] : rules::DomainClass::None;
  }
  bool isListedName(const std::string& name) override { return listed.count(name) != 0; }
  uint32_t lookupHostAddress(const std::string& name) override { return hosts.count(name) ? hosts[name] : 0; }
  void resolveAsync(const DNS_REQ& request) override { resolved.push_back(request); }
  void learnDnsAnswer(const std::string& name, const std::vector<SocketAddress28>& addresses) override {
    learned.emplace_back(name, addresses);
  }

  DnsSwitches sw{false, false, true, true};
  std::map<std::string, rules::DomainClass> classes{{"one.example", rules::DomainClass::ViaProxy},
                                                    {"two.example", rules::DomainClass::FromTable},
                                                    {"unlisted.example", rules::DomainClass::FromTable}};
  std::map<std::string, uint32_t> hosts{{"two.example", platform::ipv4(198, 51, 100, 20)}};
  std::map<std::string, bool> listed;
  std::vector<DNS_REQ> resolved;
  std::vector<std::pair<std::string, std::vector<SocketAddress28>>> learned;
};

Bytes query(const std::string& name, bool isA, uint16_t id = 0x2a2a) {
  return BuildDnsQuery(id, name, isA ? kTypeA : kTypeAaaa);
}

const SocketAddress kVirtualDns = platform::makeIpv4Address(kVirtualDnsAddress, platform::hostToNet16(53));
const SocketAddress kOtherDns =
    platform::makeIpv4Address(platform::ipv4(192, 0, 2, 53), platform::hostToNet16(53));

struct Fixture {
  ScriptedDriver driver;
  ScriptedEngine engine;
  collector::DataCollectorEvent collector;
  DnsInterception dns{engine, driver, collector};
};

}  // namespace

TEST(DnsInterception, EachQueryEndsOneWay) {
  enum End { Passed, PassedReleased, Resolved, Answered, Tunnelled, Dropped };
  struct Row {
    const char* what;
    Bytes message;
    SocketAddress server;
    DnsSwitches sw;
    End end;
    int answers;  // ANCOUNT of the synthesised response (Answered)
  };
  const DnsSwitches on{false, false, true, true};       // udp on, adapter off
  const DnsSwitches proxyAll{true, false, true, true};  // udpProxyAll
  const DnsSwitches udpOff{false, false, false, true};
  const DnsSwitches adapter{false, true, true, true};
  const DnsSwitches noNode{false, false, true, false};
  Bytes response = query("one.example", true);
  response[2] |= 0x80;  // QR
  Bytes twoQuestions = query("one.example", true);
  twoQuestions[5] = 2;
  Bytes big = query("one.example", true);
  big.resize(513);
  Bytes examined = query("one.example", true);
  examined.resize(511);  // trailing bytes after the question are not looked at
  const Row rows[] = {
      {"513 bytes", big, kVirtualDns, on, PassedReleased, 0},
      {"511 bytes are examined", examined, kVirtualDns, on, Resolved, 0},
      {"a response sent as a query", response, kVirtualDns, on, PassedReleased, 0},
      {"two questions", twoQuestions, kVirtualDns, on, PassedReleased, 0},
      {"header only", Bytes(12, 0), kVirtualDns, on, PassedReleased, 0},
      {"MX question", BuildDnsQuery(7, "one.example", 15), kVirtualDns, on, Passed, 0},
      {"reverse look-up", query("4.3.2.1.in-addr.arpa", true), kVirtualDns, on, Passed, 0},
      {".lan name", query("printer.lan", true), kVirtualDns, on, Passed, 0},
      {"service's own name", query("node.lumo.internal", true), kVirtualDns, proxyAll, Passed, 0},
      {"class 1 to another server", query("one.example", true), kOtherDns, on, Passed, 0},
      {"class 1 to another server, proxy all", query("one.example", true), kOtherDns, proxyAll, Resolved, 0},
      {"class 1 A", query("One.Example", true), kVirtualDns, on, Resolved, 0},
      {"class 1 AAAA, udp on", query("one.example", false), kVirtualDns, on, Resolved, 0},
      {"class 1 AAAA, udp off", query("one.example", false), kVirtualDns, udpOff, Answered, 0},
      {"class 1 AAAA, adapter mode", query("one.example", false), kVirtualDns, adapter, Answered, 0},
      {"class 1 A, udp off", query("one.example", true), kVirtualDns, udpOff, Resolved, 0},
      {"class 2 A", query("two.example", true), kVirtualDns, on, Answered, 1},
      {"class 2 AAAA", query("two.example", false), kVirtualDns, on, Answered, 1},
      {"class 2 AAAA, udp off", query("two.example", false), kVirtualDns, udpOff, Answered, 0},
      {"class 2 not in the table", query("unlisted.example", true), kVirtualDns, on, Resolved, 0},
      {"other name to the virtual server", query("else.example", true), kVirtualDns, on, Tunnelled, 0},
      {"other name, no node", query("else.example", true), kVirtualDns, noNode, Dropped, 0},
      {"other name to another server, proxy all", query("else.example", true), kOtherDns, proxyAll, Passed,
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Fixture f;
    f.engine.sw = row.sw;
    const Outcome outcome =
        f.dns.interceptDnsQuery(9, row.server, row.message.data(), row.message.size(), nullptr);
    EXPECT_EQ(outcome == Outcome::Tunnel, row.end == Tunnelled);
    EXPECT_EQ(f.driver.released.size(), row.end == PassedReleased ? 1u : 0u);
    EXPECT_EQ(f.engine.resolved.size(), row.end == Resolved ? 1u : 0u);
    const bool injects = row.end == Passed || row.end == PassedReleased || row.end == Answered;
    ASSERT_EQ(f.driver.injected.size(), injects ? 1u : 0u);
    EXPECT_EQ(f.dns.tunnelWaitCount(), row.end == Tunnelled || row.end == Dropped ? 1u : 0u);
    if (!injects) continue;
    const ScriptedDriver::Injected& out = f.driver.injected[0];
    EXPECT_EQ(out.id, 9u);
    EXPECT_EQ(out.remote.ipv4(), row.server.ipv4());  // passed to, or answered from, the server asked
    if (row.end != Answered) {
      EXPECT_FALSE(out.toApplication);
      EXPECT_EQ(out.data, row.message);
      continue;
    }
    EXPECT_TRUE(out.toApplication);
    const DnsMessage m = ParseDnsMessage(out.data.data(), out.data.size());
    ASSERT_TRUE(m.isResponse);
    EXPECT_EQ(m.id, 0x2a2a);
    EXPECT_EQ(m.answers.size(), static_cast<size_t>(row.answers));
    EXPECT_EQ(f.engine.learned.size(), 1u);
  }
}

TEST(DnsInterception, TunnelRepliesMatchTheirWaitOnceWaitsExpireAndPassingResponsesAreLearned) {
  Fixture f;
  const Bytes q = query("else.example", true, 0x0bad);
  ASSERT_EQ(f.dns.interceptDnsQuery(5, kVirtualDns, q.data(), q.size(), nullptr), Outcome::Tunnel);
  ASSERT_EQ(f.dns.tunnelWaitCount(), 1u);

  const std::vector<SocketAddress28> answer{SocketAddress28::FromIpv4(platform::ipv4(192, 0, 2, 77))};
  const Bytes otherId = BuildDnsResponse(0x0bae, "else.example", true, answer);
  const Bytes otherType = BuildDnsResponse(0x0bad, "else.example", false, answer);
  const Bytes reply = BuildDnsResponse(0x0bad, "ELSE.example", true, answer);
  EXPECT_FALSE(f.dns.matchTunnelDnsReply(otherId.data(), otherId.size()));
  EXPECT_FALSE(f.dns.matchTunnelDnsReply(otherType.data(), otherType.size()));
  EXPECT_FALSE(f.dns.matchTunnelDnsReply(q.data(), q.size()));  // a query is no reply
  EXPECT_TRUE(f.dns.matchTunnelDnsReply(reply.data(), reply.size()));
  EXPECT_FALSE(f.dns.matchTunnelDnsReply(reply.data(), reply.size()));
  EXPECT_EQ(f.dns.tunnelWaitCount(), 0u);

  ASSERT_EQ(f.driver.injected.size(), 1u);
  const ScriptedDriver::Injected& in = f.driver.injected[0];
  EXPECT_EQ(std::tuple(in.toApplication, in.id, in.remote.ipv4()), std::tuple(true, 5u, kVirtualDnsAddress));
  ASSERT_EQ(f.engine.learned.size(), 1u);
  EXPECT_EQ(f.engine.learned[0].first, "else.example");

  // Responses passing to the application are learned from (when they read
  // well) and delivered unchanged.
  const Bytes good = BuildDnsResponse(4, "Seen.Example", true, answer);
  Bytes cut(good.begin(), good.end() - 2);
  f.dns.observeDnsResponse(8, kOtherDns, good.data(), good.size(), nullptr);
  f.dns.observeDnsResponse(8, kOtherDns, cut.data(), cut.size(), nullptr);
  f.dns.observeDnsResponse(8, kOtherDns, nullptr, 0, nullptr);
  ASSERT_EQ(f.engine.learned.size(), 2u);
  EXPECT_EQ(f.engine.learned[1].first, "seen.example");
  EXPECT_EQ(f.engine.learned[1].second, answer);
  ASSERT_EQ(f.driver.injected.size(), 4u);
  EXPECT_EQ(f.driver.injected[1].data, good);
  EXPECT_EQ(f.driver.injected[2].data, cut);
  for (const auto& i : f.driver.injected) EXPECT_TRUE(i.toApplication);

  // A waiting query is forgotten after its time; a late reply is not claimed.
  const Bytes late = query("late.example", true, 0x0001);
  ASSERT_EQ(f.dns.interceptDnsQuery(5, kVirtualDns, late.data(), late.size(), nullptr), Outcome::Tunnel);
  ASSERT_TRUE(lumotest::waitFor([&] { return f.dns.tunnelWaitCount() == 0; }));
  const Bytes lateReply = BuildDnsResponse(0x0001, "late.example", true, {});
  EXPECT_FALSE(f.dns.matchTunnelDnsReply(lateReply.data(), lateReply.size()));

  // Stopped with queries waiting: nothing is left, and no removal runs later
  // into a map that the engine has gone on to fill again.
  for (uint16_t id = 10; id < 20; ++id) {
    const Bytes more = query("stop.example", true, id);
    f.dns.interceptDnsQuery(6, kVirtualDns, more.data(), more.size(), nullptr);
  }
  EXPECT_EQ(f.dns.tunnelWaitCount(), 10u);
  f.dns.stopTunnelWaits();
  EXPECT_EQ(f.dns.tunnelWaitCount(), 0u);
}
