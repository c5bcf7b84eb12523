// A game's DNS queries from one end to the other (Linux): the engine, loaded
// through its exports, answers each by its road (the node's DNS service, the
// filter file's table, the node's tunnel, the server asked, the backup
// server). Queries are built and answers read with glibc's resolver library;
// dnsmasq (unprivileged, on loopback ports, its own hosts file) plays the
// upstream servers, and without it the tests skip.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "e2e_support.h"
#include "hostnet/dns_query.h"
#include "live_udp.h"
#include "platform/files.h"
#include "platform/module.h"
#include "rules/filter_file.h"
#include "support/program.h"
#include "udp_echo_server.h"

using lumotest::kPassword;
using lumotest::kUser;
using simdrv::LiveUdp;

namespace {

constexpr const char* kDnsmasq = "/usr/sbin/dnsmasq";
constexpr uint16_t kUpstreamPort = 15353;  // dnsmasq behind the node
constexpr uint16_t kBackupPort = 15354;    // dnsmasq as the backup server
constexpr uint16_t kNodeDnsPort = 5312;
// The DNS queries come from another program: the engine's own process's DNS
// traffic is never shown to it.
constexpr uint32_t kOtherProcess = 1;
const uint32_t kLoopback = platform::ipv4(127, 0, 0, 1);

// dnsmasq answering from its own hosts file on a loopback port.
class Dnsmasq {
 public:
  bool start(uint16_t port, const std::string& hosts, std::string& error) {
    hostsFile_ = dir_.path() / "hosts";
    std::ofstream(hostsFile_) << hosts;
    if (!child_.start(
            {kDnsmasq, "--keep-in-foreground", "--conf-file=/dev/null", "--port=" + std::to_string(port),
             "--listen-address=127.0.0.1", "--bind-interfaces", "--no-resolv", "--no-hosts",
             "--addn-hosts=" + hostsFile_.string(), "--pid-file=", "--log-facility=-"},
            {}, error))
      return false;
    // Ready once it answers (every hosts file of these tests names steer.example).
    hostnet::DnsQueryResult r;
    if (!lumotest::waitFor([&] {
          return hostnet::DnsQueryBlocking(kLoopback, hostnet::kDnsTypeA, "steer.example", r,
                                           platform::hostToNet16(port));
        })) {
      error = "dnsmasq on port " + std::to_string(port) + " does not answer";
      return false;
    }
    return true;
  }

 private:
  lumotest::TempDir dir_;
  std::filesystem::path hostsFile_;
  lumotest::Program child_;
};

// The "server the application asked" for queries that pass: 127.0.0.1:53
// (8.8.8.1 and 192.0.2.53 reach it through the simulator's map). Answers
// every A question with 192.0.2.200, TTL 7.
std::string answerWithOneAddress(const std::string& query) {
  if (query.size() < 12) return query;
  std::string reply = query;
  reply[2] = static_cast<char>(0x81);
  reply[3] = static_cast<char>(0x80);
  reply[7] = 1;
  return reply.append("\xC0\x0C\x00\x01\x00\x01\x00\x00\x00\x07\x00\x04\xC0\x00\x02\xC8", 16);
}

struct Answer {
  bool ok = false;
  uint16_t id = 0;
  int questionType = 0;
  std::vector<std::string> addresses;  // text, in answer order
  std::vector<uint32_t> ttls;
};

// Reads a response with glibc's parser.
Answer readAnswer(const std::string& message) {
  Answer a;
  ns_msg msg;
  ns_rr rr;
  if (ns_initparse(reinterpret_cast<const unsigned char*>(message.data()), static_cast<int>(message.size()),
                   &msg) != 0 ||
      ns_msg_count(msg, ns_s_qd) != 1 || ns_parserr(&msg, ns_s_qd, 0, &rr) != 0)
    return a;
  a.id = ns_msg_id(msg);
  a.questionType = ns_rr_type(rr);
  for (int i = 0; i < ns_msg_count(msg, ns_s_an); ++i) {
    if (ns_parserr(&msg, ns_s_an, i, &rr) != 0) return a;
    const bool ipv4 = ns_rr_type(rr) == ns_t_a && ns_rr_rdlen(rr) == 4;
    const bool ipv6 = ns_rr_type(rr) == ns_t_aaaa && ns_rr_rdlen(rr) == 16;
    char text[INET6_ADDRSTRLEN];
    if ((ipv4 || ipv6) &&
        inet_ntop(ipv4 ? AF_INET : AF_INET6, ns_rr_rdata(rr), text, sizeof text) != nullptr) {
      a.addresses.push_back(text);
      a.ttls.push_back(ns_rr_ttl(rr));
    }
  }
  a.ok = true;
  return a;
}

std::string makeQuery(const char* name, int type, uint16_t id) {
  unsigned char q[512];
  const int n = res_mkquery(ns_o_query, name, ns_c_in, type, nullptr, 0, nullptr, q, sizeof q);
  if (n < 12) return {};
  q[0] = static_cast<unsigned char>(id >> 8);
  q[1] = static_cast<unsigned char>(id);
  return std::string(reinterpret_cast<char*>(q), static_cast<size_t>(n));
}

class DnsEndToEnd : public lumotest::NodeAndEngine<LiveUdp, true> {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kDnsmasq)) GTEST_SKIP() << "dnsmasq (package dnsmasq-base) is not installed";
    ASSERT_TRUE(plain.ready()) << "127.0.0.1:53 is taken";
    std::string error;
    ASSERT_TRUE(
        upstream.start(kUpstreamPort, "203.0.113.5 steer.example\n203.0.113.9 other.example\n", error))
        << error;
    ASSERT_TRUE(backup.start(kBackupPort, "203.0.113.66 steer.example\n", error)) << error;
    setenv("LUMO_DNS_BACKUP", ("127.0.0.1:" + std::to_string(kBackupPort)).c_str(), 1);

    // The filter file: steer.example is resolved through the proxy,
    // table.example has a fixed address. Read once, at Init.
    std::filesystem::create_directories(filterFile.parent_path());
    std::string file;
    ASSERT_EQ(rules::EncipherFilterText("0,0,0,0,steer.example,1,n\n"
                                        "0,0,0,0,table.example,1,n,1,198.51.100.7\n",
                                        file, error),
              rules::CipherResult::kOk);
    ASSERT_TRUE(platform::writeFileAtomically(filterFile, file));
    ASSERT_TRUE(live.map("8.8.8.1", "127.0.0.1"));
    ASSERT_TRUE(live.map("192.0.2.0/24", "127.0.0.1"));
  }

  void TearDown() override {
    NodeAndEngine::TearDown();
    std::filesystem::remove(filterFile);
    unsetenv("LUMO_DNS_BACKUP");
  }

  // Starts lumo-node (with or without its DNS service) and the engine.
  void startWith(bool nodeDns) {
    // The tunnel's DNS flows go to dnsmasq.
    std::vector<std::string> args = {"--user",     kUser,
                                     "--password", kPassword,
                                     "--map",      "8.8.8.1:53=127.0.0.1:" + std::to_string(kUpstreamPort)};
    if (nodeDns) {
      args.insert(args.end(), {"--dns-port", std::to_string(kNodeDnsPort), "--dns-upstream",
                               "127.0.0.1:" + std::to_string(kUpstreamPort)});
    }
    startNodeAndInit(args);
    std::filesystem::remove(filterFile);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(lumotest::configureGame(node.port(), node.udpPort(), 7, "", 0));
    // TCP and UDP on, udpProxyAll off, no adapter, proxy-socket transport.
    ASSERT_TRUE(Start(1, 1, 0, 0, 0, 0));
  }

  // Sends `query` from `app` to `server` and reads the answer (not ok when
  // none came), checking that it came from `server`.
  Answer ask(LiveUdp::Socket& app, const char* server, const std::string& query) {
    const platform::SocketAddress28 to = simdrv::ipv4(server, 53);
    EXPECT_EQ(app.sendTo(to, query), LiveUdp::SendResult::Reported);
    std::optional<LiveUdp::Datagram> answer = app.recvFrom(10000);
    if (!answer) return {};
    EXPECT_EQ(answer->from, to) << "the answer comes from the server asked";
    return readAnswer(answer->data);
  }

  lumotest::UdpEchoServer plain{53, answerWithOneAddress};
  Dnsmasq upstream, backup;
  const std::filesystem::path filterFile = platform::libraryFolder() / "config" / "filter.txt";
};

}  // namespace

// (That an answer steers the next web connection to the name is checked by
// TcpRedirect.ScreeningRules and, with real programs, by programs_e2e.sh.)
TEST_F(DnsEndToEnd, EachQueryIsAnsweredByItsRoad) {
  startWith(true);
  LiveUdp::Socket app = live.open(kOtherProcess);
  ASSERT_TRUE(app.valid()) << app.error();

  // Class 1 through the node's DNS service and dnsmasq; synthesised (TTL 30).
  Answer a = ask(app, "8.8.8.1", makeQuery("Steer.Example", ns_t_a, 0x1001));
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.id, 0x1001);
  EXPECT_EQ(a.addresses, std::vector<std::string>{"203.0.113.5"});
  EXPECT_EQ(a.ttls, std::vector<uint32_t>{30});
  EXPECT_NE(node.log().find("dns forward"), std::string::npos) << node.log();

  // Its AAAA question: asked upstream as A, answered as ::203.0.113.5.
  a = ask(app, "8.8.8.1", makeQuery("steer.example", ns_t_aaaa, 0x1002));
  EXPECT_EQ(a.questionType, ns_t_aaaa);
  EXPECT_EQ(a.addresses, std::vector<std::string>{"::203.0.113.5"});

  // Class 2 from the table: the node is not asked.
  a = ask(app, "8.8.8.1", makeQuery("table.example", ns_t_a, 0x1003));
  EXPECT_EQ(a.addresses, std::vector<std::string>{"198.51.100.7"});
  EXPECT_EQ(node.log().find("table.example"), std::string::npos);

  // Any other name to the virtual DNS address travels the tunnel.
  a = ask(app, "8.8.8.1", makeQuery("other.example", ns_t_a, 0x1004));
  EXPECT_EQ(a.addresses, std::vector<std::string>{"203.0.113.9"});
  EXPECT_EQ(a.ttls, std::vector<uint32_t>{30}) << "synthesised from the tunnel's reply";
  EXPECT_NE(node.log().find("to=8.8.8.1:53"), std::string::npos) << node.log();

  // A local name, and a query to another server with udpProxyAll off, pass
  // unchanged to the server asked.
  const std::string lan = makeQuery("printer.lan", ns_t_a, 0x1005);
  const std::string elsewhere = makeQuery("steer.example", ns_t_a, 0x1006);
  a = ask(app, "8.8.8.1", lan);
  EXPECT_EQ(a.addresses, std::vector<std::string>{"192.0.2.200"});
  a = ask(app, "192.0.2.53", elsewhere);
  EXPECT_EQ(a.addresses, std::vector<std::string>{"192.0.2.200"});
  EXPECT_EQ(plain.received(), (std::vector<std::string>{lan, elsewhere}));
  app.close();
}

TEST_F(DnsEndToEnd, TheBackupServerAnswersWhenTheNodeIsSilent) {
  startWith(false);
  LiveUdp::Socket app = live.open(kOtherProcess);
  ASSERT_TRUE(app.valid()) << app.error();
  const auto sent = std::chrono::steady_clock::now();
  const Answer a = ask(app, "8.8.8.1", makeQuery("steer.example", ns_t_a, 0x2001));
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.addresses, std::vector<std::string>{"203.0.113.66"});
  // The backup is asked 500 ms after the node; its answer cannot come sooner.
  EXPECT_GE(elapsed.count(), 500);
  app.close();
}
