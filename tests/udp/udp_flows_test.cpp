// UDP flow handling against scripted processes, rules, driver and proxy
// sockets: the outbound decision row by row, both transports, replies, the
// race on a new flow, and what a flow leaves behind when it closes.
#include "udp/udp_flows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collector/data_collector.h"
#include "platform/event.h"
#include "platform/net.h"
#include "recording_flow_driver.h"
#include "udp/tunnel_header.h"

using platform::hostToNet16;
using platform::ipv4;
using platform::SocketAddress;
using namespace collector;
using Types = std::vector<uint32_t>;

namespace {

constexpr uint32_t kGamePid = 1200, kOtherPid = 77;
constexpr uint32_t kNode = ipv4(127, 0, 0, 9);
const uint16_t kNodePort = hostToNet16(7001);

SocketAddress v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  return platform::makeIpv4Address(ipv4(a, b, c, d), hostToNet16(port));
}
std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Processes, policy and proxy sockets, scripted.
class FakeEngine : public process::ProcessQueries, public udp::SteeringPolicy, public udp::TunnelTransport {
 public:
  std::set<uint32_t> selected{kGamePid}, watched;
  bool admitted = true, local = false, openOk = true;
  rules::AddressRule rule = rules::AddressRule::None;
  udp::SteeringSettings s{kNode, kNodePort, 0x01020304, false, false};
  std::vector<uint32_t> routes;
  std::function<void()> onSettings;  // called at each datagram's settings read
  std::atomic<int> opens{0};
  std::mutex lock;
  std::set<uint64_t> open, closed;
  std::vector<std::vector<uint8_t>> sent;

  std::string processNameOf(uint32_t pid) override {
    return pid == 0 || pid == 4 ? "" : "p" + std::to_string(pid);
  }
  bool isSelectedProcess(uint32_t pid, const std::string&) override { return selected.count(pid) != 0; }
  bool admit(uint32_t, const std::string&) override { return admitted; }
  bool isWatchedService(uint32_t pid) override { return watched.count(pid) != 0; }
  udp::SteeringSettings settings() override {
    if (onSettings) onSettings();
    return s;
  }
  bool isLocalDestination(const SocketAddress&) override { return local; }
  rules::AddressRule addressRule(const SocketAddress&) override { return rule; }
  void addHostRoute(uint32_t a) override { routes.push_back(a); }
  bool openFlowSocket(uint64_t id) override {
    ++opens;
    std::lock_guard<std::mutex> g(lock);
    if (openOk) open.insert(id);
    return openOk;
  }
  void closeFlowSocket(uint64_t id) override {
    std::lock_guard<std::mutex> g(lock);
    if (open.erase(id)) closed.insert(id);
  }
  bool sendDatagram(uint64_t id, const uint8_t* data, size_t length, const SocketAddress&) override {
    std::lock_guard<std::mutex> g(lock);
    if (open.count(id) == 0) return false;
    sent.emplace_back(data, data + length);
    return true;
  }
};

using FakeDriver = lumotest::RecordingFlowDriver;
using Injected = FakeDriver::Injected;

class RecordingCollector : public DataCollectorEvent {
 public:
  Types types;
  uint64_t proxiedDown = 0;
  void onCollectorEvent(const DCEvent& r) override {
    types.push_back(r.type);
    if (r.type == kUdpProxyFlowDown) proxiedDown += static_cast<const DCUdpProxyFlowDownEvent&>(r).byteCount;
  }
  // Everything posted so far, in order (stopping the collector drains it).
  Types drained() {
    stopCollector();
    Types out;
    std::swap(out, types);
    startCollector();
    return out;
  }
};

struct Harness {
  FakeEngine engine;
  FakeDriver driver;
  udp::PassingDnsBranch passingDns{driver};
  udp::ProbeTracker probes;
  RecordingCollector collector;
  udp::UdpFlows flows;

  Harness() : flows(udp::UdpFlowLinks{engine, engine, driver, engine, passingDns, probes, collector}) {
    collector.startCollector();
  }
  ~Harness() { collector.stopCollector(); }

  void create(uint64_t id, uint32_t pid = kGamePid) {
    drvapi::UdpConnInfo info{};
    info.processId = pid;
    info.ipFamily = 2;
    std::memcpy(info.localAddress.bytes.data(), v4(127, 0, 0, 1, 40000).bytes, 16);
    flows.udpCreated(id, &info);
  }
  void close(uint64_t id) {
    drvapi::UdpConnInfo info{};
    info.processId = kGamePid;
    info.ipFamily = 2;
    flows.udpClosed(id, &info);
  }
  void send(uint64_t id, const SocketAddress& to, const std::vector<uint8_t>& d,
            const drvapi::UdpOptions* options = nullptr) {
    flows.udpSend(id, to.bytes, d.data(), d.size(), options);
  }
  void receive(uint64_t id, const SocketAddress& from, const std::vector<uint8_t>& d) {
    flows.udpReceive(id, from.bytes, d.data(), d.size(), nullptr);
  }
};

}  // namespace

TEST(UdpFlows, EachStepOfTheOutboundDecision) {
  enum Setup { Game, Unselected, Watched, Local, DirectRule, BlockRule, Adapter, DirectNoNode };
  enum Outcome { Pass, PassRelease, Drop, Tunnel };
  const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8};
  const SocketAddress remote = v4(203, 0, 113, 5, 9000);
  const Types steered{kUdpFlowUp, kUdpProxyBegin, kUdpProxyFlowUp};
  struct Row {
    const char* what;
    SocketAddress to;
    Setup setup;
    Outcome outcome;
    Types events;
  } rows[] = {
      {"DNS: the DNS branch passes it", v4(203, 0, 113, 5, 53), Game, Pass, {}},
      {"own network", v4(127, 0, 0, 1, 9000), Local, Pass, {}},
      {"IPv6: counted, never steered",
       platform::makeIpv6Address(v6, hostToNet16(9000)),
       Game,
       Pass,
       {kUdpFlowUp}},
      {"broadcast", v4(255, 255, 255, 255, 9000), Game, Pass, {kUdpFlowUp}},
      {"multicast above 224.0.0.0", v4(224, 0, 0, 1, 9000), Game, Pass, {kUdpFlowUp}},
      {"zero address", v4(0, 0, 0, 0, 9000), Game, Pass, {kUdpFlowUp}},
      {"224.0.0.0 itself", v4(224, 0, 0, 0, 9000), Game, Tunnel, steered},
      {"unselected process: released", remote, Unselected, PassRelease, {kUdpFlowUp}},
      {"a watched service's process joins", remote, Watched, Tunnel, steered},
      {"direct rule", remote, DirectRule, Pass, {kUdpFlowUp}},
      {"block rule", remote, BlockRule, Drop, {kUdpFlowUp}},
      {"adapter mode: routed, passed, counted", remote, Adapter, Pass, {kUdpFlowUp, kUdpProxyFlowUp}},
      {"steered", remote, Game, Tunnel, steered},
      {"direct transport without a node: passed, nothing proxied", remote, DirectNoNode, Pass, {kUdpFlowUp}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Harness h;
    h.engine.local = row.setup == Local;
    h.engine.rule = row.setup == DirectRule  ? rules::AddressRule::Direct
                    : row.setup == BlockRule ? rules::AddressRule::Block
                                             : rules::AddressRule::None;
    h.engine.s.adapterMode = row.setup == Adapter;
    if (row.setup == DirectNoNode) {
      h.engine.s = udp::SteeringSettings{};
      h.engine.s.directMode = true;
    }
    if (row.setup == Watched) h.engine.watched.insert(kOtherPid);
    h.create(1, row.setup == Unselected || row.setup == Watched ? kOtherPid : kGamePid);
    const auto payload = bytes("datagram");
    h.send(1, row.to, payload);

    Types events{kUdpCreated};
    events.insert(events.end(), row.events.begin(), row.events.end());
    EXPECT_EQ(h.collector.drained(), events);
    const bool passed = row.outcome == Pass || row.outcome == PassRelease;
    ASSERT_EQ(h.driver.injected.size(), passed ? 1u : 0u);
    if (passed) {
      EXPECT_EQ(h.driver.injected[0].data, payload);
      EXPECT_EQ(std::memcmp(h.driver.injected[0].remote.bytes, row.to.bytes, row.to.length()), 0);
    }
    EXPECT_EQ(h.driver.released.size(), row.outcome == PassRelease ? 1u : 0u);
    EXPECT_EQ(h.engine.sent.size(), row.outcome == Tunnel ? 1u : 0u);
    EXPECT_EQ(h.engine.routes.size(), row.setup == Adapter ? 1u : 0u);
  }
}

TEST(UdpFlows, FlowCreationSelectsAdmitsOrReleases) {
  Harness h;
  h.create(1, 4);
  h.create(2, kGamePid);
  h.create(3, kOtherPid);
  h.engine.admitted = false;
  h.create(4, kGamePid);
  EXPECT_EQ(h.driver.released, (std::vector<uint64_t>{1, 4})) << "system processes and refused instances";
  EXPECT_EQ(h.flows.steeredCount(), 1u);
  // A flow whose creation was missed is asked of the driver; not being
  // steered, it is released at its first datagram.
  h.driver.known[9].processId = kGamePid;
  h.send(9, v4(203, 0, 113, 5, 9000), bytes("x"));
  EXPECT_EQ(h.driver.released.back(), 9u);
  EXPECT_EQ(h.flows.flowInfoCount(), 4u);
}

TEST(UdpFlows, ProxySocketFlowLivesFromFirstSteeredDatagramToClose) {
  Harness h;
  h.create(1);
  uint8_t optionBytes[12] = {0, 0, 0, 0, 4, 0, 0, 0, 'o', 'p', 't', 's'};
  const auto* options = reinterpret_cast<const drvapi::UdpOptions*>(optionBytes);
  const SocketAddress peer = v4(203, 0, 113, 5, 9000);

  h.engine.openOk = false;
  h.send(1, peer, bytes("a"), options);
  EXPECT_EQ(h.driver.injected.size(), 1u) << "no socket: the datagram passes";
  h.engine.openOk = true;
  h.send(1, peer, bytes("b"), options);
  EXPECT_EQ(h.flows.tunnelFlowCount(), 1u) << "the next datagram tries again";
  EXPECT_EQ(h.engine.sent, std::vector<std::vector<uint8_t>>{bytes("b")});

  // Replies come from the peer the node names, with the first datagram's options.
  h.flows.deliverProxyReply(1, bytes("reply").data(), 5, v4(203, 0, 113, 5, 9001));
  ASSERT_EQ(h.driver.injected.size(), 2u);
  const Injected& in = h.driver.injected[1];
  EXPECT_TRUE(in.toApplication);
  EXPECT_EQ(in.remote.port(), hostToNet16(9001));
  EXPECT_EQ(in.data, bytes("reply"));
  ASSERT_NE(in.options, nullptr);
  EXPECT_EQ(std::memcmp(in.options->data, "opts", 4), 0);
  EXPECT_EQ(h.collector.drained(), (Types{kUdpCreated, kUdpFlowUp, kUdpProxyBegin, kUdpFlowUp, kUdpProxyBegin,
                                          kUdpProxyFlowUp, kUdpFlowDown, kUdpProxyFlowDown}));

  h.close(1);
  EXPECT_EQ(h.engine.closed, std::set<uint64_t>{1}) << "the flow's socket goes with it";
  EXPECT_EQ(h.flows.tunnelFlowCount() + h.flows.steeredCount() + h.flows.flowInfoCount(), 0u);
  // A late reply is not delivered, but what the node sent is still counted.
  h.flows.deliverProxyReply(1, bytes("late").data(), 4, peer);
  EXPECT_EQ(h.driver.injected.size(), 2u);
  EXPECT_EQ(h.collector.drained(), (Types{kUdpProxyEnd, kUdpClosed, kUdpProxyFlowDown}));
}

// The direct transport wraps datagrams on the flow itself, to the node (that
// they arrive whole and are counted is UdpEndToEnd's Direct run); of the
// node's replies, one with nothing to unwrap is delivered as it came.
TEST(UdpFlows, DirectTransportWrapsOnTheFlowAndUnwrapsTheNodesReplies) {
  Harness h;
  h.engine.s.directMode = true;
  h.create(1);
  h.send(1, v4(1, 2, 3, 4, 5000), std::vector<uint8_t>(100, 0x33));
  ASSERT_EQ(h.driver.injected.size(), 1u);
  EXPECT_EQ(h.driver.injected[0].remote.ipv4(), kNode);
  EXPECT_EQ(h.driver.injected[0].data.size(), 124u);

  const SocketAddress node = platform::makeIpv4Address(kNode, kNodePort);
  std::vector<uint8_t> reply(21, 0);
  UdpProxy::BuildReplyMessage(reply.data(), reply.size(), hostToNet16(5000), ipv4(1, 2, 3, 4), "z", 1);
  h.receive(1, node, reply);
  h.receive(1, node, std::vector<uint8_t>(20, 7));
  ASSERT_EQ(h.driver.injected.size(), 3u);
  EXPECT_EQ(h.driver.injected[1].data, bytes("z"));
  EXPECT_EQ(h.driver.injected[1].remote.ipv4(), ipv4(1, 2, 3, 4));
  EXPECT_EQ(h.driver.injected[2].data, std::vector<uint8_t>(20, 7))
      << "nothing to unwrap: delivered as it came";
  EXPECT_EQ(h.driver.injected[2].remote.ipv4(), kNode);

  h.close(1);
  EXPECT_EQ(h.collector.drained(),
            (Types{kUdpCreated, kUdpFlowUp, kUdpProxyBegin, kUdpProxyFlowUp, kUdpFlowDown, kUdpProxyFlowDown,
                   kUdpFlowDown, kUdpProxyFlowDown, kUdpProxyEnd, kUdpClosed}));
  EXPECT_EQ(h.collector.proxiedDown, 41u) << "replies count as received, header included";
}

TEST(UdpFlows, ProbeMarkGoesOutInACopyOfTheDatagram) {
  for (bool direct : {false, true}) {
    Harness h;
    h.engine.s.directMode = direct;
    h.probes.setEnabled(true);
    h.create(1);
    const SocketAddress server = v4(203, 0, 113, 5, 9000);
    h.send(1, server, {13, 0});
    h.send(1, server, {12, 0});
    h.send(1, server, std::vector<uint8_t>(18, 40));  // a probe, never answered
    std::vector<uint8_t> last(15, 0);
    last[0] = 41;
    last[13] = 1;
    last[14] = 2;  // the measurement's last reply
    h.send(1, server, last);
    const std::vector<uint8_t>& out = direct ? h.driver.injected.back().data : h.engine.sent.back();
    ASSERT_EQ(out.size(), direct ? 39u : 15u);
    EXPECT_EQ(out[out.size() - 2], 0) << "byte 13 cleared";
    EXPECT_EQ(last[13], 1) << "the driver's own buffer is not written";
  }
}

TEST(UdpFlows, DatagramsRacingOnANewFlowOpenOneSocket) {
  // A reply being delivered on flow 1 holds the tunnel-flow table shared
  // while two datagrams of the new flow 2 look it up: both find nothing and
  // both wait for the exclusive lock. Only the look-up repeated under that
  // lock keeps the second one from opening another socket.
  Harness h;
  h.create(1);
  h.create(2);
  const SocketAddress peer = v4(203, 0, 113, 5, 9000);
  h.send(1, peer, bytes("a"));

  using platform::Event;
  Event holding(Event::Reset::Manual), release(Event::Reset::Manual), bothArrived(Event::Reset::Manual);
  std::atomic<int> arrived{0};
  h.driver.onInjectReceive = [&] {
    holding.set();
    release.wait();
  };
  std::thread reply([&] { h.flows.deliverProxyReply(1, bytes("r").data(), 1, peer); });
  holding.wait();
  h.engine.onSettings = [&] {
    if (++arrived == 2) bothArrived.set();
  };
  std::thread a([&] { h.send(2, peer, bytes("b")); });
  std::thread b([&] { h.send(2, peer, bytes("c")); });
  bothArrived.wait();
  // From their settings read both senders are a few instructions from the
  // shared look-up; give them ample time to make it before the reply ends.
  for (int i = 0; i < 2000; ++i) std::this_thread::yield();
  release.set();
  reply.join();
  a.join();
  b.join();
  EXPECT_EQ(h.engine.opens.load(), 2) << "one socket for each flow";
  EXPECT_EQ(h.engine.sent.size(), 3u);
  const Types events = h.collector.drained();
  EXPECT_EQ(std::count(events.begin(), events.end(), kUdpProxyBegin), 2);
}
