// Real programs (our test client, bash, lumo-ping) under capture against a
// capture server and the driver library in this process, with a small handler
// for verdicts and injections; the server's list of flows as lumo-run --flows
// reads it; peers that break the protocol. The documentation networks are
// made local in the test's own network namespace (without one those tests
// skip).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture_fixture.h"
#include "flow_list.h"
#include "loopback_peers.h"

namespace {

namespace wire = capture::wire;
using capturetest::CaptureClient;
using capturetest::endpoint;
using capturetest::Event;
using capturetest::Program;
using capturetest::Server;
using ::testing::HasSubstr;
using ::testing::Not;

class CaptureTest : public capturetest::CaptureServerFixture {
 protected:
  capturetest::Outcome client(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), LUMO_TEST_CLIENT);
    return capturetest::run(args, environment(), input);
  }
  // Starts `argv` under capture; false, with a failure added, if it cannot.
  bool start(Program& program, const std::vector<std::string>& argv) {
    std::string error;
    const bool started = program.start(argv, environment(), error);
    EXPECT_TRUE(started) << error;
    return started;
  }
  // The flows of `program` in the server's list now.
  std::vector<capture::FlowSummary> flowsOf(const std::string& program, uint8_t protocol) const {
    std::vector<capture::FlowSummary> out;
    for (const capture::FlowSummary& f : server->flows())
      if (f.program == program && f.protocol == protocol) out.push_back(f);
    return out;
  }
  // The flow of `program` is listed as closed for a while, then no more.
  void expectClosedThenGone(const std::string& program, uint8_t protocol) const {
    EXPECT_TRUE(lumotest::waitFor([&] {
      const auto now = flowsOf(program, protocol);
      return now.size() == 1 && now[0].closed;
    }));
    EXPECT_TRUE(lumotest::waitFor([&] { return flowsOf(program, protocol).empty(); }));
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

const wire::Endpoint kLoopback4000 = wire::endpoint(htonl(INADDR_LOOPBACK), htons(4000));

std::string text(const wire::Endpoint& e) {
  char address[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &e.address, address, sizeof address);
  return std::string(address) + ":" + std::to_string(ntohs(e.port));
}

// A listed flow's decision, remote end and counts: "DECISION A:P up N/B down N/B"
// (datagrams or messages, bytes).
std::string shown(const capture::FlowSummary& f) {
  return std::to_string(f.decision) + " " + text(f.remote) + " up " + std::to_string(f.upDatagrams) + "/" +
         std::to_string(f.upBytes) + " down " + std::to_string(f.downDatagrams) + "/" +
         std::to_string(f.downBytes);
}

const wire::Hello kFlowsRequest{wire::header(wire::kFlowsRequest, 0), wire::kMagic, wire::kVersion, 0};

// Asks for the flows as lumo-run does, and reads the reply with lumo-run's
// reader.
bool flows(CaptureClient& status, run::FlowList& list) {
  std::string error;
  const auto packet = status.send(kFlowsRequest) ? status.receive() : std::nullopt;
  return packet && run::parseFlowList(packet->data(), packet->size(), list, error);
}

class CaptureInNamespace : public CaptureTest {
 protected:
  void SetUp() override {
    static const bool local = capturetest::makeLocal({"203.0.113.0/24", "198.51.100.0/24"});
    if (!local) GTEST_SKIP() << "needs a network namespace of its own (LUMO_TEST_NETNS)";
    CaptureTest::SetUp();
    if (HasFatalFailure()) return;
    // What most tests use: an echo server at 203.0.113.5:7000, the client's UDP filtered.
    echo = std::make_unique<Server>(SOCK_DGRAM, endpoint("203.0.113.5", 7000));
    ASSERT_TRUE(echo->ok());
    addRule("capture_test_client", 17, drvapi::kRuleFilter);
  }
  std::unique_ptr<Server> echo;
};

}  // namespace

TEST_F(CaptureInNamespace, TcpConnectGoesWhereTheVerdictPoints) {
  // The relay finds the connection by its client's port, as the engine's does.
  Server relay(SOCK_STREAM, endpoint("127.0.0.1", 0), [&](const std::string& line, const sockaddr_in& peer) {
    return "relayed " + line + " for " + handler.redirectedFrom(ntohs(peer.sin_port));
  });
  ASSERT_TRUE(relay.ok());
  handler.relayPort = relay.port();
  addRule("capture_test_client", 6, drvapi::kRuleReportConnect);

  capturetest::Outcome o = client({"tcp", "203.0.113.5", "7000"});
  EXPECT_EQ(o.status, 0) << o.output << o.errors;
  EXPECT_EQ(o.output, "peer 203.0.113.5:7000\nlocal " + localOf(o.output) +
                          "\nreply relayed hello for 203.0.113.5:7000\n")
      << "getpeername shows the original";
  ASSERT_EQ(handler.events("tcpConnectRequest").size(), 1u);
  EXPECT_EQ(handler.events("tcpConnectRequest")[0].data, localOf(o.output))
      << "the request names the socket's real local address";
  EXPECT_EQ(o.errors, "");

  o = client({"tcp", "203.0.113.66", "7000"});
  EXPECT_THAT(o.output, HasSubstr("error connect: Connection refused"));

  // Kept under filtering: connected as asked, and its close reported.
  Server kept(SOCK_STREAM, endpoint("203.0.113.8", 0));
  ASSERT_TRUE(kept.ok());
  o = client({"tcp", "203.0.113.8", std::to_string(kept.port())});
  EXPECT_THAT(o.output, HasSubstr("reply hello\n"));
  EXPECT_EQ(handler.events("tcpConnectRequest").back().options, std::to_string(drvapi::kRuleReportConnect))
      << "the rule's flag, as reported";
  ASSERT_TRUE(handler.waitFor("tcpClosed", 1));
  EXPECT_EQ(handler.events("tcpClosed")[0].id, handler.events("tcpConnectRequest").back().id);

  // No rule for the program: nothing reported, the connect goes as asked.
  Server direct(SOCK_STREAM, endpoint("198.51.100.20", 0));
  ASSERT_TRUE(direct.ok());
  const size_t requests = handler.events("tcpConnectRequest").size();
  ASSERT_EQ(drvapi::deleteFilterRules(), drvapi::kOk);
  o = client({"tcp", "198.51.100.20", std::to_string(direct.port())});
  EXPECT_THAT(o.output, HasSubstr("reply hello\n"));
  EXPECT_EQ(handler.events("tcpConnectRequest").size(), requests);
}

TEST_F(CaptureInNamespace, UdpDatagramsAreReportedAndInjectionsUseTheProgramSocket) {
  Server sink(SOCK_DGRAM, endpoint("198.51.100.9", 9000));
  ASSERT_TRUE(sink.ok());
  handler.elsewhere = simdrv::ipv4("198.51.100.9", 9000);

  const capturetest::Outcome o = client({"udp", "203.0.113.5", "7000", "plain", "inject hi", "elsewhere x"});
  EXPECT_EQ(o.status, 0) << o.errors;
  const std::string local = localOf(o.output);
  ASSERT_FALSE(local.empty()) << o.output;
  EXPECT_EQ(o.output, "local " + local +
                          "\ngot plain from 203.0.113.5:7000\ngot injected hi from 198.51.100.7:5353\n"
                          "got elsewhere x from 198.51.100.9:9000\n")
      << "an injected datagram arrives with the source the library wrote";

  // What was sent went out of the program's own socket.
  ASSERT_EQ(sink.seen().size(), 1u);
  EXPECT_EQ(portOf(sink.seen()[0].second), portOf(local)) << "the injected send left from the program's port";
  ASSERT_EQ(echo->seen().size(), 1u);
  EXPECT_EQ(portOf(echo->seen()[0].second), portOf(local));

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
  Server node(SOCK_DGRAM, endpoint("198.51.100.30", 7100));
  ASSERT_TRUE(node.ok());
  handler.node = simdrv::ipv4("198.51.100.30", 7100);

  // A blocking read, a non-blocking one woken by poll, and a connected
  // socket (whose node replies its catcher takes): each gets the unwrapped
  // answer from where it sent, never the node's wrapped one.
  capturetest::Outcome o = client({"udp-blocking", "203.0.113.9", "7000", "direct blocking"});
  const std::string local = localOf(o.output);
  EXPECT_EQ(o.output, "local " + local + "\ngot direct blocking from 203.0.113.9:7000\n");
  o = client({"udp-nonblocking", "203.0.113.9", "7001", "direct polled"});
  EXPECT_EQ(o.output, "local " + localOf(o.output) + "\ngot direct polled from 203.0.113.9:7001\n");
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

TEST_F(CaptureInNamespace, FilteringOffAndConnectRequestVerdictsDecideWhereDatagramsGo) {
  // udpFilteringOff at the first datagram: the rest of the flow goes
  // straight, unseen by the library.
  capturetest::Outcome o = client({"udp-lines", "203.0.113.5", "7000"}, "release one\ntwo\nthree\n");
  EXPECT_EQ(o.output,
            "got release one from 203.0.113.5:7000\ngot two from 203.0.113.5:7000\ngot three from "
            "203.0.113.5:7000\n");

  ASSERT_EQ(drvapi::deleteFilterRules(), drvapi::kOk);
  addRule("capture_test_client", 17, drvapi::kRuleFilter | drvapi::kRuleReportConnect);
  o = client({"udp", "203.0.113.7", "7000", "one", "two"});
  EXPECT_THAT(o.output, HasSubstr("got one from 203.0.113.5:7000\ngot two from 203.0.113.5:7000\n"));
  o = client({"udp", "203.0.113.66", "7000", "blocked"});
  EXPECT_THAT(o.output, HasSubstr("timeout\n"));

  const std::vector<Event> requests = handler.events("udpConnectRequest");
  ASSERT_EQ(requests.size(), 2u) << "one request per destination";
  EXPECT_EQ(requests[0].address, "203.0.113.7:7000");
  EXPECT_EQ(requests[1].address, "203.0.113.66:7000");
  std::vector<std::string> sent;
  for (const Event& e : handler.events("udpSend")) sent.push_back(e.data + " to " + e.address);
  EXPECT_EQ(sent, (std::vector<std::string>{"release one to 203.0.113.5:7000", "one to 203.0.113.5:7000",
                                            "two to 203.0.113.5:7000"}))
      << "nothing after the release; sent where the verdict said; the blocked one never reached the library";
  EXPECT_EQ(echo->seen().size(), 5u);
}

TEST_F(CaptureInNamespace, DatagramsOnTheirWayLeaveAfterTheSocketOrProgramIsGone) {
  // Closed at once, the program still running: the socket lingers for it,
  // and its flow is listed closed for a while, then no more.
  Program p;
  ASSERT_TRUE(start(p, {LUMO_TEST_CLIENT, "udp-close", "203.0.113.5", "7000", "after close"}));
  EXPECT_EQ(p.line(), "closed");
  EXPECT_TRUE(lumotest::waitFor([&] { return echo->seen().size() == 1; }))
      << "sent after the program closed it";
  expectClosedThenGone("capture_test_client", 17);
  p.write("\n");
  EXPECT_EQ(p.finish(), 0);
  // Closed and gone at once: the exit waits for it.
  const capturetest::Outcome o = client({"udp-close", "203.0.113.5", "7000", "after exit"});
  EXPECT_EQ(o.status, 0);
  ASSERT_TRUE(lumotest::waitFor([&] { return echo->seen().size() == 2; })) << "sent before the program ended";
  EXPECT_EQ(echo->seen()[1].first, "after exit");
}

TEST_F(CaptureInNamespace, AForkedChildKeepsTheCapture) {
  const capturetest::Outcome o = client({"fork-udp", "203.0.113.5", "7000"});
  EXPECT_THAT(o.output, HasSubstr("got before\n"));
  EXPECT_THAT(o.output, HasSubstr("parent got parent\n"));
  EXPECT_THAT(o.output, HasSubstr("child got child\n"));
  std::set<uint32_t> pids;
  for (const Event& e : handler.events("udpCreated")) pids.insert(e.processId);
  EXPECT_EQ(pids.size(), 2u) << "the child's flow is reported as its own process's";
  EXPECT_TRUE(lumotest::waitFor([&] { return flowsOf("capture_test_client", 17).empty(); }))
      << "the programs are gone, and their flows with them";
}

TEST_F(CaptureInNamespace, ReportedDatagramsAreCountedAndADriverGoingAwayLeavesTheProgramWorking) {
  Program p;
  ASSERT_TRUE(start(p, {LUMO_TEST_CLIENT, "udp-lines", "203.0.113.5", "7000"}));
  p.write("inject a\n");
  ASSERT_EQ(p.line(), "got injected a from 198.51.100.7:5353");
  p.write("inject bc\n");
  ASSERT_EQ(p.line(), "got injected bc from 198.51.100.7:5353");
  // Listed with the datagrams counted both ways.
  std::vector<capture::FlowSummary> udp = flowsOf("capture_test_client", 17);
  ASSERT_EQ(udp.size(), 1u);
  EXPECT_EQ(shown(udp[0]), std::to_string(wire::kDecisionReported) + " 203.0.113.5:7000 up 2/17 down 2/21");
  EXPECT_NE(udp[0].local.port, 0);
  EXPECT_FALSE(udp[0].closed);

  server->stop();
  p.write("second\n");
  EXPECT_EQ(p.line(), "got second from 203.0.113.5:7000");
  EXPECT_EQ(p.finish(), 0);
  EXPECT_EQ(p.errors(), "lumo-capture: the driver went away; this program's traffic is no longer steered\n");
}

TEST_F(CaptureInNamespace, LumoPingIsAnsweredWhereTheRulesSayAndCounted) {
  // A raw-IP rule: the handler answers the echo requests. The second request
  // waits for 30 s, so the socket is open while the list of flows is read.
  drvapi::FilterRule rule{};
  rule.protocol = 1;
  rule.filteringFlag = drvapi::kRuleRawIp;
  ASSERT_EQ(drvapi::addFilterRule(&rule, true), drvapi::kOk);
  Program answered;
  ASSERT_TRUE(start(answered, {LUMO_PING_PROGRAM, "-c", "2", "-i", "30", "203.0.113.9"}));
  ASSERT_EQ(answered.line().value_or("").rfind("PING 203.0.113.9", 0), 0u);
  ASSERT_EQ(answered.line().value_or("").rfind("64 bytes from 203.0.113.9: icmp_seq=1 ", 0), 0u)
      << answered.errors();
  const std::vector<capture::FlowSummary> icmp = flowsOf("lumo-ping", 1);
  ASSERT_EQ(icmp.size(), 1u);
  EXPECT_EQ(shown(icmp[0]), std::to_string(wire::kDecisionReported) + " 203.0.113.9:0 up 1/64 down 1/64");
  const std::vector<Event> echoes = handler.events("ipSend");
  ASSERT_EQ(echoes.size(), 1u);
  const std::optional<simdrv::Ipv4View> ip = simdrv::readIpv4(echoes[0].data);
  ASSERT_TRUE(ip && simdrv::echoReplyTo(echoes[0].data)) << "a well-formed echo request";
  EXPECT_EQ(ip->destinationNet, endpoint("203.0.113.9", 0).sin_addr.s_addr);
  EXPECT_NE(ip->sourceNet, 0u) << "the source the system would use";

  // Passed by the library: sent for real, answered by the namespace itself.
  const std::vector<std::string> ping = {LUMO_PING_PROGRAM, "-c", "3", "-i", "0.05", "-W", "3",
                                         "203.0.113.9"};
  handler.passPings = true;
  capturetest::Outcome o = capturetest::run(ping, environment());
  EXPECT_EQ(o.status, 0) << o.output << o.errors;
  for (const char* sequence : {"1", "2", "3"})
    EXPECT_THAT(o.output,
                HasSubstr(std::string("64 bytes from 203.0.113.9: icmp_seq=") + sequence + " time="));
  EXPECT_EQ(handler.events("ipSend").size(), 4u);

  // No rule: straight, never reported.
  ASSERT_EQ(drvapi::deleteFilterRules(), drvapi::kOk);
  o = capturetest::run(ping, environment());
  EXPECT_EQ(o.status, 0) << o.output << o.errors;
  EXPECT_EQ(handler.events("ipSend").size(), 4u);
}

TEST_F(CaptureInNamespace, RedirectedConnectionIsListedWithItsBytesUntilItCloses) {
  lumotest::EchoServer relay;  // the engine's relay
  ASSERT_TRUE(relay.listening());
  handler.relayPort = relay.port();
  addRule("bash", 6, drvapi::kRuleReportConnect);
  // bash's /dev/tcp connects with the C library's connect(), so the capture
  // sees it; the connection is held until a line comes on standard input.
  Program bash;
  ASSERT_TRUE(start(bash, {"bash", "-c",
                           "exec 3<>/dev/tcp/203.0.113.5/7000 && echo hello >&3 && read -r reply <&3 && "
                           "echo \"got $reply\" && read -r _ && exec 3>&- && echo closed && read -r _"}));
  ASSERT_EQ(bash.line(), "got hello") << bash.errors();

  std::vector<capture::FlowSummary> tcp = flowsOf("bash", 6);
  ASSERT_EQ(tcp.size(), 1u);
  // The reply carried the acknowledgement of "hello\n": both counts are
  // final once bash has read it.
  EXPECT_EQ(shown(tcp[0]), std::to_string(wire::kDecisionRelayed) + " 203.0.113.5:7000 up 0/6 down 0/6");
  EXPECT_EQ(text(tcp[0].target), "127.0.0.1:" + std::to_string(relay.port()));
  EXPECT_NE(tcp[0].local.port, 0);
  EXPECT_GT(tcp[0].pid, 0u);
  EXPECT_FALSE(tcp[0].closed);

  // bash closes the connection but goes on: the flow is shown closed for a
  // while, then no more.
  bash.write("\n");
  ASSERT_EQ(bash.line(), "closed");
  expectClosedThenGone("bash", 6);
  bash.write("\n");
  EXPECT_EQ(bash.finish(), 0) << bash.errors();
}

TEST_F(CaptureTest, AListTooLongForOneReplyIsCutAndSaysSo) {
  CaptureClient program(socketPath());
  ASSERT_TRUE(program.hello());
  const size_t sockets = wire::kMaxFlowRecords + 10;
  for (uint32_t socket = 1; socket <= sockets; ++socket)
    ASSERT_TRUE(program.send(wire::UdpOpen{wire::header(wire::kUdpOpen, socket), kLoopback4000}));
  ASSERT_TRUE(lumotest::waitFor([&] { return server->flows().size() == sockets; }));

  CaptureClient status(socketPath());
  run::FlowList list;
  ASSERT_TRUE(flows(status, list));
  EXPECT_EQ(list.total, sockets);
  EXPECT_EQ(list.flows.size(), wire::kMaxFlowRecords);
  EXPECT_TRUE(list.truncated);
  EXPECT_EQ(list.flows.back().protocol, 17);
  EXPECT_EQ(list.flows.back().decision, wire::kDecisionStraight);
  EXPECT_EQ(text(list.flows.back().local), "127.0.0.1:4000");
  // Asked again once the answer was read: answered again.
  ASSERT_TRUE(flows(status, list));
  EXPECT_EQ(list.flows.size(), wire::kMaxFlowRecords);
}

// Each kind of message the reader refuses is in capture_wire_test.cpp; here
// the server's part: it drops only the peer that sent one.
TEST_F(CaptureTest, PeersThatBreakTheProtocolAreDroppedAlone) {
  using capturetest::bytesOf;
  auto helloOf = [](wire::Type type, uint32_t magic, uint16_t version) {
    return bytesOf(wire::Hello{wire::header(type, 0), magic, version, 0});
  };
  const std::vector<uint8_t> request = bytesOf(kFlowsRequest);
  const std::vector<uint8_t> hello = helloOf(wire::kHello, wire::kMagic, wire::kVersion);
  const wire::TcpConnect connect{wire::header(wire::kTcpConnect, 1), 1, wire::endpoint(0, 0),
                                 wire::endpoint(0, 0)};
  std::vector<uint8_t> shortConnect = bytesOf(connect);
  shortConnect.pop_back();
  std::vector<uint8_t> oversized = bytesOf(wire::Datagram{wire::header(wire::kUdpDatagram, 1), 1, {}});
  oversized.resize(sizeof(wire::Datagram) + wire::kMaxPayload + 1);
  const std::vector<uint8_t> udpOpen = bytesOf(wire::UdpOpen{wire::header(wire::kUdpOpen, 1), kLoopback4000});
  struct Row {
    const char* what;
    std::vector<std::vector<uint8_t>> before;  // sent first, each answered
    std::vector<uint8_t> message;
  } rows[] = {
      {"no hello first", {}, bytesOf(connect)},
      {"a hello of another kind", {}, helloOf(wire::kHello, 0x12345678, wire::kVersion)},
      {"a hello twice", {hello}, hello},
      {"a message one byte short", {hello}, shortConnect},
      {"a datagram of a socket never opened",
       {hello},
       bytesOf(wire::Datagram{wire::header(wire::kUdpDatagram, 7), 1, {}})},
      {"a datagram over the largest", {hello}, oversized},
      {"a status request of another magic", {}, helloOf(wire::kFlowsRequest, 0x12345678, wire::kVersion)},
      {"a status request of another version", {}, helloOf(wire::kFlowsRequest, wire::kMagic, 2)},
      {"a status request on a program's connection", {hello}, request},
      {"a program's message on a status connection", {request}, udpOpen},
      {"a hello after a status request", {request}, hello},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    CaptureClient bad(socketPath());
    for (const std::vector<uint8_t>& first : row.before) {
      ASSERT_TRUE(bad.send(first));
      const auto answer = bad.receive();
      ASSERT_TRUE(answer && !answer->empty());
    }
    // Hung up on and the drop logged; the server goes on welcoming programs.
    const size_t logged = logLines().size();
    ASSERT_TRUE(bad.send(row.message));
    const auto answer = bad.receive();
    EXPECT_TRUE(answer && answer->empty()) << "the server hangs up";
    ASSERT_TRUE(lumotest::waitFor([&] { return logLines().size() > logged; }));
    EXPECT_NE(logLines().back().find("peer dropped"), std::string::npos) << logLines().back();
    CaptureClient good(socketPath());
    EXPECT_TRUE(good.hello());
  }
  EXPECT_TRUE(lumotest::waitFor([&] { return server->connections() == 0; }));

  // A client that asks and never reads is dropped, before its answers pile up.
  CaptureClient greedy(socketPath());
  size_t sent = 0;
  while (sent < 100000 && greedy.send(kFlowsRequest)) ++sent;
  EXPECT_LT(sent, 100000u) << "the server hung up";
  EXPECT_TRUE(lumotest::waitFor([&] {
    const auto lines = logLines();
    return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("asks for the flows again before it read the last answer") != std::string::npos;
    });
  }));
  CaptureClient good(socketPath());
  run::FlowList list;
  EXPECT_TRUE(flows(good, list));
  EXPECT_EQ(list.total, 0u);
}
