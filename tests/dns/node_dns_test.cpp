// lumo-node's DNS service through the program, on 127.0.0.1: its hosts file,
// forwarding under its own ids, refusal without an upstream, malformed queries.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "dns/dns_message.h"
#include "dns_upstream.h"
#include "node_process.h"
#include "platform/net.h"
#include "support/test_support.h"

using namespace dns;
using Bytes = std::vector<uint8_t>;

namespace {

const uint32_t kLoopback = platform::ipv4(127, 0, 0, 1);

// A client socket on loopback with a receive time-out.
struct Client {
  Client() {
    s = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
    platform::bindSocket(s, platform::makeIpv4Address(kLoopback, 0));
    platform::setReceiveTimeout(s, 5000);
  }
  ~Client() { platform::closeSocket(s); }
  void send(uint16_t port, const Bytes& datagram) {
    platform::sendTo(s, datagram.data(), datagram.size(),
                     platform::makeIpv4Address(kLoopback, platform::hostToNet16(port)));
  }
  Bytes ask(uint16_t port, const Bytes& query) {
    send(port, query);
    uint8_t buf[1024];
    platform::SocketAddress from;
    const int n = platform::receiveFrom(s, buf, sizeof buf, &from);
    if (n <= 0) return {};
    EXPECT_EQ(from.port(), platform::hostToNet16(port)) << "answered from the port asked";
    return Bytes(buf, buf + n);
  }
  platform::Socket s;
};

}  // namespace

TEST(NodeDnsService, AnswersFromItsHostsFileAndRefusesWithoutUpstream) {
  lumotest::TempDir dir;
  std::ofstream(dir.path() / "hosts")
      << "# test\n192.0.2.9 Table.Example other.example\n2001:db8::9 table.example\n"
      << "not-an-address bad.example\n";
  lumotest::NodeProcess node;
  std::string error;
  ASSERT_TRUE(node.startWithDns({"--dns-hosts", (dir.path() / "hosts").string()}, error)) << error;
  Client client;

  Bytes r = client.ask(node.dnsPort(), BuildDnsQuery(0x0a0a, "table.example", kTypeA));
  DnsMessage a = ParseDnsMessage(r.data(), r.size());
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.id, 0x0a0a);
  EXPECT_EQ(a.answers, std::vector<SocketAddress28>{SocketAddress28::FromIpv4(platform::ipv4(192, 0, 2, 9))});

  r = client.ask(node.dnsPort(), BuildDnsQuery(0x0b0b, "TABLE.example", kTypeAaaa));
  a = ParseDnsMessage(r.data(), r.size());
  ASSERT_TRUE(a.ok);
  const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
  EXPECT_EQ(a.answers, std::vector<SocketAddress28>{SocketAddress28::FromIpv6(v6)});

  // No AAAA for other.example: an empty answer, not a refusal.
  r = client.ask(node.dnsPort(), BuildDnsQuery(0x0c0c, "other.example", kTypeAaaa));
  ASSERT_GE(r.size(), kHeaderSize);
  EXPECT_EQ(r[3] & 0x0F, 0);
  EXPECT_EQ(r[7], 0);

  // Not in the file and no upstream: REFUSED.
  r = client.ask(node.dnsPort(), BuildDnsQuery(0x0d0d, "bad.example", kTypeA));
  ASSERT_GE(r.size(), kHeaderSize);
  EXPECT_EQ(r[3] & 0x0F, 5);

  // Malformed: dropped with a log line each; the service goes on answering.
  client.send(node.dnsPort(), {1, 2, 3});
  client.send(node.dnsPort(), BuildDnsResponse(7, "table.example", true, {}));
  r = client.ask(node.dnsPort(), BuildDnsQuery(0x0e0e, "table.example", kTypeA));
  a = ParseDnsMessage(r.data(), r.size());
  EXPECT_EQ(a.id, 0x0e0e) << "the malformed ones got no answer";
  EXPECT_TRUE(lumotest::waitFor([&] {
    const std::string log = node.log();
    const size_t first = log.find("reason=malformed");
    return first != std::string::npos && log.find("reason=malformed", first + 1) != std::string::npos;
  })) << node.log();
}

TEST(NodeDnsService, ForwardsUnderItsOwnIdsAndGivesTheClientItsOwnBack) {
  std::string error;
  lumotest::NodeProcess refused;
  EXPECT_FALSE(refused.startWithDns({"--dns-upstream", "192.0.2.1:53"}, error))
      << "an upstream outside loopback needs --allow-remote";
  dnstest::Upstream upstream;
  lumotest::NodeProcess node;
  ASSERT_TRUE(node.startWithDns(
      {"--dns-upstream", "127.0.0.1:" + std::to_string(platform::netToHost16(upstream.port()))}, error))
      << error;
  Client client;
  // Two clients' queries with the same id stay apart upstream.
  Client other;
  const Bytes r1 = client.ask(node.dnsPort(), BuildDnsQuery(0x4242, "one.example", kTypeA));
  const Bytes r2 = other.ask(node.dnsPort(), BuildDnsQuery(0x4242, "two.example", kTypeA));
  const DnsMessage a1 = ParseDnsMessage(r1.data(), r1.size());
  const DnsMessage a2 = ParseDnsMessage(r2.data(), r2.size());
  EXPECT_EQ(a1.id, 0x4242);
  EXPECT_EQ(a1.name, "one.example");
  EXPECT_EQ(a2.id, 0x4242);
  EXPECT_EQ(a2.name, "two.example");
  const std::vector<DnsMessage> seen = upstream.seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0].id, seen[1].id);
  EXPECT_NE(node.log().find("dns forward"), std::string::npos);
}
