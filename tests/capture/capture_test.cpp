// Real programs under capture: the simulated driver in this process with the
// driver library and a small handler in front of it (verdicts, injections,
// answers), a capture server on a socket of the test's own, and programs
// launched with liblumo-capture.so preloaded: a test client of our own and
// lumo-ping (curl, socat and dig go the same ways in resolver_test.cpp and
// programs_e2e.sh). What the programs print and what the handler saw show
// where their traffic went.
//
// The programs reach documentation addresses (203.0.113.0/24 and
// 198.51.100.0/24), which the test makes local in its own network namespace;
// without one those tests skip. The fail-open and malformed-message tests
// need only loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture_fixture.h"

namespace {

using capturetest::endpoint;
using capturetest::Event;
using capturetest::Program;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint16_t kEchoPort = 7000;

// Answers each datagram with the same bytes and remembers who sent them.
class UdpEcho : public capturetest::Served {
 public:
  explicit UdpEcho(const sockaddr_in& at) {
    open(SOCK_DGRAM, at);
    // Room for a burst (forced where the test may: its own namespace).
    const int room = 8 << 20;
    if (ok() && ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  }
  ~UdpEcho() override { stop(); }
  std::vector<std::pair<std::string, std::string>> seen() const {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
  }

 private:
  void serveOne() override {
    char buffer[65536];
    for (;;) {
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n =
          ::recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) return;
      {
        std::lock_guard<std::mutex> guard(lock_);
        seen_.emplace_back(std::string(buffer, static_cast<size_t>(n)), capturetest::text(from));
      }
      ::sendto(fd_, buffer, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&from), length);
    }
  }
  mutable std::mutex lock_;
  std::vector<std::pair<std::string, std::string>> seen_;
};

// Accepts one connection at a time, reads a line and answers it with the
// line `answer` gives for the connection's peer.
class LineServer : public capturetest::Served {
 public:
  using Answer = std::function<std::string(const sockaddr_in& peer, const std::string& line)>;
  LineServer(const sockaddr_in& at, Answer answer) : answer_(std::move(answer)) { open(SOCK_STREAM, at); }
  ~LineServer() override { stop(); }

 private:
  void serveOne() override {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int c = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (c < 0) return;
    const timeval limit{5, 0};
    ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string line;
    char ch;
    while (::recv(c, &ch, 1, 0) == 1 && ch != '\n') line += ch;
    const std::string reply = answer_(peer, line) + "\n";
    ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::close(c);
  }
  Answer answer_;
};

class CaptureTest : public capturetest::CaptureServerFixture<capturetest::Handler> {
 protected:
  capturetest::Outcome client(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), LUMO_TEST_CLIENT);
    return capturetest::run(args, environment(), input);
  }
};

// The address the test client printed as "local A:P".
std::string localOf(const std::string& output) {
  const size_t at = output.find("local ");
  return at == std::string::npos ? "" : output.substr(at + 6, output.find('\n', at) - at - 6);
}

uint16_t portOf(const std::string& endpointText) {
  return static_cast<uint16_t>(std::stoi(endpointText.substr(endpointText.rfind(':') + 1)));
}

class CaptureInNamespace : public CaptureTest {
 protected:
  void SetUp() override {
    static const bool local = capturetest::makeLocal({"203.0.113.0/24", "198.51.100.0/24"});
    if (!local) GTEST_SKIP() << "needs a network namespace of its own (LUMO_TEST_NETNS)";
    CaptureTest::SetUp();
  }
};

}  // namespace

TEST_F(CaptureInNamespace, TcpConnectGoesWhereTheVerdictPoints) {
  LineServer relay(endpoint("127.0.0.1", 0), [&](const sockaddr_in& peer, const std::string& line) {
    // The relay finds the connection by its client's port, as the engine's does.
    return "relayed " + line + " for " + handler.redirectedFrom(ntohs(peer.sin_port));
  });
  ASSERT_TRUE(relay.ok());
  handler.relayPort = relay.port();
  addRule("capture_test_client", 6, drvapi::kRuleReportConnect);

  capturetest::Outcome o = client({"tcp", "203.0.113.5", "7000"});
  EXPECT_EQ(o.status, 0) << o.output << o.errors;
  EXPECT_THAT(o.output, HasSubstr("peer 203.0.113.5:7000\n")) << "getpeername shows the original";
  EXPECT_THAT(o.output, HasSubstr("reply relayed hello for 203.0.113.5:7000\n"));
  ASSERT_EQ(handler.requestLocals().size(), 1u);
  EXPECT_EQ(handler.requestLocals()[0], localOf(o.output))
      << "the request names the socket's real local address";
  EXPECT_EQ(o.errors, "");

  o = client({"tcp", "203.0.113.66", "7000"});
  EXPECT_THAT(o.output, HasSubstr("error connect: Connection refused"));

  // Kept under filtering: connected as asked, and its close reported.
  LineServer kept(endpoint("203.0.113.8", 0),
                  [](const sockaddr_in&, const std::string& line) { return "kept " + line; });
  ASSERT_TRUE(kept.ok());
  o = client({"tcp", "203.0.113.8", std::to_string(kept.port())});
  EXPECT_THAT(o.output, HasSubstr("reply kept hello\n"));
  // A copy: the packed record's field is not aligned for gtest's reference.
  const uint32_t reportedFlag = handler.lastRequest.filteringFlag;
  EXPECT_EQ(reportedFlag, drvapi::kRuleReportConnect) << "the rule's flag, as reported";
  ASSERT_TRUE(handler.waitFor("tcpClosed", 1));
  EXPECT_EQ(handler.events("tcpClosed")[0].id, handler.events("tcpConnectRequest").back().id);

  // No rule for the program: nothing reported, the connect goes as asked.
  LineServer direct(endpoint("198.51.100.20", 0),
                    [](const sockaddr_in&, const std::string& line) { return "direct " + line; });
  ASSERT_TRUE(direct.ok());
  const size_t requests = handler.events("tcpConnectRequest").size();
  ASSERT_EQ(drvapi::deleteFilterRules(), drvapi::kOk);
  o = client({"tcp", "198.51.100.20", std::to_string(direct.port())});
  EXPECT_THAT(o.output, HasSubstr("reply direct hello"));
  EXPECT_EQ(handler.events("tcpConnectRequest").size(), requests);
}

TEST_F(CaptureInNamespace, UdpDatagramsAreReportedAndInjectionsUseTheProgramSocket) {
  UdpEcho echo(endpoint("203.0.113.5", kEchoPort));
  UdpEcho sink(endpoint("198.51.100.9", 9000));
  ASSERT_TRUE(echo.ok() && sink.ok());
  handler.elsewhere = simdrv::ipv4("198.51.100.9", 9000);
  addRule("capture_test_client", 17, drvapi::kRuleFilter);

  const capturetest::Outcome o = client({"udp", "203.0.113.5", "7000", "plain", "inject hi", "elsewhere x"});
  EXPECT_EQ(o.status, 0) << o.errors;
  EXPECT_THAT(o.output, HasSubstr("got plain from 203.0.113.5:7000\n"));
  EXPECT_THAT(o.output, HasSubstr("got injected hi from 198.51.100.7:5353\n"))
      << "an injected datagram arrives with the source the library wrote";
  EXPECT_THAT(o.output, HasSubstr("got elsewhere x from 198.51.100.9:9000\n"));
  const std::string local = localOf(o.output);
  ASSERT_FALSE(local.empty()) << o.output;

  // What was sent went out of the program's own socket.
  const auto sinkSaw = sink.seen();
  ASSERT_EQ(sinkSaw.size(), 1u);
  EXPECT_EQ(portOf(sinkSaw[0].second), portOf(local)) << "the injected send left from the program's port";
  ASSERT_EQ(echo.seen().size(), 1u);
  EXPECT_EQ(portOf(echo.seen()[0].second), portOf(local));

  ASSERT_TRUE(handler.waitFor("udpClosed", 1)) << "the program's end closes its flow";
  const std::vector<Event> created = handler.events("udpCreated");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].address, local) << "udpCreated names the socket's real local address";
  EXPECT_GT(created[0].processId, 0u);
  std::vector<std::string> sent;
  for (const Event& e : handler.events("udpSend")) sent.push_back(e.data + " to " + e.address);
  EXPECT_EQ(sent, (std::vector<std::string>{"plain to 203.0.113.5:7000", "inject hi to 203.0.113.5:7000",
                                            "elsewhere x to 203.0.113.5:7000"}));
  EXPECT_EQ(handler.events("udpClosed")[0].id, created[0].id);
  // The sink answered where only the library had sent: the library had it
  // first, and passed it on.
  const std::vector<Event> received = handler.events("udpReceive");
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].data + " from " + received[0].address, "elsewhere x from 198.51.100.9:9000");
}

TEST_F(CaptureInNamespace, DirectTransportRepliesReachTheLibraryNotTheProgram) {
  UdpEcho node(endpoint("198.51.100.30", 7100));
  ASSERT_TRUE(node.ok());
  handler.node = simdrv::ipv4("198.51.100.30", 7100);
  addRule("capture_test_client", 17, drvapi::kRuleFilter);

  // A blocking read, a non-blocking one woken by poll, and a connected
  // socket (whose node replies its catcher takes): each gets the unwrapped
  // answer from where it sent, never the node's wrapped one.
  capturetest::Outcome o = client({"udp-blocking", "203.0.113.9", "7000", "direct blocking"});
  EXPECT_THAT(o.output, Not(HasSubstr("tunnel")));
  EXPECT_THAT(o.output, HasSubstr("got direct blocking from 203.0.113.9:7000\n"));
  const std::string local = localOf(o.output);
  o = client({"udp-nonblocking", "203.0.113.9", "7001", "direct polled"});
  EXPECT_THAT(o.output, Not(HasSubstr("tunnel")));
  EXPECT_THAT(o.output, HasSubstr("got direct polled from 203.0.113.9:7001\n"));
  o = client({"resolver", "203.0.113.9", "53"});
  EXPECT_THAT(o.output, Not(HasSubstr("tunnel")));
  for (const char* line : {"answer query A from", "answer query AAAA from", "peer"})
    EXPECT_THAT(o.output, HasSubstr(std::string(line) + " 203.0.113.9:53\n"));
  // connect() bound the socket where the system would have: the source
  // address for that destination.
  EXPECT_EQ(localOf(o.output).rfind("203.0.113.9:", 0), 0u) << o.output;

  // The node saw the wrapped datagrams from the programs' own ports, and its
  // answers came to the library as the flows' inbound datagrams, with the
  // options their outbound ones carry.
  const auto seen = node.seen();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].first, "tunnel 203.0.113.9:7000 direct blocking");
  EXPECT_EQ(portOf(seen[0].second), portOf(local));
  const std::vector<Event> sends = handler.events("udpSend");
  std::vector<std::string> received;
  for (const Event& e : handler.events("udpReceive")) {
    received.push_back(e.data + " from " + e.address);
    auto send = std::find_if(sends.begin(), sends.end(), [&](const Event& s) { return s.id == e.id; });
    ASSERT_NE(send, sends.end()) << e.data;
    EXPECT_EQ(e.options, send->options) << e.data;
  }
  ASSERT_EQ(received.size(), 4u);
  std::sort(received.begin() + 2, received.end());  // the resolver's two answers in any order
  EXPECT_EQ(received,
            (std::vector<std::string>{"tunnel 203.0.113.9:7000 direct blocking from 198.51.100.30:7100",
                                      "tunnel 203.0.113.9:7001 direct polled from 198.51.100.30:7100",
                                      "tunnel 203.0.113.9:53 query A from 198.51.100.30:7100",
                                      "tunnel 203.0.113.9:53 query AAAA from 198.51.100.30:7100"}));
}

TEST_F(CaptureInNamespace, DatagramsKeepTheirOrderBothWays) {
  UdpEcho echo(endpoint("203.0.113.5", kEchoPort));
  ASSERT_TRUE(echo.ok());
  addRule("capture_test_client", 17, drvapi::kRuleFilter);
  // A thousand at once: reported in order, out of the program's socket in
  // order, the echo's answers read in order.
  constexpr int kDatagrams = 1000;
  capturetest::Outcome o = client({"udp-order", "203.0.113.5", "7000", std::to_string(kDatagrams), "pass"});
  EXPECT_THAT(o.output, HasSubstr("in order " + std::to_string(kDatagrams) + "\n")) << o.errors;
  const std::vector<Event> sends = handler.events("udpSend");
  const auto seen = echo.seen();
  ASSERT_EQ(sends.size(), static_cast<size_t>(kDatagrams));
  ASSERT_EQ(seen.size(), static_cast<size_t>(kDatagrams));
  for (int i = 0; i < kDatagrams; ++i) {
    ASSERT_EQ(sends[i].data, "pass " + std::to_string(i)) << "reported in order";
    ASSERT_EQ(seen[i].first, "pass " + std::to_string(i)) << "sent in order";
  }

  // Injected back by the library, one at a time as the driver asks for the
  // next. The library keeps at most 128 waiting for a flow, so a burst
  // stays below that.
  constexpr int kInjected = 100;
  o = client({"udp-order", "203.0.113.5", "7000", std::to_string(kInjected), "reflect"});
  EXPECT_THAT(o.output, HasSubstr("in order " + std::to_string(kInjected) + "\n"));
  EXPECT_EQ(echo.seen().size(), static_cast<size_t>(kDatagrams)) << "injected ones never reach the network";
}

TEST_F(CaptureInNamespace, FilteringOffSendsTheFlowStraight) {
  UdpEcho echo(endpoint("203.0.113.5", kEchoPort));
  ASSERT_TRUE(echo.ok());
  addRule("capture_test_client", 17, drvapi::kRuleFilter);
  const capturetest::Outcome o = client({"udp-lines", "203.0.113.5", "7000"}, "release one\ntwo\nthree\n");
  EXPECT_EQ(o.output,
            "got release one from 203.0.113.5:7000\ngot two from 203.0.113.5:7000\ngot three from "
            "203.0.113.5:7000\n");
  const std::vector<Event> sends = handler.events("udpSend");
  ASSERT_EQ(sends.size(), 1u) << "after udpFilteringOff the library sees no more of the flow";
  EXPECT_EQ(sends[0].data, "release one");
}

TEST_F(CaptureInNamespace, ConnectRequestVerdictsDecideWhereEachDestinationGoes) {
  UdpEcho echo(endpoint("203.0.113.5", kEchoPort));
  ASSERT_TRUE(echo.ok());
  addRule("capture_test_client", 17, drvapi::kRuleFilter | drvapi::kRuleReportConnect);
  capturetest::Outcome o = client({"udp", "203.0.113.7", "7000", "one", "two"});
  EXPECT_THAT(o.output, HasSubstr("got one from 203.0.113.5:7000\ngot two from 203.0.113.5:7000\n"));
  o = client({"udp", "203.0.113.66", "7000", "blocked"});
  EXPECT_THAT(o.output, HasSubstr("timeout\n"));

  const std::vector<Event> requests = handler.events("udpConnectRequest");
  ASSERT_EQ(requests.size(), 2u) << "one request per destination";
  EXPECT_EQ(requests[0].address, "203.0.113.7:7000");
  EXPECT_EQ(requests[1].address, "203.0.113.66:7000");
  std::vector<std::string> sent;
  for (const Event& e : handler.events("udpSend")) sent.push_back(e.data + " to " + e.address);
  EXPECT_EQ(sent, (std::vector<std::string>{"one to 203.0.113.5:7000", "two to 203.0.113.5:7000"}))
      << "sent where the verdict said; the blocked one never reached the library";
  EXPECT_EQ(echo.seen().size(), 2u);
}

TEST_F(CaptureInNamespace, DatagramsOnTheirWayLeaveAfterTheSocketOrProgramIsGone) {
  UdpEcho echo(endpoint("203.0.113.5", kEchoPort));
  ASSERT_TRUE(echo.ok());
  addRule("capture_test_client", 17, drvapi::kRuleFilter);
  // Closed at once, the program still running: the socket lingers for it.
  Program p;
  std::string error;
  ASSERT_TRUE(
      p.start({LUMO_TEST_CLIENT, "udp-close", "203.0.113.5", "7000", "after close"}, environment(), error));
  EXPECT_EQ(p.line(), "closed");
  EXPECT_TRUE(lumotest::waitFor([&] { return echo.seen().size() == 1; }))
      << "sent after the program closed it";
  p.write("\n");
  EXPECT_EQ(p.finish(), 0);
  // Closed and gone at once: the exit waits for it.
  const capturetest::Outcome o = client({"udp-close", "203.0.113.5", "7000", "after exit"});
  EXPECT_EQ(o.status, 0);
  ASSERT_TRUE(lumotest::waitFor([&] { return echo.seen().size() == 2; })) << "sent before the program ended";
  EXPECT_EQ(echo.seen()[1].first, "after exit");
}

TEST_F(CaptureInNamespace, ForkedChildAndExecKeepTheCapture) {
  UdpEcho echo(endpoint("203.0.113.5", kEchoPort));
  ASSERT_TRUE(echo.ok());
  addRule("capture_test_client", 17, drvapi::kRuleFilter);
  const capturetest::Outcome o = client({"fork-udp", "203.0.113.5", "7000"});
  EXPECT_THAT(o.output, HasSubstr("got before\n"));
  EXPECT_THAT(o.output, HasSubstr("parent got parent\n"));
  EXPECT_THAT(o.output, HasSubstr("child got child\n"));
  std::vector<uint32_t> pids;
  for (const Event& e : handler.events("udpCreated")) pids.push_back(e.processId);
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
  EXPECT_EQ(pids.size(), 2u) << "the child's flow is reported as its own process's";

  // An exec keeps the capture: the shell becomes the client, whose rule by
  // name matches its new image.
  const capturetest::Outcome o2 = capturetest::run(
      {"/bin/sh", "-c",
       std::string("exec ") + LUMO_TEST_CLIENT + " udp 203.0.113.5 7000 'inject after exec'"},
      environment());
  EXPECT_THAT(o2.output, HasSubstr("got injected after exec from 198.51.100.7:5353\n"));
}

TEST_F(CaptureInNamespace, DriverGoingAwayLeavesTheProgramWorking) {
  UdpEcho echo(endpoint("203.0.113.5", kEchoPort));
  ASSERT_TRUE(echo.ok());
  addRule("capture_test_client", 17, drvapi::kRuleFilter);
  Program p;
  std::string error;
  ASSERT_TRUE(p.start({LUMO_TEST_CLIENT, "udp-lines", "203.0.113.5", "7000"}, environment(), error)) << error;
  p.write("inject first\n");
  EXPECT_EQ(p.line(), "got injected first from 198.51.100.7:5353");
  server->stop();
  p.write("second\n");
  EXPECT_EQ(p.line(), "got second from 203.0.113.5:7000");
  EXPECT_EQ(p.finish(), 0);
  EXPECT_EQ(p.errors(), "lumo-capture: the driver went away; this program's traffic is no longer steered\n");
}

TEST_F(CaptureInNamespace, LumoPingIsAnsweredWhereTheRulesSay) {
  const std::vector<std::string> ping = {LUMO_PING_PROGRAM, "-c", "3", "-i", "0.05", "-W", "3",
                                         "203.0.113.9"};
  // A raw-IP rule: the handler answers the echo requests.
  drvapi::FilterRule rule{};
  rule.protocol = 1;
  rule.filteringFlag = drvapi::kRuleRawIp;
  ASSERT_EQ(drvapi::addFilterRule(&rule, true), drvapi::kOk);
  capturetest::Outcome o = capturetest::run(ping, environment());
  EXPECT_EQ(o.status, 0) << o.output << o.errors;
  for (const char* sequence : {"1", "2", "3"})
    EXPECT_THAT(o.output,
                HasSubstr(std::string("64 bytes from 203.0.113.9: icmp_seq=") + sequence + " time="));
  EXPECT_THAT(o.output, HasSubstr("3 packets transmitted, 3 received, 0% packet loss"));
  const std::vector<Event> echoes = handler.events("ipSend");
  ASSERT_EQ(echoes.size(), 3u);
  for (const Event& e : echoes) {
    const std::optional<simdrv::Ipv4View> ip = simdrv::readIpv4(e.data);
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->protocol, 1);
    EXPECT_EQ(ip->destinationNet, endpoint("203.0.113.9", 0).sin_addr.s_addr);
    EXPECT_NE(ip->sourceNet, 0u) << "the source the system would use";
    EXPECT_TRUE(simdrv::echoReplyTo(e.data).has_value()) << "a well-formed echo request";
  }

  // Passed by the library: sent for real, answered by the namespace itself.
  handler.passPings = true;
  o = capturetest::run(ping, environment());
  EXPECT_EQ(o.status, 0) << o.output << o.errors;
  EXPECT_THAT(o.output, HasSubstr("3 received"));
  EXPECT_EQ(handler.events("ipSend").size(), 6u);

  // No rule: straight, never reported.
  ASSERT_EQ(drvapi::deleteFilterRules(), drvapi::kOk);
  o = capturetest::run(ping, environment());
  EXPECT_EQ(o.status, 0) << o.output << o.errors;
  EXPECT_EQ(handler.events("ipSend").size(), 6u);
}

TEST_F(CaptureTest, ProgramsRunUnsteeredWithoutADriver) {
  UdpEcho echo(endpoint("127.0.0.1", 0));
  LineServer lines(endpoint("127.0.0.1", 0),
                   [](const sockaddr_in&, const std::string& line) { return line; });
  ASSERT_TRUE(echo.ok() && lines.ok());
  lumotest::TempDir empty;
  const std::vector<std::string> env = {std::string("LD_PRELOAD=") + LUMO_CAPTURE_LIBRARY,
                                        "LUMO_DRIVER_DIR=" + empty.path().string()};
  const std::string port = std::to_string(echo.port());
  capturetest::Outcome o = capturetest::run({LUMO_TEST_CLIENT, "udp", "127.0.0.1", port, "one", "two"}, env);
  EXPECT_EQ(o.status, 0);
  EXPECT_THAT(o.output,
              HasSubstr("got one from 127.0.0.1:" + port + "\ngot two from 127.0.0.1:" + port + "\n"));
  EXPECT_EQ(
      o.errors.rfind("lumo-capture: cannot reach the driver at " + (empty.path() / "capture").string(), 0),
      0u)
      << o.errors;
  EXPECT_EQ(std::count(o.errors.begin(), o.errors.end(), '\n'), 1) << "one line: " << o.errors;

  o = capturetest::run({LUMO_TEST_CLIENT, "tcp", "127.0.0.1", std::to_string(lines.port())}, env);
  EXPECT_THAT(o.output, HasSubstr("reply hello\n"));
  EXPECT_TRUE(handler.events("udpSend").empty());
}

// Each kind of message the reader refuses is in capture_wire_test.cpp; here
// the server's part: it drops only the peer that sent one.
TEST_F(CaptureTest, MalformedMessagesDropOnlyTheirPeer) {
  namespace wire = capture::wire;
  using capturetest::bytesOf;
  const wire::TcpConnect connect{wire::header(wire::kTcpConnect, 1), 1, wire::endpoint(0, 0),
                                 wire::endpoint(0, 0)};
  std::vector<uint8_t> shortConnect = bytesOf(connect);
  shortConnect.pop_back();
  std::vector<uint8_t> oversized = bytesOf(wire::Datagram{wire::header(wire::kUdpDatagram, 1), 1, {}});
  oversized.resize(sizeof(wire::Datagram) + wire::kMaxPayload + 1);
  const wire::Hello badMagic{wire::header(wire::kHello, 0), 0x12345678, wire::kVersion, 0};
  struct Row {
    const char* what;
    bool helloFirst;
    std::vector<uint8_t> message;
  } rows[] = {
      {"no hello first", false, bytesOf(connect)},
      {"a hello of another kind", false, bytesOf(badMagic)},
      {"a hello twice", true,
       bytesOf(wire::Hello{wire::header(wire::kHello, 0), wire::kMagic, wire::kVersion, 0})},
      {"a message one byte short", true, shortConnect},
      {"a datagram of a socket never opened", true,
       bytesOf(wire::Datagram{wire::header(wire::kUdpDatagram, 7), 1, {}})},
      {"a datagram over the largest", true, oversized},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    capturetest::CaptureClient bad(socketPath());
    ASSERT_TRUE(bad.connected());
    if (row.helloFirst) {
      ASSERT_TRUE(bad.hello());
    }
    expectDropped(bad, row.message);
  }
  EXPECT_TRUE(lumotest::waitFor([&] { return server->connections() == 0; }));
}
