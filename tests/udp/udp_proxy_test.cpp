// The UDP proxy against an in-test node on 127.0.0.1: what leaves on the wire,
// which replies are delivered, and that sockets and records follow the flows.
#include "udp/udp_proxy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/owned_socket.h"
#include "support/test_support.h"
#include "udp/tunnel_header.h"

namespace {

using Bytes = std::vector<uint8_t>;
using platform::SocketAddress;
using UdpProxy::OvDataRecordsFree;
using UdpProxy::OvDataRecordsMade;
using UdpProxy::UDPProxy;

constexpr uint32_t kWaitMs = 10000;
const uint32_t kLoopback = platform::ipv4(127, 0, 0, 1);

// Records out of the pool just now.
size_t recordsOut() { return OvDataRecordsMade() - OvDataRecordsFree(); }

// The node's tunnel port: a UDP socket on 127.0.0.1 that the test reads and
// answers from.
class TestNode {
 public:
  TestNode() {
    socket_.reset(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram));
    EXPECT_TRUE(platform::bindSocket(socket_.get(), platform::makeIpv4Address(kLoopback, 0)));
    EXPECT_TRUE(platform::localAddressOf(socket_.get(), address_));
    platform::setReceiveBufferSize(socket_.get(), 1 << 20);
  }
  uint16_t portNet() const { return address_.port(); }

  // The next datagram and its source; empty when none came in time.
  Bytes receive(SocketAddress* from = nullptr) {
    Bytes bytes(65536);
    if (platform::waitReadable(socket_.get(), kWaitMs) != 1) return {};
    const int n = platform::receiveFrom(socket_.get(), bytes.data(), bytes.size(), from);
    bytes.resize(n > 0 ? n : 0);
    return bytes;
  }
  void send(const Bytes& bytes, const SocketAddress& to) {
    ASSERT_EQ(platform::sendTo(socket_.get(), bytes.data(), bytes.size(), to),
              static_cast<int>(bytes.size()));
  }

 private:
  platform::OwnedSocket socket_;
  SocketAddress address_;
};

struct Delivery {
  uint64_t flowId;
  Bytes payload;
  SocketAddress peer;
  int kind;
};

class Collector : public UdpProxy::UDPProxyHandler {
 public:
  void OnProxyDatagram(uint64_t flowId, const uint8_t* data, size_t length, const SocketAddress& peer, int,
                       int kind) override {
    std::lock_guard<std::mutex> lock(lock_);
    deliveries_.push_back({flowId, Bytes(data, data + length), peer, kind});
    changed_.notify_all();
  }
  // The deliveries once there are at least `count` (fewer after the wait).
  std::vector<Delivery> waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return deliveries_.size() >= count; });
    return deliveries_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Delivery> deliveries_;
};

Bytes reply(uint8_t flags, uint16_t portNet, uint32_t addressNet, size_t payloadLength) {
  Bytes r(20 + payloadLength, 0x66);
  std::memset(r.data(), 0, 20);
  r[8] = flags;
  std::memcpy(&r[14], &portNet, 2);
  std::memcpy(&r[16], &addressNet, 4);
  return r;
}

uint32_t fixedClock() { return 0xABCD1234; }

// A peer at 203.0.113.`last`:`port`.
SocketAddress docPeer(uint8_t last, uint16_t port) {
  return platform::makeIpv4Address(platform::ipv4(203, 0, 113, last), platform::hostToNet16(port));
}

class UdpProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    proxy.SetUser(0x11223344);
    proxy.SetNode(kLoopback, node.portNet());
    proxy.SetClock(&fixedClock);
    ASSERT_TRUE(proxy.Start(&collector));
  }
  void TearDown() override {
    proxy.Stop();
    EXPECT_EQ(recordsOut(), 0u) << "every record is back in the pool after Stop";
  }
  // Sends one byte on a new flow and returns the proxy socket's address as
  // the node sees it.
  SocketAddress openAndSend(uint64_t flowId) {
    EXPECT_TRUE(proxy.OpenFlowSocket(flowId));
    SocketAddress peer = docPeer(5, 7000);
    const uint8_t byte = 1;
    EXPECT_TRUE(proxy.SendDatagram(flowId, &byte, 1, peer, 0));
    SocketAddress from;
    EXPECT_EQ(node.receive(&from).size(), 25u);
    return from;
  }

  TestNode node;
  Collector collector;
  UDPProxy proxy;
};

TEST_F(UdpProxyTest, TunnelHeaderOnEveryDatagramSentAndReadOnEveryReply) {
  ASSERT_TRUE(proxy.OpenFlowSocket(5));
  SocketAddress peer = platform::makeIpv4Address(platform::ipv4(1, 2, 3, 4), platform::hostToNet16(5000));
  const uint8_t byte = 0x7F;
  ASSERT_TRUE(proxy.SendDatagram(5, &byte, 1, peer, 0));
  SocketAddress from;
  const Bytes expected = {0xA5, 0x5A, 0x00, 0x00, 0x00, 0x19,  // magic, reserved, total 25
                          0x12, 0x34,                          // low 16 bits of the clock
                          0x01, 0x00, 0x00, 0x00, 0x00, 0x00,  // flags 1 (LE), reserved
                          0x11, 0x22, 0x33, 0x44,              // user id (BE)
                          0x13, 0x88,                          // port 5000
                          0x01, 0x02, 0x03, 0x04,              // 1.2.3.4
                          0x7F};
  EXPECT_EQ(node.receive(&from), expected);
  EXPECT_EQ(platform::netToHost32(from.ipv4()), 0x7F000001u) << "a loopback node is reached from loopback";

  // An ICMP message carries port 0, also in the caller's address.
  ASSERT_TRUE(proxy.SendDatagram(5, &byte, 1, peer, 2));
  EXPECT_EQ(peer.port(), 0);
  const Bytes icmp = node.receive();
  ASSERT_EQ(icmp.size(), 25u);
  EXPECT_EQ(Bytes(icmp.begin() + 18, icmp.begin() + 20), Bytes(2, 0));

  // One to 65062 bytes of the known kinds, for IPv4 peers only.
  const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8};
  const Bytes data(65063, 0x5A);
  struct Row {
    uint64_t flowId;
    size_t length;
    uint32_t kind;
    bool ipv6;
    bool sent;
  } rows[] = {
      {5, 65062, 0, false, true}, {5, 65063, 0, false, false}, {5, 0, 0, false, false},
      {5, 1, 1, false, false},    {5, 1, 3, false, false},     {5, 1, 0, true, false},
      {99, 1, 0, false, false},  // no socket for the flow
  };
  for (const Row& row : rows) {
    SocketAddress peer = row.ipv6 ? platform::makeIpv6Address(v6, platform::hostToNet16(9)) : docPeer(9, 9);
    EXPECT_EQ(proxy.SendDatagram(row.flowId, data.data(), row.length, peer, row.kind), row.sent)
        << "flow " << row.flowId << " length " << row.length << " kind " << row.kind;
  }
  const Bytes largest = node.receive();
  ASSERT_EQ(largest.size(), 65062u + 24u);
  EXPECT_EQ(Bytes(largest.begin() + 4, largest.begin() + 6), (Bytes{0xFE, 0x3E}));  // total 65086

  // Only replies longer than the header for an IPv4 peer are delivered, as
  // kind 2 when the node names port 0. A reply that carries nothing, or a
  // receive that fails (a datagram too long for the record), does not end the
  // flow's receiving: the replies after it still arrive.
  const SocketAddress proxySocket = openAndSend(3);
  const uint32_t replyPeer = platform::ipv4(198, 51, 100, 7);
  const uint16_t replyPort = platform::hostToNet16(4000);
  node.send(reply(0, replyPort, replyPeer, 0), proxySocket);                   // 20 bytes: nothing
  node.send(reply(0x02, replyPort, replyPeer, 5), proxySocket);                // IPv6 peer
  node.send(Bytes(65100, 0x01), proxySocket);                                  // longer than a record
  node.send(reply(0, replyPort, replyPeer, 1), proxySocket);                   // 21 bytes: 1 delivered
  node.send(reply(0xFD, 0, platform::ipv4(198, 51, 100, 8), 8), proxySocket);  // ICMP reply
  const std::vector<Delivery> got = collector.waitFor(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(std::tuple(got[0].flowId, got[0].payload, got[0].kind, got[0].peer.family(), got[0].peer.ipv4(),
                       got[0].peer.port()),
            std::tuple(3u, Bytes(1, 0x66), 0, platform::kFamilyIpv4, replyPeer, replyPort));
  EXPECT_EQ(std::tuple(got[1].kind, got[1].payload.size(), got[1].peer.ipv4()),
            std::tuple(2, 8u, platform::ipv4(198, 51, 100, 8)));
}

// Also the sends of two threads on one socket at once: under wine one of them
// is often left pending and run later, when the caller's frame is gone, so
// the completion port keeps each send's destination in its record.
TEST_F(UdpProxyTest, TwoSendsRacingOnANewFlowArmOneReceive) {
  constexpr uint64_t kFlows = 8;
  const size_t before = recordsOut();
  for (uint64_t flow = 10; flow < 10 + kFlows; ++flow) {
    ASSERT_TRUE(proxy.OpenFlowSocket(flow));
    std::atomic<bool> go{false};
    auto sender = [&](uint8_t tag) {
      while (!go) std::this_thread::yield();
      SocketAddress peer = docPeer(1, 53);
      EXPECT_TRUE(proxy.SendDatagram(flow, &tag, 1, peer, 0));
    };
    std::thread a(sender, 1), b(sender, 2);
    go = true;
    a.join();
    b.join();
  }
  // Both datagrams of every flow, answered with their payload, come back
  // through the one armed receive.
  for (size_t i = 0; i < 2 * kFlows; ++i) {
    SocketAddress from;
    const Bytes in = node.receive(&from);
    UdpProxy::TunnelMessage m;
    ASSERT_TRUE(UdpProxy::ParseTunnelMessage(in.data(), in.size(), m)) << i;
    Bytes out(20 + m.length);
    UdpProxy::BuildReplyMessage(out.data(), out.size(), m.portNet, m.addressNet, m.payload, m.length);
    node.send(out, from);
  }
  ASSERT_EQ(collector.waitFor(2 * kFlows).size(), 2 * kFlows);
  EXPECT_TRUE(lumotest::waitFor([&] { return recordsOut() == before + kFlows; }))
      << "records out: " << recordsOut() - before << " for " << kFlows << " flows";
}

// A closed flow's socket goes, and its armed receive comes back to the pool.
// (That many flows and their traffic leave no descriptor and make no record
// per flow or datagram is UdpEndToEnd's StartStopCyclesAndClosedFlows...;
// that Stop takes back the receives of flows still open, every TearDown's.)
TEST_F(UdpProxyTest, ClosingAFlowClosesItsSocketAndReturnsItsReceive) {
  const size_t sockets = proxy.FlowSocketCount();
  openAndSend(20);
  EXPECT_EQ(proxy.FlowSocketCount(), sockets + 1);
  ASSERT_TRUE(lumotest::waitFor([&] { return recordsOut() == 1; }));
  proxy.CloseFlowSocket(20);
  EXPECT_EQ(proxy.FlowSocketCount(), sockets);
  EXPECT_TRUE(lumotest::waitFor([&] { return recordsOut() == 0; })) << "the pending receive came back";
  SocketAddress peer = docPeer(5, 1);
  const uint8_t byte = 1;
  EXPECT_FALSE(proxy.SendDatagram(20, &byte, 1, peer, 0));

  // Reopening a flow that has a socket replaces (and closes) the old one.
  openAndSend(30);
  ASSERT_TRUE(proxy.OpenFlowSocket(30));
  EXPECT_EQ(proxy.FlowSocketCount(), sockets + 1);
  EXPECT_TRUE(lumotest::waitFor([&] { return recordsOut() == 0; }));
  proxy.Stop();
  EXPECT_EQ(proxy.FlowSocketCount(), 0u);
  ASSERT_TRUE(proxy.Start(&collector));
  EXPECT_EQ(proxy.FlowSocketCount(), 1u) << "the ICMP socket";
}

}  // namespace
