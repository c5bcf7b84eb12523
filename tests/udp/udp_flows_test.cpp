// UDP flow handling against scripted processes, rules, driver and proxy
// sockets: the outbound decision row by row, both transports, replies, the
// race on a new flow, and what a flow leaves behind when it closes.
#include "udp/udp_flows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collector/data_collector.h"
#include "platform/net.h"
#include "udp/tunnel_header.h"

using platform::hostToNet16;
using platform::ipv4;
using platform::SocketAddress;

namespace {

constexpr uint32_t kGamePid = 1200;
constexpr uint32_t kNode = ipv4(127, 0, 0, 9);
const uint16_t kNodePort = hostToNet16(7001);

SocketAddress v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  return platform::makeIpv4Address(ipv4(a, b, c, d), hostToNet16(port));
}
std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

class FakeProcesses : public udp::ProcessQueries {
 public:
  std::set<uint32_t> selected{kGamePid}, watched;
  bool admitted = true;
  std::string processNameOf(uint32_t pid) override {
    return pid == 0 || pid == 4 ? "" : "p" + std::to_string(pid);
  }
  bool isSelectedProcess(uint32_t pid, const std::string&) override { return selected.count(pid) != 0; }
  bool admit(uint32_t, const std::string&) override { return admitted; }
  bool isWatchedService(uint32_t pid) override { return watched.count(pid) != 0; }
};

class FakePolicy : public udp::SteeringPolicy {
 public:
  udp::SteeringSettings s{kNode, kNodePort, 0x01020304, false, false};
  bool local = false;
  int rule = 0;
  std::vector<uint32_t> routes;
  std::function<void()> onSettings;  // called at each datagram's settings read
  udp::SteeringSettings settings() override {
    if (onSettings) onSettings();
    return s;
  }
  bool isLocalDestination(const SocketAddress&) override { return local; }
  int addressRule(const SocketAddress&) override { return rule; }
  void addHostRoute(uint32_t a) override { routes.push_back(a); }
};

struct Injected {
  bool send;
  uint64_t id;
  SocketAddress remote;
  std::vector<uint8_t> data;
  const drvapi::UdpOptions* options;
};

class FakeDriver : public udp::FlowDriver {
 public:
  std::mutex lock;
  std::vector<Injected> injected;
  std::vector<uint64_t> released;
  std::map<uint64_t, drvapi::UdpConnInfo> known;
  int inject(bool send, uint64_t id, const uint8_t* remote, const uint8_t* data, size_t length,
             const drvapi::UdpOptions* options) {
    std::lock_guard<std::mutex> g(lock);
    Injected i{send, id, {}, {data, data + length}, options};
    std::memcpy(i.remote.bytes, remote, 28);
    injected.push_back(i);
    return 0;
  }
  int injectSend(uint64_t id, const uint8_t* r, const uint8_t* d, size_t n,
                 const drvapi::UdpOptions* o) override {
    return inject(true, id, r, d, n, o);
  }
  std::function<void()> onInjectReceive;
  int injectReceive(uint64_t id, const uint8_t* r, const uint8_t* d, size_t n,
                    const drvapi::UdpOptions* o) override {
    if (onInjectReceive) onInjectReceive();
    return inject(false, id, r, d, n, o);
  }
  int disableFiltering(uint64_t id) override {
    std::lock_guard<std::mutex> g(lock);
    released.push_back(id);
    return 0;
  }
  int getConnInfo(uint64_t id, drvapi::UdpConnInfo& info) override {
    auto it = known.find(id);
    if (it == known.end()) return -2;
    info = it->second;
    return 0;
  }
};

class FakeTransport : public udp::TunnelTransport {
 public:
  std::atomic<int> opens{0};
  std::set<uint64_t> open, closed;
  std::mutex lock;
  bool openOk = true, sendOk = true;
  std::vector<std::pair<SocketAddress, std::vector<uint8_t>>> sent;
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
  bool sendDatagram(uint64_t id, const uint8_t* data, size_t length, const SocketAddress& peer) override {
    std::lock_guard<std::mutex> g(lock);
    if (!sendOk || open.count(id) == 0) return false;
    sent.emplace_back(peer, std::vector<uint8_t>(data, data + length));
    return true;
  }
};

class RecordingCollector : public collector::DataCollectorEvent {
 public:
  std::mutex lock;
  std::vector<uint32_t> types;
  uint64_t proxiedUp = 0, proxiedDown = 0;
  void onCollectorEvent(const collector::DCEvent& r) override {
    std::lock_guard<std::mutex> g(lock);
    types.push_back(r.type);
    if (r.type == collector::kUdpProxyFlowUp)
      proxiedUp += static_cast<const collector::DCUdpProxyFlowUpEvent&>(r).byteCount;
    if (r.type == collector::kUdpProxyFlowDown)
      proxiedDown += static_cast<const collector::DCUdpProxyFlowDownEvent&>(r).byteCount;
  }
  // Everything posted so far, in order (the collector is stopped to drain).
  std::vector<uint32_t> drained() {
    stopCollector();
    std::vector<uint32_t> out;
    std::swap(out, types);
    startCollector();
    return out;
  }
};

class FakeDns : public udp::DnsBranch {
 public:
  FakeDriver* driver = nullptr;  // responses are delivered through it
  QueryOutcome outcome = QueryOutcome::Tunnel;
  bool claimReplies = false;
  QueryOutcome interceptDnsQuery(uint64_t, const SocketAddress&, const uint8_t*, size_t,
                                 const drvapi::UdpOptions*) override {
    return outcome;
  }
  void observeDnsResponse(uint64_t id, const SocketAddress& from, const uint8_t* data, size_t length,
                          const drvapi::UdpOptions* options) override {
    driver->injectReceive(id, from.bytes, data, length, options);
  }
  bool matchTunnelDnsReply(const uint8_t*, size_t) override { return claimReplies; }
};

struct Harness {
  FakeProcesses processes;
  FakePolicy policy;
  FakeDriver driver;
  FakeTransport transport;
  udp::PassingDnsBranch passingDns{driver};
  udp::ProbeTracker probes;
  RecordingCollector collector;
  udp::UdpFlows flows;

  explicit Harness(udp::DnsBranch* dns = nullptr)
      : flows(udp::UdpFlowLinks{processes, policy, driver, transport, dns ? *dns : passingDns, probes,
                                collector}) {
    collector.startCollector();
  }
  ~Harness() { collector.stopCollector(); }

  void create(uint64_t id, uint32_t pid = kGamePid) {
    drvapi::UdpConnInfo info{};
    info.processId = pid;
    info.ipFamily = 2;
    const SocketAddress local = v4(127, 0, 0, 1, 40000);
    std::memcpy(info.localAddress, local.bytes, 16);
    flows.udpCreated(id, &info);
  }
  void close(uint64_t id, uint32_t pid = kGamePid) {
    drvapi::UdpConnInfo info{};
    info.processId = pid;
    info.ipFamily = 2;
    flows.udpClosed(id, &info);
  }
  void send(uint64_t id, const SocketAddress& to, const std::vector<uint8_t>& d,
            const drvapi::UdpOptions* options = nullptr) {
    uint8_t field[28] = {};
    std::memcpy(field, to.bytes, 28);
    flows.udpSend(id, field, d.data(), d.size(), options);
  }
  void receive(uint64_t id, const SocketAddress& from, const std::vector<uint8_t>& d) {
    uint8_t field[28] = {};
    std::memcpy(field, from.bytes, 28);
    flows.udpReceive(id, field, d.data(), d.size(), nullptr);
  }
};

using collector::kUdpClosed;
using collector::kUdpCreated;
using collector::kUdpFlowDown;
using collector::kUdpFlowUp;
using collector::kUdpProxyBegin;
using collector::kUdpProxyEnd;
using collector::kUdpProxyFlowDown;
using collector::kUdpProxyFlowUp;
using Types = std::vector<uint32_t>;

}  // namespace

TEST(UdpFlows, EachStepOfTheOutboundDecision) {
  enum Outcome { Pass, PassRelease, Drop, Tunnel };
  uint8_t v6any[16] = {0x20, 0x01, 0x0d, 0xb8};
  struct Row {
    const char* what;
    SocketAddress to;
    uint32_t pid = kGamePid;
    bool unselectedButWatched = false, local = false, adapter = false;
    int rule = 0;
    Outcome outcome;
    Types events;
  } rows[] = {
      {"DNS goes to the DNS branch, which passes it",
       v4(203, 0, 113, 5, 53),
       kGamePid,
       false,
       false,
       false,
       0,
       Pass,
       {}},
      {"own network", v4(127, 0, 0, 1, 9000), kGamePid, false, true, false, 0, Pass, {}},
      {"IPv6 is counted, never steered",
       platform::makeIpv6Address(v6any, hostToNet16(9000)),
       kGamePid,
       false,
       false,
       false,
       0,
       Pass,
       {kUdpFlowUp}},
      {"broadcast", v4(255, 255, 255, 255, 9000), kGamePid, false, false, false, 0, Pass, {kUdpFlowUp}},
      {"multicast above 224.0.0.0",
       v4(224, 0, 0, 1, 9000),
       kGamePid,
       false,
       false,
       false,
       0,
       Pass,
       {kUdpFlowUp}},
      {"SSDP", v4(239, 255, 255, 250, 1900), kGamePid, false, false, false, 0, Pass, {kUdpFlowUp}},
      {"zero address", v4(0, 0, 0, 0, 9000), kGamePid, false, false, false, 0, Pass, {kUdpFlowUp}},
      {"224.0.0.0 itself is steered",
       v4(224, 0, 0, 0, 9000),
       kGamePid,
       false,
       false,
       false,
       0,
       Tunnel,
       {kUdpFlowUp, kUdpProxyBegin, kUdpProxyFlowUp}},
      {"unselected process: released",
       v4(203, 0, 113, 5, 9000),
       77,
       false,
       false,
       false,
       0,
       PassRelease,
       {kUdpFlowUp}},
      {"watched service's process joins",
       v4(203, 0, 113, 5, 9000),
       77,
       true,
       false,
       false,
       0,
       Tunnel,
       {kUdpFlowUp, kUdpProxyBegin, kUdpProxyFlowUp}},
      {"direct rule", v4(203, 0, 113, 5, 9000), kGamePid, false, false, false, 1, Pass, {kUdpFlowUp}},
      {"block rule", v4(203, 0, 113, 5, 9000), kGamePid, false, false, false, 2, Drop, {kUdpFlowUp}},
      {"adapter mode: routed, passed, counted",
       v4(203, 0, 113, 5, 9000),
       kGamePid,
       false,
       false,
       true,
       0,
       Pass,
       {kUdpFlowUp, kUdpProxyFlowUp}},
      {"steered",
       v4(203, 0, 113, 5, 9000),
       kGamePid,
       false,
       false,
       false,
       0,
       Tunnel,
       {kUdpFlowUp, kUdpProxyBegin, kUdpProxyFlowUp}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Harness h;
    if (row.unselectedButWatched) h.processes.watched.insert(row.pid);
    h.policy.local = row.local;
    h.policy.rule = row.rule;
    h.policy.s.adapterMode = row.adapter;
    h.create(1, row.pid);
    const auto payload = bytes("datagram");
    h.send(1, row.to, payload);

    Types events{kUdpCreated};
    events.insert(events.end(), row.events.begin(), row.events.end());
    EXPECT_EQ(h.collector.drained(), events);
    const bool passed = row.outcome == Pass || row.outcome == PassRelease;
    ASSERT_EQ(h.driver.injected.size(), passed ? 1u : 0u);
    if (passed) {
      EXPECT_TRUE(h.driver.injected[0].send);
      EXPECT_EQ(h.driver.injected[0].data, payload);
      EXPECT_EQ(std::memcmp(h.driver.injected[0].remote.bytes, row.to.bytes, row.to.length()), 0);
    }
    EXPECT_EQ(h.driver.released,
              row.outcome == PassRelease ? std::vector<uint64_t>{1} : std::vector<uint64_t>{});
    EXPECT_EQ(h.transport.sent.size(), row.outcome == Tunnel ? 1u : 0u);
    EXPECT_EQ(h.policy.routes.size(), row.adapter ? 1u : 0u);
  }
}

TEST(UdpFlows, FlowCreationSelectsAdmitsOrReleases) {
  Harness h;
  h.create(1, 4);
  h.create(2, kGamePid);
  h.processes.admitted = false;
  h.create(3, kGamePid);
  h.create(4, 77);
  EXPECT_EQ(h.driver.released, (std::vector<uint64_t>{1, 3}));
  EXPECT_EQ(h.flows.steeredCount(), 1u);
  EXPECT_EQ(h.flows.flowInfoCount(), 3u) << "system processes are not recorded";
  // A flow whose creation was missed is asked of the driver.
  drvapi::UdpConnInfo info{};
  info.processId = kGamePid;
  h.driver.known[9] = info;
  h.send(9, v4(203, 0, 113, 5, 9000), bytes("x"));
  EXPECT_EQ(h.driver.released.back(), 9u) << "known now, but not steered: released at its first datagram";
  EXPECT_EQ(h.flows.flowInfoCount(), 4u);
}

TEST(UdpFlows, ProxySocketFlowLivesFromFirstSteeredDatagramToClose) {
  Harness h;
  h.create(1);
  uint8_t optionBytes[12] = {};
  optionBytes[4] = 4;  // optionsLength
  std::memcpy(optionBytes + 8, "opts", 4);
  const auto* options = reinterpret_cast<const drvapi::UdpOptions*>(optionBytes);
  const SocketAddress peer = v4(203, 0, 113, 5, 9000);

  h.transport.openOk = false;
  h.send(1, peer, bytes("a"), options);
  EXPECT_EQ(h.flows.tunnelFlowCount(), 0u);
  EXPECT_EQ(h.driver.injected.size(), 1u) << "no socket: the datagram passes";
  h.transport.openOk = true;
  h.send(1, peer, bytes("b"), options);
  EXPECT_EQ(h.flows.tunnelFlowCount(), 1u) << "the next datagram tries again";
  EXPECT_EQ(h.transport.sent.size(), 1u);

  // Replies come from the peer the node names, with the first datagram's options.
  h.flows.deliverProxyReply(1, bytes("reply").data(), 5, v4(203, 0, 113, 5, 9001));
  ASSERT_EQ(h.driver.injected.size(), 2u);
  const Injected& in = h.driver.injected[1];
  EXPECT_FALSE(in.send);
  EXPECT_EQ(in.remote.port(), hostToNet16(9001));
  EXPECT_EQ(in.data, bytes("reply"));
  ASSERT_NE(in.options, nullptr);
  EXPECT_EQ(std::memcmp(in.options->data, "opts", 4), 0);
  EXPECT_EQ(h.collector.drained(), (Types{kUdpCreated, kUdpFlowUp, kUdpProxyBegin, kUdpFlowUp, kUdpProxyBegin,
                                          kUdpProxyFlowUp, kUdpFlowDown, kUdpProxyFlowDown}));

  h.close(1);
  EXPECT_EQ(h.transport.closed, (std::set<uint64_t>{1})) << "the flow's socket goes with it";
  EXPECT_EQ(h.flows.tunnelFlowCount() + h.flows.steeredCount() + h.flows.flowInfoCount(), 0u);
  // A late reply is not delivered, but what the node sent is still counted.
  h.flows.deliverProxyReply(1, bytes("late").data(), 4, peer);
  EXPECT_EQ(h.driver.injected.size(), 2u);
  EXPECT_EQ(h.collector.drained(), (Types{kUdpProxyEnd, kUdpClosed, kUdpProxyFlowDown}));
}

TEST(UdpFlows, DnsQueryCarriedThroughTheTunnelAnswersFromTheServerAsked) {
  FakeDns dns;
  Harness h(&dns);
  dns.driver = &h.driver;
  h.create(1, 77);  // any process: the DNS branch decides
  const SocketAddress server = v4(198, 51, 100, 53, 53);
  h.send(1, server, bytes("query"));
  ASSERT_EQ(h.transport.sent.size(), 1u);
  h.flows.deliverProxyReply(1, bytes("answer").data(), 6, v4(127, 0, 0, 9, 5312));
  dns.claimReplies = true;
  h.flows.deliverProxyReply(1, bytes("claimed").data(), 7, v4(127, 0, 0, 9, 5312));
  ASSERT_EQ(h.driver.injected.size(), 1u) << "a reply the DNS branch claims is not delivered";
  EXPECT_EQ(h.driver.injected[0].remote.port(), hostToNet16(53));
  EXPECT_EQ(h.driver.injected[0].remote.ipv4(), ipv4(198, 51, 100, 53));
}

TEST(UdpFlows, DirectTransportWrapsOnTheFlowAndUnwrapsTheNodesReplies) {
  Harness h;
  h.policy.s.directMode = true;
  h.create(1);
  const SocketAddress peer = v4(1, 2, 3, 4, 5000);
  std::vector<uint8_t> payload(100, 0x33);
  h.send(1, peer, payload);
  h.send(1, peer, payload);
  ASSERT_EQ(h.driver.injected.size(), 2u);
  const Injected& out = h.driver.injected[0];
  EXPECT_EQ(out.remote.ipv4(), kNode);
  EXPECT_EQ(out.remote.port(), kNodePort);
  UdpProxy::TunnelMessage m;
  ASSERT_TRUE(UdpProxy::ParseTunnelMessage(out.data.data(), out.data.size(), m));
  EXPECT_EQ(out.data.size(), 124u);
  EXPECT_EQ(m.addressNet, ipv4(1, 2, 3, 4));
  EXPECT_EQ(m.portNet, hostToNet16(5000));
  EXPECT_EQ(m.userId, 0x01020304u);
  EXPECT_EQ(std::vector<uint8_t>(m.payload, m.payload + m.length), payload);
  EXPECT_EQ(h.flows.directFlowCount(), 1u);

  const SocketAddress node = platform::makeIpv4Address(kNode, kNodePort);
  std::vector<uint8_t> reply(21, 0);
  UdpProxy::BuildReplyMessage(reply.data(), reply.size(), hostToNet16(5000), ipv4(1, 2, 3, 4), "z", 1);
  h.receive(1, node, reply);
  h.receive(1, node, std::vector<uint8_t>(20, 7));
  ASSERT_EQ(h.driver.injected.size(), 4u);
  EXPECT_EQ(h.driver.injected[2].data, bytes("z"));
  EXPECT_EQ(h.driver.injected[2].remote.ipv4(), ipv4(1, 2, 3, 4));
  EXPECT_EQ(h.driver.injected[3].data, std::vector<uint8_t>(20, 7))
      << "nothing to unwrap: delivered as it came";
  EXPECT_EQ(h.driver.injected[3].remote.ipv4(), kNode);

  h.close(1);
  EXPECT_EQ(h.collector.drained(), (Types{kUdpCreated, kUdpFlowUp, kUdpProxyBegin, kUdpProxyFlowUp,
                                          kUdpFlowUp, kUdpProxyFlowUp, kUdpFlowDown, kUdpProxyFlowDown,
                                          kUdpFlowDown, kUdpProxyFlowDown, kUdpProxyEnd, kUdpClosed}));
  EXPECT_EQ(h.collector.proxiedUp, 200u);
  EXPECT_EQ(h.collector.proxiedDown, 41u) << "replies count as received, header included";
}

TEST(UdpFlows, DirectTransportWithoutANodePassesTheDatagramUnchanged) {
  Harness h;
  h.policy.s = udp::SteeringSettings{};
  h.policy.s.directMode = true;
  h.create(1);
  h.send(1, v4(1, 2, 3, 4, 5000), bytes("plain"));
  ASSERT_EQ(h.driver.injected.size(), 1u);
  EXPECT_EQ(h.driver.injected[0].data, bytes("plain"));
  EXPECT_EQ(h.driver.injected[0].remote.ipv4(), ipv4(1, 2, 3, 4));
  EXPECT_EQ(h.flows.directFlowCount(), 0u);
  EXPECT_EQ(h.collector.drained(), (Types{kUdpCreated, kUdpFlowUp})) << "nothing counted as proxied";
}

TEST(UdpFlows, ProbeMarkGoesOutInACopyOfTheDatagram) {
  for (bool direct : {false, true}) {
    Harness h;
    h.policy.s.directMode = direct;
    h.probes.setEnabled(true);
    h.create(1);
    const SocketAddress server = v4(203, 0, 113, 5, 9000);
    h.send(1, server, {13, 0});
    h.send(1, server, {12, 0});
    h.send(1, server, std::vector<uint8_t>(18, 40));  // a probe (sequence 0x2828)
    std::vector<uint8_t> last(15, 0);
    last[0] = 41;
    last[13] = 1;
    last[14] = 2;  // the last reply of a measurement whose probe was never answered
    h.send(1, server, last);
    const std::vector<uint8_t>& out = direct ? h.driver.injected.back().data : h.transport.sent.back().second;
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

  std::mutex m;
  std::condition_variable cv;
  bool holding = false, release = false;
  int arrived = 0;
  h.driver.onInjectReceive = [&] {
    std::unique_lock<std::mutex> g(m);
    holding = true;
    cv.notify_all();
    cv.wait(g, [&] { return release; });
  };
  std::thread reply([&] { h.flows.deliverProxyReply(1, bytes("r").data(), 1, peer); });
  {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return holding; });
  }
  h.policy.onSettings = [&] {
    std::lock_guard<std::mutex> g(m);
    ++arrived;
    cv.notify_all();
  };
  std::thread a([&] { h.send(2, peer, bytes("b")); });
  std::thread b([&] { h.send(2, peer, bytes("c")); });
  {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return arrived == 2; });
  }
  // From their settings read both senders are a few instructions from the
  // shared look-up; give them ample time to make it before the reply ends.
  for (int i = 0; i < 2000; ++i) std::this_thread::yield();
  {
    std::lock_guard<std::mutex> g(m);
    release = true;
    cv.notify_all();
  }
  reply.join();
  a.join();
  b.join();
  EXPECT_EQ(h.transport.opens.load(), 2) << "one socket for each flow";
  EXPECT_EQ(h.flows.tunnelFlowCount(), 2u);
  EXPECT_EQ(h.transport.sent.size(), 3u);
  const Types events = h.collector.drained();
  EXPECT_EQ(std::count(events.begin(), events.end(), kUdpProxyBegin), 2);
}
