// The capture server's list of flows, as lumo-run --flows reads it: real
// programs under capture (bash's /dev/tcp, the test client) against a
// capture server in the test process with the driver library and a small
// handler, the list asked for over the capture socket as lumo-run asks; and
// status requests that break the protocol.
//
// The programs reach documentation addresses (203.0.113.0/24), which the
// test makes local in its own network namespace, where every group may also
// open ICMP datagram sockets; without one those tests skip. The protocol
// tests need no network.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "capture_fixture.h"

namespace {

namespace wire = capture::wire;
using capturetest::CaptureClient;

wire::Endpoint endpoint(const char* address, uint16_t port) {
  in_addr a{};
  ::inet_pton(AF_INET, address, &a);
  return wire::endpoint(a.s_addr, htons(port));
}

bool operator==(const wire::Endpoint& a, const wire::Endpoint& b) {
  return a.address == b.address && a.port == b.port;
}

std::string text(const wire::Endpoint& e) {
  char address[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &e.address, address, sizeof address);
  return std::string(address) + ":" + std::to_string(ntohs(e.port));
}

// A TCP server on 127.0.0.1 that echoes a connection's bytes until its
// client closes; it stands for the engine's relay.
class EchoRelay : public capturetest::Served {
 public:
  EchoRelay() { open(SOCK_STREAM, capturetest::endpoint("127.0.0.1", 0)); }
  ~EchoRelay() override { stop(); }

 private:
  void serveOne() override {
    const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    char buffer[4096];
    ssize_t n;
    while (c >= 0 && readable(c) && (n = ::recv(c, buffer, sizeof buffer, 0)) > 0)
      ::send(c, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
    if (c >= 0) ::close(c);
  }
};

const wire::Hello kFlowsRequest{wire::header(wire::kFlowsRequest, 0), wire::kMagic, wire::kVersion, 0};

// Asks for the flows as lumo-run does; the reply's head and records, checked
// as lumo-run checks them.
bool flows(CaptureClient& status, wire::FlowsReply& head, std::vector<wire::FlowRecord>& records) {
  if (!status.send(kFlowsRequest)) return false;
  const std::optional<std::vector<uint8_t>> packet = status.receive();
  if (!packet) return false;
  const std::optional<wire::Message> m = wire::readMessage(packet->data(), packet->size(), false);
  if (!m || m->type != wire::kFlowsReply) return false;
  head = m->as<wire::FlowsReply>();
  if (m->payload.size() != head.count * sizeof(wire::FlowRecord)) return false;
  records.resize(head.count);
  if (!records.empty()) std::memcpy(records.data(), m->payload.data(), m->payload.size());
  return true;
}

class CaptureFlows : public capturetest::CaptureServerFixture<capturetest::Handler> {
 protected:
  // The flows of `program` in the server's list now.
  std::vector<capture::FlowSummary> flowsOf(const std::string& program, uint8_t protocol) const {
    std::vector<capture::FlowSummary> out;
    for (const capture::FlowSummary& f : server->flows())
      if (f.program == program && f.protocol == protocol) out.push_back(f);
    return out;
  }
};

class CaptureFlowsInNamespace : public CaptureFlows {
 protected:
  void SetUp() override {
    static const bool local = capturetest::makeLocal({"203.0.113.0/24"});
    if (!local) GTEST_SKIP() << "needs a network namespace of its own (LUMO_TEST_NETNS)";
    CaptureFlows::SetUp();
  }
};

}  // namespace

TEST_F(CaptureFlowsInNamespace, RedirectedConnectionIsListedWithItsBytesUntilItCloses) {
  EchoRelay relay;
  ASSERT_TRUE(relay.ok());
  handler.relayPort = relay.port();
  addRule("bash", 6, drvapi::kRuleReportConnect);
  // bash's /dev/tcp connects with the C library's connect(), so the capture
  // sees it; the connection is held until a line comes on standard input.
  capturetest::Program bash;
  std::string error;
  ASSERT_TRUE(bash.start({"bash", "-c",
                          "exec 3<>/dev/tcp/203.0.113.5/7000 && echo hello >&3 && read -r reply <&3 && "
                          "echo \"got $reply\" && read -r _ && exec 3>&- && echo closed && read -r _"},
                         environment(), error))
      << error;
  ASSERT_EQ(bash.line(), "got hello") << bash.errors();

  std::vector<capture::FlowSummary> tcp = flowsOf("bash", 6);
  ASSERT_EQ(tcp.size(), 1u);
  EXPECT_EQ(tcp[0].decision, wire::kDecisionRelayed);
  EXPECT_EQ(text(tcp[0].remote), "203.0.113.5:7000");
  EXPECT_EQ(text(tcp[0].target), "127.0.0.1:" + std::to_string(relay.port()));
  EXPECT_NE(tcp[0].local.port, 0);
  EXPECT_GT(tcp[0].pid, 0u);
  EXPECT_FALSE(tcp[0].closed);
  // The reply carried the acknowledgement of "hello\n": both counts are
  // final once bash has read it.
  EXPECT_EQ(tcp[0].upBytes, 6u);
  EXPECT_EQ(tcp[0].downBytes, 6u);

  // The same, as a status client reads it.
  CaptureClient status(socketPath());
  wire::FlowsReply head{};
  std::vector<wire::FlowRecord> records;
  ASSERT_TRUE(flows(status, head, records));
  EXPECT_EQ(head.total, 1u);
  EXPECT_EQ(head.flags, 0);
  ASSERT_EQ(records.size(), 1u);
  const wire::FlowRecord& r = records[0];
  EXPECT_TRUE(std::string(r.program) == "bash" && r.pid == tcp[0].pid && r.protocol == 6 &&
              r.decision == wire::kDecisionRelayed && r.target == tcp[0].target && r.local == tcp[0].local &&
              r.upBytes == 6 && r.downBytes == 6 && r.flags == 0);

  // bash closes the connection but goes on: the flow is shown closed for a
  // while, then no more.
  bash.write("\n");
  ASSERT_EQ(bash.line(), "closed");
  EXPECT_TRUE(lumotest::waitFor([&] {
    const auto now = flowsOf("bash", 6);
    return now.size() == 1 && now[0].closed;
  }));
  EXPECT_TRUE(lumotest::waitFor([&] { return flowsOf("bash", 6).empty(); }));
  bash.write("\n");
  EXPECT_EQ(bash.finish(), 0) << bash.errors();
}

TEST_F(CaptureFlowsInNamespace, ReportedDatagramsAreCountedBothWays) {
  addRule("capture_test_client", 17, drvapi::kRuleFilter);
  capturetest::Program client;
  std::string error;
  ASSERT_TRUE(client.start({LUMO_TEST_CLIENT, "udp-lines", "203.0.113.5", "7000"}, environment(), error))
      << error;
  client.write("inject a\n");
  ASSERT_EQ(client.line(), "got injected a from 198.51.100.7:5353");
  client.write("inject bc\n");
  ASSERT_EQ(client.line(), "got injected bc from 198.51.100.7:5353");

  std::vector<capture::FlowSummary> udp = flowsOf("capture_test_client", 17);
  ASSERT_EQ(udp.size(), 1u);
  EXPECT_EQ(udp[0].decision, wire::kDecisionReported);
  EXPECT_EQ(text(udp[0].remote), "203.0.113.5:7000");
  EXPECT_NE(udp[0].local.port, 0);
  EXPECT_EQ(udp[0].upDatagrams, 2u);
  EXPECT_EQ(udp[0].upBytes, 8u + 9u);
  EXPECT_EQ(udp[0].downDatagrams, 2u);
  EXPECT_EQ(udp[0].downBytes, 10u + 11u);
  EXPECT_FALSE(udp[0].closed);
  EXPECT_EQ(client.finish(), 0);
  // The program is gone, and its flows with it.
  EXPECT_TRUE(lumotest::waitFor([&] { return flowsOf("capture_test_client", 17).empty(); }));

  // A socket the program closes while it runs on: shown closed, then gone.
  capturetest::Program closing;
  ASSERT_TRUE(
      closing.start({LUMO_TEST_CLIENT, "udp-close", "203.0.113.5", "7000", "inject x"}, environment(), error))
      << error;
  ASSERT_EQ(closing.line(), "closed");
  EXPECT_TRUE(lumotest::waitFor([&] {
    const auto now = flowsOf("capture_test_client", 17);
    return now.size() == 1 && now[0].closed;
  }));
  EXPECT_TRUE(lumotest::waitFor([&] { return flowsOf("capture_test_client", 17).empty(); }));
  closing.write("\n");
  EXPECT_EQ(closing.finish(), 0);
}

TEST_F(CaptureFlowsInNamespace, EchoRequestsAndTheLibrarysRepliesAreCounted) {
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (probe < 0) GTEST_SKIP() << "ICMP datagram sockets are not allowed in this namespace";
  ::close(probe);
  drvapi::FilterRule rule{};
  rule.protocol = 1;
  rule.filteringFlag = drvapi::kRuleRawIp;
  ASSERT_EQ(drvapi::addFilterRule(&rule, true), drvapi::kOk);
  // The second request waits for 30 s: the socket is open while the list is
  // read, and the program is ended then.
  capturetest::Program ping;
  std::string error;
  ASSERT_TRUE(ping.start({LUMO_PING_PROGRAM, "-c", "2", "-i", "30", "203.0.113.9"}, environment(), error))
      << error;
  ASSERT_EQ(ping.line().value_or("").rfind("PING 203.0.113.9", 0), 0u);
  ASSERT_EQ(ping.line().value_or("").rfind("64 bytes from 203.0.113.9: icmp_seq=1 ", 0), 0u) << ping.errors();
  const std::vector<capture::FlowSummary> icmp = flowsOf("lumo-ping", 1);
  ASSERT_EQ(icmp.size(), 1u);
  EXPECT_EQ(icmp[0].decision, wire::kDecisionReported);
  EXPECT_EQ(text(icmp[0].remote), "203.0.113.9:0");
  EXPECT_EQ(icmp[0].upDatagrams, 1u);
  EXPECT_EQ(icmp[0].upBytes, 64u);
  EXPECT_EQ(icmp[0].downDatagrams, 1u);
  EXPECT_EQ(icmp[0].downBytes, 64u);
}

TEST_F(CaptureFlows, AListTooLongForOneReplyIsCutAndSaysSo) {
  // A program of our own making reports more UDP sockets than one reply
  // holds.
  CaptureClient program(socketPath());
  ASSERT_TRUE(program.hello());
  const size_t sockets = wire::kMaxFlowRecords + 10;
  for (uint32_t socket = 1; socket <= sockets; ++socket)
    ASSERT_TRUE(
        program.send(wire::UdpOpen{wire::header(wire::kUdpOpen, socket), endpoint("127.0.0.1", 4000)}));
  ASSERT_TRUE(lumotest::waitFor([&] { return server->flows().size() == sockets; }));

  CaptureClient status(socketPath());
  wire::FlowsReply head{};
  std::vector<wire::FlowRecord> records;
  ASSERT_TRUE(flows(status, head, records));
  EXPECT_EQ(head.total, sockets);
  EXPECT_EQ(head.count, wire::kMaxFlowRecords);
  EXPECT_EQ(head.flags, wire::kFlowsTruncated);
  EXPECT_EQ(records.back().protocol, 17);
  EXPECT_EQ(records.back().decision, wire::kDecisionStraight);
  // Asked again once the answer was read: answered again.
  ASSERT_TRUE(flows(status, head, records));
  EXPECT_EQ(head.count, wire::kMaxFlowRecords);
}

TEST_F(CaptureFlows, StatusRequestsThatBreakTheProtocolDropOnlyTheirClient) {
  using capturetest::bytesOf;
  const std::vector<uint8_t> request = bytesOf(kFlowsRequest);
  const std::vector<uint8_t> hello =
      bytesOf(wire::Hello{wire::header(wire::kHello, 0), wire::kMagic, wire::kVersion, 0});
  std::vector<uint8_t> longer = request;
  longer.push_back(0);
  const std::vector<uint8_t> shorter(request.begin(), request.end() - 1);
  struct Row {
    const char* what;
    std::vector<std::vector<uint8_t>> before;  // sent first, each answered
    std::vector<uint8_t> message;
  } rows[] = {
      {"another magic",
       {},
       bytesOf(wire::Hello{wire::header(wire::kFlowsRequest, 0), 0x12345678, wire::kVersion, 0})},
      {"another version", {}, bytesOf(wire::Hello{wire::header(wire::kFlowsRequest, 0), wire::kMagic, 2, 0})},
      {"one byte too long", {}, longer},
      {"one byte short", {}, shorter},
      {"a reply sent to the driver",
       {},
       bytesOf(wire::FlowsReply{wire::header(wire::kFlowsReply, 0), 0, 0, 0})},
      {"a status request on a program's connection", {hello}, request},
      {"a program's message on a status connection",
       {request},
       bytesOf(wire::UdpOpen{wire::header(wire::kUdpOpen, 1), endpoint("127.0.0.1", 4000)})},
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
    expectDropped(bad, row.message);
  }

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
  wire::FlowsReply head{};
  std::vector<wire::FlowRecord> records;
  EXPECT_TRUE(flows(good, head, records));
  EXPECT_EQ(head.total, 0u);
}
