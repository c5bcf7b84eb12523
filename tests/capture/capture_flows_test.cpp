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
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture_fixture.h"
#include "capture_server.h"
#include "capture_wire.h"
#include "drvapi/drvapi.h"
#include "ipv4_packet.h"
#include "program.h"
#include "sim_driver.h"
#include "support/quiet_handler.h"
#include "support/test_support.h"

namespace {

namespace wire = capture::wire;

bool prepareNamespace() {
  static const bool ready = [] {
    const char* netns = std::getenv("LUMO_TEST_NETNS");
    if (netns == nullptr || std::string(netns) != "1") return false;
    std::ofstream("/proc/sys/net/ipv4/ping_group_range") << "0 2147483647\n";
    return capturetest::run({"ip", "route", "add", "local", "203.0.113.0/24", "dev", "lo"}, {}).status == 0;
  }();
  return ready;
}

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

// A TCP server on 127.0.0.1 that echoes every connection's bytes until its
// client closes; it stands for the engine's relay.
class EchoRelay {
 public:
  EchoRelay() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ok_ = listener_ >= 0 && ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          ::listen(listener_, 8) == 0 &&
          ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) == 0 &&
          ::pipe2(stop_, O_CLOEXEC) == 0;
    port_ = ntohs(a.sin_port);
    if (ok_) thread_ = std::thread([this] { serve(); });
  }
  ~EchoRelay() {
    if (thread_.joinable()) {
      ::close(stop_[1]);
      thread_.join();
      ::close(stop_[0]);
    }
    for (int fd : clients_) ::close(fd);
    ::close(listener_);
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }

 private:
  void serve() {
    for (;;) {
      std::vector<pollfd> p = {{stop_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
      for (int fd : clients_) p.push_back({fd, POLLIN, 0});
      if (::poll(p.data(), p.size(), -1) < 0 || p[0].revents != 0) return;
      if (p[1].revents != 0) {
        const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) clients_.push_back(c);
      }
      for (size_t i = 2; i < p.size(); ++i) {
        if (p[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(p[i].fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          ::send(p[i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
        } else {
          ::close(p[i].fd);
          clients_.erase(std::find(clients_.begin(), clients_.end(), p[i].fd));
        }
      }
    }
  }
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  bool ok_ = false;
  uint16_t port_ = 0;
  std::vector<int> clients_;  // the serving thread's
  std::thread thread_;
};

// The engine's stand-in: connects to 203.0.113.0/24 go to the relay;
// datagrams that start with "inject" are answered by the library, the rest
// are sent on as they are; echo requests are answered.
class Handler : public lumotest::QuietHandler, public drvapi::DRV_IPEventHandler {
 public:
  std::atomic<uint16_t> relayPort{0};

  void tcpConnectRequest(uint64_t, drvapi::TcpConnInfo* info) override {
    const uint8_t* remote = info->remoteAddress;
    if (remote[4] != 203 || remote[5] != 0 || remote[6] != 113) return;
    const simdrv::SockAddr relay = simdrv::ipv4("127.0.0.1", relayPort);
    std::memcpy(info->remoteAddress, relay.data(), relay.size());
  }
  void udpSend(uint64_t id, const unsigned char* remote, const char* data, int length,
               const drvapi::UdpOptions* options) override {
    const std::string datagram(data, static_cast<size_t>(length));
    if (datagram.rfind("inject", 0) == 0) {
      const simdrv::SockAddr source = simdrv::ipv4("198.51.100.7", 5353);
      const std::string reply = "injected" + datagram.substr(6);
      drvapi::udpInjectReceive(id, source.data(), reply.data(), static_cast<int>(reply.size()), nullptr);
    } else {
      drvapi::udpInjectSend(id, remote, data, length, options);
    }
  }
  void ipSend(const char* packet, int length, const drvapi::IpOptions* options) override {
    const std::optional<std::string> reply =
        simdrv::echoReplyTo(std::string(packet, static_cast<size_t>(length)));
    if (reply) drvapi::ipInjectReceive(reply->data(), static_cast<int>(reply->size()), options);
  }
  void ipReceive(const char*, int, const drvapi::IpOptions*) override {}
};

// A status client of the capture socket, as lumo-run is one.
class StatusClient {
 public:
  explicit StatusClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  }
  ~StatusClient() { ::close(fd_); }
  bool connected() const { return connected_; }
  bool send(const void* data, size_t size) {
    return ::send(fd_, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
  }
  template <class T>
  bool send(const T& message) {
    return send(&message, sizeof message);
  }
  bool request() {
    return send(wire::Hello{wire::header(wire::kFlowsRequest, 0), wire::kMagic, wire::kVersion, 0});
  }
  // One packet within 5 s: its bytes; nullopt on time-out, empty when the
  // server hung up.
  std::optional<std::vector<uint8_t>> receive() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return std::nullopt;
    std::vector<uint8_t> packet(wire::kMaxMessage + 1);
    const ssize_t n = ::recv(fd_, packet.data(), packet.size(), 0);
    packet.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return packet;
  }
  // Asks for the flows; the reply's head and records, checked as lumo-run
  // checks them.
  bool flows(wire::FlowsReply& head, std::vector<wire::FlowRecord>& records) {
    if (!request()) return false;
    const std::optional<std::vector<uint8_t>> packet = receive();
    if (!packet) return false;
    const std::optional<wire::Message> m = wire::readMessage(packet->data(), packet->size(), false);
    if (!m || m->type != wire::kFlowsReply) return false;
    head = m->as<wire::FlowsReply>();
    if (m->payload.size() != head.count * sizeof(wire::FlowRecord)) return false;
    records.resize(head.count);
    if (!records.empty()) std::memcpy(records.data(), m->payload.data(), m->payload.size());
    return true;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class CaptureFlows : public capturetest::CaptureServerFixture<Handler> {
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
    if (!prepareNamespace()) GTEST_SKIP() << "needs a network namespace of its own (LUMO_TEST_NETNS)";
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
  StatusClient status(socketPath());
  ASSERT_TRUE(status.connected());
  wire::FlowsReply head{};
  std::vector<wire::FlowRecord> records;
  ASSERT_TRUE(status.flows(head, records));
  EXPECT_EQ(head.total, 1u);
  EXPECT_EQ(head.flags, 0);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::string(records[0].program), "bash");
  EXPECT_EQ(records[0].pid, tcp[0].pid);
  EXPECT_EQ(records[0].protocol, 6);
  EXPECT_EQ(records[0].decision, wire::kDecisionRelayed);
  EXPECT_TRUE(records[0].target == tcp[0].target && records[0].local == tcp[0].local);
  EXPECT_EQ(records[0].upBytes, 6u);
  EXPECT_EQ(records[0].downBytes, 6u);
  EXPECT_EQ(records[0].flags, 0);

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
  StatusClient program(socketPath());
  ASSERT_TRUE(program.connected());
  ASSERT_TRUE(program.send(wire::Hello{wire::header(wire::kHello, 0), wire::kMagic, wire::kVersion, 0}));
  ASSERT_TRUE(program.receive().has_value());
  const size_t sockets = wire::kMaxFlowRecords + 10;
  for (uint32_t socket = 1; socket <= sockets; ++socket)
    ASSERT_TRUE(
        program.send(wire::UdpOpen{wire::header(wire::kUdpOpen, socket), endpoint("127.0.0.1", 4000)}));
  ASSERT_TRUE(lumotest::waitFor([&] { return server->flows().size() == sockets; }));

  StatusClient status(socketPath());
  wire::FlowsReply head{};
  std::vector<wire::FlowRecord> records;
  ASSERT_TRUE(status.flows(head, records));
  EXPECT_EQ(head.total, sockets);
  EXPECT_EQ(head.count, wire::kMaxFlowRecords);
  EXPECT_EQ(head.flags, wire::kFlowsTruncated);
  EXPECT_EQ(records.back().protocol, 17);
  EXPECT_EQ(records.back().decision, wire::kDecisionStraight);
  // Asked again once the answer was read: answered again.
  ASSERT_TRUE(status.flows(head, records));
  EXPECT_EQ(head.count, wire::kMaxFlowRecords);
}

TEST_F(CaptureFlows, StatusRequestsThatBreakTheProtocolDropOnlyTheirClient) {
  const wire::Hello request{wire::header(wire::kFlowsRequest, 0), wire::kMagic, wire::kVersion, 0};
  const wire::Hello hello{wire::header(wire::kHello, 0), wire::kMagic, wire::kVersion, 0};
  auto bytes = [](const auto& message) {
    std::vector<uint8_t> b(sizeof message);
    std::memcpy(b.data(), &message, sizeof message);
    return b;
  };
  std::vector<uint8_t> longer = bytes(request);
  longer.push_back(0);
  std::vector<uint8_t> shorter = bytes(request);
  shorter.pop_back();
  struct Row {
    const char* what;
    std::vector<std::vector<uint8_t>> before;  // sent first, each answered
    std::vector<uint8_t> message;
  } rows[] = {
      {"another magic",
       {},
       bytes(wire::Hello{wire::header(wire::kFlowsRequest, 0), 0x12345678, wire::kVersion, 0})},
      {"another version", {}, bytes(wire::Hello{wire::header(wire::kFlowsRequest, 0), wire::kMagic, 2, 0})},
      {"one byte too long", {}, longer},
      {"one byte short", {}, shorter},
      {"a reply sent to the driver",
       {},
       bytes(wire::FlowsReply{wire::header(wire::kFlowsReply, 0), 0, 0, 0})},
      {"a status request on a program's connection", {bytes(hello)}, bytes(request)},
      {"a program's message on a status connection",
       {bytes(request)},
       bytes(wire::UdpOpen{wire::header(wire::kUdpOpen, 1), endpoint("127.0.0.1", 4000)})},
      {"a hello after a status request", {bytes(request)}, bytes(hello)},
  };
  for (const Row& row : rows) {
    StatusClient bad(socketPath());
    ASSERT_TRUE(bad.connected()) << row.what;
    for (const std::vector<uint8_t>& first : row.before) {
      ASSERT_TRUE(bad.send(first.data(), first.size())) << row.what;
      const auto answer = bad.receive();
      ASSERT_TRUE(answer && !answer->empty()) << row.what;
    }
    const size_t logged = logLines().size();
    ASSERT_TRUE(bad.send(row.message.data(), row.message.size())) << row.what;
    const auto answer = bad.receive();
    ASSERT_TRUE(answer.has_value()) << row.what;
    EXPECT_TRUE(answer->empty()) << row.what << ": the server hangs up";
    ASSERT_TRUE(lumotest::waitFor([&] { return logLines().size() > logged; })) << row.what;
    EXPECT_NE(logLines().back().find("peer dropped"), std::string::npos)
        << row.what << ": " << logLines().back();
    // The server still answers others.
    StatusClient good(socketPath());
    wire::FlowsReply head{};
    std::vector<wire::FlowRecord> records;
    EXPECT_TRUE(good.connected() && good.flows(head, records)) << row.what;
  }

  // A client that asks and never reads is dropped, before its answers pile up.
  StatusClient greedy(socketPath());
  ASSERT_TRUE(greedy.connected());
  size_t sent = 0;
  while (sent < 100000 && greedy.request()) ++sent;
  EXPECT_LT(sent, 100000u) << "the server hung up";
  EXPECT_TRUE(lumotest::waitFor([&] {
    const auto lines = logLines();
    return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("asks for the flows again before it read the last answer") != std::string::npos;
    });
  }));
  StatusClient good(socketPath());
  wire::FlowsReply head{};
  std::vector<wire::FlowRecord> records;
  EXPECT_TRUE(good.connected() && good.flows(head, records));
  EXPECT_EQ(head.total, 0u);
}
