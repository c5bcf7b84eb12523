// DNS through the engine, side by side in one run (Linux, loopback only):
//  (a) a name the filter file answers from its table (engine only);
//  (b) a name resolved through the proxy: the engine's resolver, lumo-node's
//      DNS service on port 5312 and dnsmasq behind it;
//  (c) the same query sent straight to dnsmasq (the baseline of both);
//  (d) the same query through lumo-node's DNS service, without the engine
//      (the node hop that (b) cannot avoid).
// Each figure is the time from the application's send to its receipt of
// the answer, over N queries one at a time; p50 and p99 in microseconds and
// the ratios (a)/(c) and (b)/(d) at both, and the hand-offs each path costs
// this process. The paths take turns in ten rounds. Run it as root where
// port 5312 of 127.0.0.1 is free (a network namespace of its own:
// `unshare -n` and `ip link set lo up`; dnsmasq cannot give up its rights in
// one that `unshare -rn` made). Needs /usr/sbin/dnsmasq.
//   dns_bench [N]   (default 300)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dns/dns_message.h"
#include "hostnet/dns_query.h"
#include "live_udp.h"
#include "lumo/lumo.h"
#include "node_process.h"
#include "platform/files.h"
#include "platform/module.h"
#include "platform/net.h"
#include "platform/services.h"
#include "rules/filter_file.h"
#include "sim_driver.h"
#include "support/program.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kDnsmasqPort = 15353;
constexpr uint16_t kNodeDnsPort = 5312;
constexpr uint32_t kOtherProcess = 1;
const uint32_t kLoopback = platform::ipv4(127, 0, 0, 1);

long long voluntarySwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

// One path's answered queries over all rounds, and how often this process's
// threads went to sleep meanwhile.
struct Path {
  std::vector<double> us;
  long long switches = 0;
  int queries = 0;

  // Runs one round of `n` queries: `run` returns each answered one's time.
  template <typename Run>
  void round(int n, Run run) {
    const long long before = voluntarySwitches();
    std::vector<double> times = run(n);
    switches += voluntarySwitches() - before;
    queries += n;
    us.insert(us.end(), times.begin(), times.end());
  }
  double percentile(int p) {
    if (us.empty()) return 0;
    std::sort(us.begin(), us.end());
    return us[std::min(us.size() - 1, us.size() * p / 100)];
  }
  double switchesPerQuery() const { return queries != 0 ? static_cast<double>(switches) / queries : 0; }
};

// One query at a time from a plain loopback socket to `port`.
std::vector<double> straight(uint16_t port, int n) {
  platform::Socket s = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
  platform::bindSocket(s, platform::makeIpv4Address(kLoopback, 0));
  platform::setReceiveTimeout(s, 2000);
  const platform::SocketAddress to = platform::makeIpv4Address(kLoopback, platform::hostToNet16(port));
  std::vector<double> us;
  for (int i = 0; i < n; ++i) {
    const std::vector<uint8_t> q = dns::BuildDnsQuery(static_cast<uint16_t>(i), "steer.example", dns::kTypeA);
    const auto t0 = Clock::now();
    platform::sendTo(s, q.data(), q.size(), to);
    uint8_t buf[600];
    if (platform::receiveFrom(s, buf, sizeof buf, nullptr) <= 0) continue;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  platform::closeSocket(s);
  return us;
}

// One query at a time from a simulated application through the engine.
std::vector<double> throughEngine(simdrv::LiveUdp& live, const char* name, int n) {
  simdrv::LiveUdp::Socket app = live.open(kOtherProcess);
  std::vector<double> us;
  for (int i = 0; i < n; ++i) {
    const std::vector<uint8_t> q = dns::BuildDnsQuery(static_cast<uint16_t>(i), name, dns::kTypeA);
    const auto t0 = Clock::now();
    if (app.sendTo(simdrv::ipv4("8.8.8.1", 53), std::string(q.begin(), q.end())) !=
        simdrv::LiveUdp::SendResult::Reported)
      continue;
    if (!app.recvFrom(2000)) continue;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  app.close();
  return us;
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 300;
  if (!std::filesystem::exists("/usr/sbin/dnsmasq")) {
    std::fprintf(stderr, "dns_bench: /usr/sbin/dnsmasq is missing (package dnsmasq-base)\n");
    return 2;
  }
  lumotest::TempDir dir;
  std::ofstream(dir.path() / "hosts") << "203.0.113.5 steer.example\n";
  lumotest::Program dnsmasq;
  std::string error;
  if (!dnsmasq.start(
          {"/usr/sbin/dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null",
           "--port=" + std::to_string(kDnsmasqPort), "--listen-address=127.0.0.1", "--bind-interfaces",
           "--no-resolv", "--no-hosts", "--addn-hosts=" + (dir.path() / "hosts").string(), "--pid-file="},
          {}, error)) {
    std::fprintf(stderr, "dns_bench: %s\n", error.c_str());
    return 2;
  }
  hostnet::DnsQueryResult ready;
  if (!lumotest::waitFor([&] {
        return hostnet::DnsQueryBlocking(kLoopback, hostnet::kDnsTypeA, "steer.example", ready,
                                         platform::hostToNet16(kDnsmasqPort));
      })) {
    std::fprintf(stderr, "dns_bench: dnsmasq does not answer on port %u\n", kDnsmasqPort);
    return 2;
  }
  lumotest::NodeProcess node;
  if (!node.startWithTunnel({"--dns-port", std::to_string(kNodeDnsPort), "--dns-upstream",
                             "127.0.0.1:" + std::to_string(kDnsmasqPort)},
                            error)) {
    std::fprintf(stderr, "dns_bench: lumo-node: %s\n", error.c_str());
    return 2;
  }
  // The backup server: a loopback port where nobody answers.
  setenv("LUMO_DNS_BACKUP", "127.0.0.1:9", 1);

  const std::filesystem::path filterFile = platform::libraryFolder() / "config" / "filter.txt";
  std::filesystem::create_directories(filterFile.parent_path());
  std::string file;
  rules::EncipherFilterText("0,0,0,0,steer.example,1,n\n0,0,0,0,table.example,1,n,1,198.51.100.7\n", file,
                            error);
  platform::writeFileAtomically(filterFile, file);
  simdrv::SimDriver driver;
  driver.install();
  platform::attachSimulatedService(
      u"LumoDriverSys", [] { return true; }, [] {});
  simdrv::LiveUdp live(driver);
  Init(0);
  std::filesystem::remove(filterFile);
  LUMO_PROCESS_ENTRY game{};
  std::strncpy(game.name, "game.exe", sizeof game.name - 1);
  game.value = 1;
  SetConfig("bench", 0, "", 0, "", 0, &game, 1, 0, "", kLoopback, platform::hostToNet16(node.port()),
            platform::hostToNet16(node.udpPort()), 7, 0, 0, 0);
  Start(1, 1, 0, 0, 0, 0);

  // Warm-up, then the rounds side by side.
  straight(kDnsmasqPort, 20);
  throughEngine(live, "table.example", 20);
  throughEngine(live, "steer.example", 20);
  // Rounds alternate between the paths, so that a busy moment of the
  // machine falls on all of them alike.
  constexpr int kRounds = 10;
  Path c, d, a, b;
  for (int r = 0; r < kRounds; ++r) {
    const int k = (n + kRounds - 1) / kRounds;
    c.round(k, [](int m) { return straight(kDnsmasqPort, m); });
    d.round(k, [](int m) { return straight(kNodeDnsPort, m); });
    a.round(k, [&](int m) { return throughEngine(live, "table.example", m); });
    b.round(k, [&](int m) { return throughEngine(live, "steer.example", m); });
  }
  UnInit(1);
  node.stop();
  dnsmasq.stop();

  // Hand-offs: voluntary context switches of this process's threads per
  // query (the application, the simulated driver and the engine live here;
  // dnsmasq and lumo-node are processes of their own).
  std::printf("%-46s %10s %10s %10s\n", "query to answer, microseconds", "p50", "p99", "hand-offs");
  const auto row = [](const char* name, Path& p) {
    std::printf("%-46s %10.1f %10.1f %10.1f\n", name, p.percentile(50), p.percentile(99),
                p.switchesPerQuery());
  };
  row("(c) straight to dnsmasq", c);
  row("(d) node DNS service + dnsmasq", d);
  row("(a) engine, class 2 from the table", a);
  row("(b) engine, class 1 via node + dnsmasq", b);
  std::printf("ratio (a)/(c): p50 %.2f  p99 %.2f   (goal: p50 <= 1.0)\n", a.percentile(50) / c.percentile(50),
              a.percentile(99) / c.percentile(99));
  std::printf("ratio (b)/(d): p50 %.2f  p99 %.2f   (goal: both <= 1.2)\n",
              b.percentile(50) / d.percentile(50), b.percentile(99) / d.percentile(99));
  return 0;
}
