// The blocking DNS client and the upstream server probe, against a responder
// of the test's own on 127.0.0.1. No query leaves loopback.
#include "hostnet/dns_query.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "dns/dns_upstream.h"
#include "hostnet/dns_servers.h"
#include "support/test_support.h"

using namespace hostnet;
using dnstest::Upstream;
using platform::ipv4;

const uint32_t kLoopback = ipv4(127, 0, 0, 1);

TEST(DnsQueryEncoding, BuildsTheQueryBytesAndRefusesNamesThatDoNotFit) {
  uint8_t buf[kDnsQueryBufferSize];
  ASSERT_EQ(EncodeDnsQuery(0x1234, kDnsTypeAaaa, "ab.c.", buf), 12u + 6 + 4);
  const uint8_t expected[] = {
      0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0,  // id, RD, one question
      2, 'a', 'b', 1, 'c', 0,                          // ab.c
      0, 28, 0, 1,                                     // AAAA, IN
  };
  EXPECT_EQ(0, std::memcmp(buf, expected, sizeof expected));

  // Names that do not fit are refused.
  const std::string l63(63, 'x');
  struct Row {
    std::string name;
    size_t length;  // 0: refused
  } rows[] = {
      {l63 + "." + l63 + "." + l63 + "." + std::string(61, 'y'), kDnsQueryBufferSize},  // exactly fits
      {l63 + "." + l63 + "." + l63 + "." + std::string(62, 'y'), 0},                    // one byte too many
      {l63 + "." + l63 + "." + l63 + "." + l63, 0},
      {std::string(64, 'z') + ".com", 0},
      {"a..b", 0},
      {".a", 0},
      {"", 0},
      {".", 0},
  };
  for (const Row& r : rows) EXPECT_EQ(EncodeDnsQuery(1, kDnsTypeA, r.name, buf), r.length) << r.name.size();
}

TEST(DnsQueryReply, TruncatedOrCorruptRepliesAreNeverReadPastTheEnd) {
  uint8_t query[kDnsQueryBufferSize];
  size_t ql = EncodeDnsQuery(0xBEEF, kDnsTypeA, "game.test", query);
  std::vector<uint8_t> reply(query, query + ql);
  reply[2] = 0x81;
  reply[3] = 0x80;
  reply[7] = 1;
  const uint8_t a[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 203, 0, 113, 5};
  reply.insert(reply.end(), a, a + sizeof a);

  std::vector<platform::SocketAddress> out;
  ASSERT_EQ(ReadDnsReply(query, ql, reply.data(), reply.size(), out), DnsReplyVerdict::Accepted);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].ipv4(), ipv4(203, 0, 113, 5));

  // Every truncation: a short header is ignored, a cut body is a mismatch,
  // never an accepted reply nor a read past the copy.
  for (size_t cut = 0; cut < reply.size(); ++cut) {
    std::vector<uint8_t> part(reply.begin(), reply.begin() + static_cast<long>(cut));
    out.clear();
    EXPECT_NE(ReadDnsReply(query, ql, part.data(), part.size(), out), DnsReplyVerdict::Accepted) << cut;
    EXPECT_TRUE(out.empty());
  }
  // An answer length running past the end.
  std::vector<uint8_t> bad = reply;
  bad[bad.size() - 5] = 200;
  EXPECT_EQ(ReadDnsReply(query, ql, bad.data(), bad.size(), out), DnsReplyVerdict::Mismatch);
  // A question name with a reserved label type.
  bad = reply;
  bad[12] = 0x80;
  EXPECT_EQ(ReadDnsReply(query, ql, bad.data(), bad.size(), out), DnsReplyVerdict::Mismatch);
}

TEST(DnsQueryBlocking, AgainstALocalResponderAndAsTheServerProbe) {
  struct Row {
    Upstream::Mode mode;
    bool success;
    bool timesOut;
  } rows[] = {
      {Upstream::Mode::Answer, true, false},     {Upstream::Mode::WrongIdThenAnswer, true, false},
      {Upstream::Mode::Silent, false, true},     {Upstream::Mode::WrongId, false, true},
      {Upstream::Mode::ErrorFlag, false, true},  {Upstream::Mode::ZeroAnswers, false, true},
      {Upstream::Mode::OtherCase, false, false},
  };
  for (const Row& r : rows) {
    Upstream responder(r.mode);
    ASSERT_TRUE(responder.ok());
    uint64_t reads = 0;  // the clock moves 250 ms per reading: the one-second give-up comes soon
    DnsQueryResult result;
    bool ok = DnsQueryBlocking(kLoopback, kDnsTypeA, "play.game.test", result, responder.port(),
                               [&reads] { return (reads++) * 250; });
    EXPECT_EQ(ok, r.success) << static_cast<int>(r.mode);
    EXPECT_EQ(responder.seenCount(), 1u) << static_cast<int>(r.mode);
    EXPECT_EQ(result.elapsedMs == kDnsQueryTimedOut, r.timesOut) << static_cast<int>(r.mode);
    std::string addresses;  // the CNAME record is skipped
    for (const platform::SocketAddress& a : result.addresses) addresses += platform::addressToText(a) + " ";
    EXPECT_EQ(addresses, r.success ? "198.51.100.7 2001:db8::5 " : "") << static_cast<int>(r.mode);
    // The upstream server probe is the blocking client's answer.
    DnsProbeSettings probe;
    probe.probeHostName = "probe.game.test";
    probe.clock = [&reads] { return (reads++) * 250; };
    probe.serverPortNet = responder.port();
    EXPECT_EQ(ProbeDnsServer(kLoopback, probe), r.success) << static_cast<int>(r.mode);
    EXPECT_EQ(responder.seenCount(), 2u) << static_cast<int>(r.mode);
  }
  // Other types and overlong names are refused without a query going out.
  Upstream responder(Upstream::Mode::Answer);
  ASSERT_TRUE(responder.ok());
  DnsQueryResult result;
  EXPECT_FALSE(DnsQueryBlocking(kLoopback, 15, "mx.game.test", result, responder.port()));
  EXPECT_FALSE(DnsQueryBlocking(kLoopback, kDnsTypeA, std::string(300, 'a'), result, responder.port()));
  EXPECT_TRUE(DnsQueryBlocking(kLoopback, kDnsTypeAaaa, "v6.game.test", result, responder.port()));
  EXPECT_EQ(responder.seenCount(), 1u);

  // An answer after the second is not taken: the late server lets it go as
  // soon as the client's clock has passed one second.
  Upstream late(Upstream::Mode::Late);
  ASSERT_TRUE(late.ok());
  uint64_t reads = 0;
  auto clock = [&]() -> uint64_t {
    uint64_t t = (reads++) * 400;
    if (t > 1000) late.release();
    return t;
  };
  EXPECT_FALSE(DnsQueryBlocking(kLoopback, kDnsTypeA, "late.game.test", result, late.port(), clock));
  EXPECT_EQ(result.elapsedMs, kDnsQueryTimedOut);
  EXPECT_TRUE(lumotest::waitFor([&] { return late.replies() == 1; }));
}

TEST(DnsServers, CollectionWalkFallbackAndGrowth) {
  const uint32_t a = ipv4(127, 0, 0, 11), b = ipv4(127, 0, 0, 12), c = ipv4(127, 0, 0, 13);
  const uint32_t fallback = ipv4(8, 8, 8, 8);
  struct Row {
    const char* what;
    std::vector<uint32_t> system;
    // Probe answers per server, in the order asked; a server without any
    // must never be probed.
    std::vector<std::pair<uint32_t, std::vector<bool>>> answers;
    std::vector<uint32_t> expected;
  } rows[] = {
      {"first fails: only the fallback", {a, b}, {{a, {false}}}, {fallback}},
      {"walk stops at the first failure", {a, b, c}, {{a, {true, true}}, {b, {false}}}, {a}},
      {"third probe saves a server", {a, b}, {{a, {true, false, true}}, {b, {true, true}}}, {a, b}},
      {"failing both re-probes drops it", {a, b}, {{a, {true, false, false}}, {b, {true, true}}}, {b}},
      {"no system server", {}, {}, {fallback}},
  };
  for (const Row& r : rows) {
    std::map<uint32_t, std::vector<bool>> left;
    for (const auto& [server, answers] : r.answers) left[server] = answers;
    std::vector<uint32_t> asked;
    UpstreamDnsServers upstream;
    upstream.CollectDnsServers(
        r.system,
        [&](uint32_t server) {
          asked.push_back(server);
          auto& queue = left[server];
          if (queue.empty()) {
            ADD_FAILURE() << r.what << ": unexpected probe";
            return false;
          }
          bool answer = queue.front();
          queue.erase(queue.begin());
          return answer;
        },
        fallback);
    EXPECT_EQ(upstream.servers(), r.expected) << r.what;
    for (uint32_t s : asked) EXPECT_NE(s, fallback) << r.what << ": the fallback is never probed";
    for (const auto& [server, queue] : left) EXPECT_TRUE(queue.empty()) << r.what;
  }
  // Each collection adds to the list; none clears it.
  UpstreamDnsServers upstream;
  upstream.CollectDnsServers(
      {a}, [](uint32_t) { return true; }, fallback);
  upstream.CollectDnsServers(
      {a}, [](uint32_t) { return true; }, fallback);
  EXPECT_EQ(upstream.servers(), (std::vector<uint32_t>{a, a}));
  EXPECT_EQ(upstream.first(), a);
}
