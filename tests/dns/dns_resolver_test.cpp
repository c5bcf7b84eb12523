// The engine's resolver against two DNS servers of the test's own on
// 127.0.0.1, standing in for the node's DNS service and the backup server.
#include "dns/dns_resolver.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "dns_upstream.h"
#include "platform/time.h"
#include "support/test_support.h"

using namespace dns;
using dnstest::Upstream;

namespace {

const uint32_t kLoopback = platform::ipv4(127, 0, 0, 1);

class RecordingResolver : public DnsResolver {
 public:
  ~RecordingResolver() override { stopResolver(); }
  void onDnsRequest(DNS_REQ& request) override {
    request.aaaaFromA = !request.isA;  // kept with the waiting query
    std::lock_guard<std::mutex> lock(m);
    requests.push_back(request);
  }
  void onDnsAnswer(const DNS_REQ& request, const std::vector<SocketAddress28>& addresses) override {
    std::lock_guard<std::mutex> lock(m);
    answers.emplace_back(request, addresses);
  }
  size_t answerCount() {
    std::lock_guard<std::mutex> lock(m);
    return answers.size();
  }
  std::mutex m;
  std::vector<DNS_REQ> requests;
  std::vector<std::pair<DNS_REQ, std::vector<SocketAddress28>>> answers;
};

DNS_REQ request(const std::string& name, bool isA, uint16_t id,
                rules::DomainClass ruleClass = rules::DomainClass::ViaProxy) {
  DNS_REQ r;
  r.name = name;
  r.isA = isA;
  r.dnsId = id;
  r.ruleClass = ruleClass;
  r.flowId = 77;
  return r;
}

struct Fixture {
  Upstream primary{Upstream::Mode::Answer, platform::ipv4(198, 51, 100, 1)};
  Upstream backup{Upstream::Mode::Answer, platform::ipv4(198, 51, 100, 2)};
  RecordingResolver resolver;
  Fixture() {
    resolver.setBackupServer(kLoopback, backup.port());
    EXPECT_TRUE(resolver.startResolver(kLoopback, primary.port()));
  }
};

}  // namespace

TEST(DnsResolver, ThePrimaryAnswersTheBackupIsAskedAnywayAndAnswersWhenThePrimaryIsSilent) {
  Fixture f;
  f.resolver.resolveAsync(request("game.example", true, 0x0101));
  f.resolver.resolveAsync(request("v6.example", false, 0x0202));
  ASSERT_TRUE(lumotest::waitFor([&] { return f.resolver.answerCount() == 2; }));
  // Both asked upstream as A questions with the application's ids, and
  // 500 ms later asked of the backup as well; its answers find nobody waiting.
  ASSERT_TRUE(lumotest::waitFor([&] { return f.backup.seenCount() == 2; }));
  for (const DnsMessage& q : f.primary.seen()) EXPECT_TRUE(q.isA) << q.name;
  EXPECT_EQ(f.resolver.pendingQueryCount(), 0u);
  {
    std::lock_guard<std::mutex> lock(f.resolver.m);
    ASSERT_EQ(f.resolver.answers.size(), 2u);
    for (const auto& [req, addresses] : f.resolver.answers) {
      ASSERT_FALSE(addresses.empty());
      EXPECT_EQ(addresses[0], SocketAddress28::FromIpv4(platform::ipv4(198, 51, 100, 1)));
      // Each answer went to its own question: the AAAA one kept what
      // onDnsRequest marked on it.
      EXPECT_EQ(req.aaaaFromA, !req.isA);
      EXPECT_EQ(req.dnsId, req.isA ? 0x0101 : 0x0202);
    }
  }

  f.primary.setMode(Upstream::Mode::Silent);
  f.backup.setMode(Upstream::Mode::OtherCase);
  f.resolver.resolveAsync(request("quiet.example", true, 0x0303));
  f.resolver.resolveAsync(
      request("other.example", true, 0x0404, rules::DomainClass::FromTable));  // not for the resolver
  ASSERT_TRUE(lumotest::waitFor([&] { return f.resolver.answerCount() == 3; }));
  {
    std::lock_guard<std::mutex> lock(f.resolver.m);
    EXPECT_EQ(f.resolver.answers[2].second[0], SocketAddress28::FromIpv4(platform::ipv4(198, 51, 100, 2)));
    EXPECT_EQ(f.resolver.requests.size(), 3u);
  }
  EXPECT_EQ(f.primary.seenCount(), 3u);

  // Nobody answers: the query is forgotten after its time.
  f.backup.setMode(Upstream::Mode::Silent);
  f.resolver.resolveAsync(request("nobody.example", true, 0x0505));
  ASSERT_TRUE(lumotest::waitFor([&] { return f.backup.seenCount() == 4; }));
  EXPECT_EQ(f.resolver.pendingQueryCount(), 1u);
  ASSERT_TRUE(lumotest::waitFor([&] { return f.resolver.pendingQueryCount() == 0; }));
  EXPECT_EQ(f.resolver.answerCount(), 3u);
}

// Stop wakes the receive threads blocked in their sockets (not by closing the
// sockets under them), cancels the resends and removals, and the resolver can
// start again.
TEST(DnsResolver, StopEndsEverythingAndTheResolverStartsAgain) {
  Fixture f;
  f.primary.setMode(Upstream::Mode::Silent);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const size_t backupBefore = f.backup.seenCount();
    f.resolver.resolveAsync(request("stop.example", true, static_cast<uint16_t>(0x0600 + round)));
    ASSERT_TRUE(lumotest::waitFor([&] { return f.resolver.pendingQueryCount() == 1; }));
    f.resolver.stopResolver();
    EXPECT_FALSE(f.resolver.resolverStarted());
    EXPECT_EQ(f.resolver.pendingQueryCount(), 0u);
    // The resend was due 500 ms after the query: cancelled, it never goes.
    platform::sleepMs(700);
    EXPECT_EQ(f.backup.seenCount(), backupBefore);
    // Stopped: requests are ignored.
    f.resolver.resolveAsync(request("ignored.example", true, 1));
    EXPECT_EQ(f.resolver.pendingQueryCount(), 0u);
    ASSERT_TRUE(f.resolver.startResolver(kLoopback, f.primary.port()));
  }
  f.primary.setMode(Upstream::Mode::Answer);
  f.resolver.resolveAsync(request("again.example", true, 0x0700));
  ASSERT_TRUE(lumotest::waitFor([&] { return f.resolver.answerCount() == 1; }));
}
