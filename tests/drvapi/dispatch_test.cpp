// Driver records through the library to the handler and back, scripted on
// the simulated driver: ordering, coalescing, verdicts, flow control,
// maintenance on a hand-moved clock, and batches the driver got wrong.
#include <algorithm>
#include <thread>

#include "drvapi/library.h"
#include "drvapi_fixture.h"

namespace drvtest {
namespace {

using namespace drvapi;

// Just past the maintenance's interval: the next batch runs it.
constexpr uint32_t kMaintenanceMs = 10001;
// A datagram peer on the network.
const platform::SocketAddress28 kPeer = simdrv::ipv4("203.0.113.9", 9000);
// The game's request for a UDP flow.
const UdpConnectRequest kUdpRequest{0, kGamePid, kFamilyIpv4, {}, {}};

class Dispatch : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    start();
  }
  std::vector<std::string> sequence(uint64_t id) const {
    std::vector<std::string> out;
    for (const auto& c : handler.calls(id)) out.push_back(c.what);
    return out;
  }
  // Waits until no job of either queue is queued or running.
  bool waitForIdleQueues() {
    return lumotest::waitFor(
        [] { return detail::lib().events.load() + detail::lib().eventsOut.load() == 0; });
  }
  // A connection whose tcpConnected callback is held until the gate is set.
  void connectHeld(uint64_t id) {
    holdConnected();
    const int before = held;
    deliver(simdrv::Batch().tcpConnected(id, gameTcp()));
    ASSERT_TRUE(lumotest::waitFor([&] { return held > before; }));
  }
  // A UDP flow that the handler has seen.
  void createUdp(uint64_t id) {
    deliver(simdrv::Batch().udpCreated(id, simdrv::udpInfo(kGamePid, kLocal)));
    ASSERT_TRUE(lumotest::waitFor([&] { return !handler.calls(id).empty(); }));
  }
  // Records of one type and id that the driver refused so far.
  size_t refusedCount(uint32_t type, uint64_t id) {
    size_t n = 0;
    for (const auto& r : sim.refused()) n += r.type == type && r.id == id;
    return n;
  }
  // The n-th verdict the library wrote for a TCP connect request.
  TcpConnInfo tcpVerdict(uint64_t id, size_t n = 0) {
    TcpConnInfo verdict{};
    const auto written = sim.written(kTcpConnectRequest, id);
    EXPECT_GT(written.size(), n);
    if (written.size() <= n) return verdict;
    EXPECT_EQ(written[n].payload.size(), sizeof verdict);
    std::memcpy(&verdict, written[n].payload.data(), std::min(written[n].payload.size(), sizeof verdict));
    return verdict;
  }
  std::vector<size_t> sizes(uint64_t id, const std::string& what) const {
    std::vector<size_t> out;
    for (const auto& c : handler.calls(id))
      if (c.what == what) out.push_back(c.data.size());
    return out;
  }
};

// Stream chunks of one connection in one batch are merged up to 131072 bytes;
// pings of one id in one batch get one answer.
TEST_F(Dispatch, RecordsOfOneBatchAreCoalescedWithinTheirLimits) {
  struct Row {
    std::vector<size_t> records;
    std::vector<size_t> delivered;
  } rows[] = {
      {{100000, 100000, 100000}, {100000, 100000, 100000}},
      {{60000, 60000, 60000}, {120000, 60000}},
      {{131072, 1}, {131072, 1}},
      {{70000, 0, 5}, {70000, 0, 5}},  // an end of stream is never merged
  };
  uint64_t id = 100;
  for (const Row& row : rows) {
    ++id;
    SCOPED_TRACE(id);
    connect(id);
    simdrv::Batch b;
    std::string all;
    for (size_t n : row.records) {
      const std::string part(n, static_cast<char>('a' + all.size() % 26));
      b.tcpSend(id, part);
      all += part;
    }
    deliver(b);
    ASSERT_TRUE(lumotest::waitFor([&] { return sizes(id, "tcpSend").size() == row.delivered.size(); }));
    EXPECT_EQ(sizes(id, "tcpSend"), row.delivered);
    EXPECT_EQ(handler.stream(id, "tcpSend"), all);
  }

  deliver(simdrv::Batch().ping(70).ping(70).ping(71));
  ASSERT_TRUE(lumotest::waitFor([&] { return sim.writtenCount(kDriverPing) == 2; }));
  EXPECT_EQ(sim.written(kDriverPing, 70).size(), 1u);
  EXPECT_EQ(sim.written(kDriverPing, 71).size(), 1u);
}

// A refused verdict (no room in the driver) is put back, whatever it says, and
// the next maintenance run writes it: nothing is closed before it went out.
TEST_F(Dispatch, VerdictBitsDecideWhatHappensToTheRequest) {
  struct Row {
    uint32_t flag;
    bool refused;
    bool closed;
    bool kept;
  } rows[] = {
      {0x02, false, false, true}, {0x00, false, false, false}, {0x03, false, true, false},
      {0x02, true, false, true},  {0x00, true, false, false},  {0x03, true, true, false},
      {0x42, false, false, true},  // decided later: see below
  };
  uint64_t id = 10;
  const platform::SocketAddress28 relay = simdrv::ipv4("127.0.0.1", 50888);
  handler.onTcpConnectRequest = [&](uint64_t requestId, TcpConnInfo* info) {
    info->filteringFlag = rows[requestId - 11].flag;
    info->remoteAddress = relay;
  };
  std::vector<uint64_t> closed;
  for (const Row& row : rows) {
    ++id;
    SCOPED_TRACE(testing::Message() << row.flag << (row.refused ? " refused" : ""));
    if (row.refused) sim.setWriteMode(simdrv::WriteMode::NoRoom);
    deliver(simdrv::Batch().tcpConnectRequest(id, gameTcp(row.refused ? kRuleReportConnect : 0)));
    ASSERT_TRUE(lumotest::waitFor([&] { return handler.calls(id).size() == 1; }));
    if (row.refused) {
      ASSERT_TRUE(lumotest::waitFor([&] { return refusedCount(kTcpConnectRequest, id) > 0; }));
      ASSERT_TRUE(waitForIdleQueues());
      sim.setWriteMode(simdrv::WriteMode::Accept);
      EXPECT_EQ(sim.closedConnections(), closed) << "not closed before the verdict went out";
      advance(kMaintenanceMs);
    }
    if (row.flag != 0x42) {
      ASSERT_TRUE(waitWritten(kTcpConnectRequest, id, 1));
      const TcpConnInfo sent = tcpVerdict(id);
      EXPECT_EQ(+sent.filteringFlag, row.flag);
      EXPECT_EQ(sent.remoteAddress, relay);
    }
    if (row.closed) closed.push_back(id);
    EXPECT_TRUE(lumotest::waitFor([&] { return sim.closedConnections() == closed; }));
    TcpConnInfo info{};
    EXPECT_TRUE(lumotest::waitFor([&] { return (tcpGetConnInfo(id, &info) == kOk) == row.kept; }));
  }
  // The request left undecided (0x42) has no verdict while 20 seconds have
  // not passed, but gets one, as the handler left it, at the latest
  // maintenance after that.
  EXPECT_TRUE(sim.written(kTcpConnectRequest, 17).empty());
  advance(19999);
  EXPECT_TRUE(sim.written(kTcpConnectRequest, 17).empty());
  advance(10001);
  ASSERT_EQ(sim.written(kTcpConnectRequest, 17).size(), 1u);
  EXPECT_EQ(+tcpVerdict(17).filteringFlag, 0x42u);
  advance(30000);
  for (uint64_t each = 11; each <= 17; ++each)
    EXPECT_EQ(sim.written(kTcpConnectRequest, each).size(), 1u) << each << ": answered once only";
}

TEST_F(Dispatch, InjectedStreamIsSplitAtTheChunkLimitAndARefusedChunkWaits) {
  connect(3);
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  ASSERT_EQ(tcpInjectReceive(3, data.data(), static_cast<int>(data.size())), kOk);
  ASSERT_TRUE(lumotest::waitFor([&] { return sim.stream(3, kTcpReceive).size() == data.size(); }));
  EXPECT_EQ(writtenSizes(kTcpReceive, 3), (std::vector<size_t>{131072, 131072, 37856}));
  EXPECT_EQ(sim.stream(3, kTcpReceive), data);
  EXPECT_EQ(tcpInjectReceive(999, "x", 1), kUnknownConnection);

  connect(4);
  sim.setWriteMode(simdrv::WriteMode::NoRoom);
  ASSERT_EQ(tcpInjectSend(4, "hello", 5), kOk);
  ASSERT_TRUE(lumotest::waitFor([&] { return !sim.refused().empty(); }));
  EXPECT_EQ(sim.refused()[0].type, kTcpSend);
  sim.setWriteMode(simdrv::WriteMode::Accept);
  // The refused chunk stayed queued and goes out with the next injection.
  ASSERT_EQ(tcpInjectSend(4, " world", 6), kOk);
  ASSERT_TRUE(lumotest::waitFor([&] { return sim.stream(4, kTcpSend) == "hello world"; }));
  deliver(simdrv::Batch().tcpCanSend(4));
  ASSERT_TRUE(handler.waitCount("tcpCanSend", 1));
}

// A suspend the driver had no room for is tried again on the next record.
TEST_F(Dispatch, SuspendsAtTheThresholdAndResumesWhenDrained) {
  connectHeld(5);
  deliver(simdrv::Batch().tcpSend(5, std::string(131072, 's')));
  EXPECT_EQ(sim.written(kTcpSuspend, 5).size(), 0u);  // 131072 bytes: below 262144
  sim.setWriteMode(simdrv::WriteMode::NoRoom);
  deliver(simdrv::Batch().tcpSend(5, std::string(131072, 't')));
  EXPECT_EQ(sim.written(kTcpSuspend, 5).size(), 0u);
  sim.setWriteMode(simdrv::WriteMode::Accept);
  deliver(simdrv::Batch().tcpSend(5, "u"));
  EXPECT_EQ(sim.written(kTcpSuspend, 5).size(), 1u);
  deliver(simdrv::Batch().tcpSend(5, "v"));
  EXPECT_EQ(sim.written(kTcpSuspend, 5).size(), 1u);  // told once only
  EXPECT_EQ(sim.written(kTcpResume, 5).size(), 0u);

  gate.set();
  ASSERT_TRUE(waitWritten(kTcpResume, 5, 1));
  EXPECT_EQ(handler.stream(5, "tcpSend").size(), 262146u);
  const auto all = sim.written();
  const auto at = [&](uint32_t type) {
    return std::find_if(all.begin(), all.end(), [&](const simdrv::Record& r) { return r.type == type; });
  };
  EXPECT_LT(at(kTcpSuspend), at(kTcpResume));

  // A suspended connection gets no new data, so nothing but the maintenance
  // can try a resume again that the driver refused.
  connectHeld(610);
  deliver(simdrv::Batch().tcpSend(610, std::string(262144, 's')));
  ASSERT_EQ(sim.written(kTcpSuspend, 610).size(), 1u);
  sim.setWriteMode(simdrv::WriteMode::NoRoom);
  gate.set();
  // Both jobs of the connection (the held one and the one for the data)
  // end with the resume rule, and the driver refuses both resumes.
  ASSERT_TRUE(lumotest::waitFor([&] { return refusedCount(kTcpResume, 610) == 2; }));
  EXPECT_EQ(handler.stream(610, "tcpSend").size(), 262144u);
  ASSERT_TRUE(waitForIdleQueues());
  sim.setWriteMode(simdrv::WriteMode::Accept);
  deliver(simdrv::Batch{});
  EXPECT_TRUE(sim.written(kTcpResume, 610).empty());
  advance(kMaintenanceMs);
  EXPECT_EQ(sim.written(kTcpResume, 610).size(), 1u);
}

// Datagrams the driver has no room for pile up; the next datagram record
// from the driver suspends the flow, and a drained queue resumes it.
TEST_F(Dispatch, UdpFlowIsSuspendedWhileDatagramsPileUp) {
  createUdp(45);
  sim.setWriteMode(simdrv::WriteMode::NoRoom);
  const std::string datagram(131072, 'g');
  for (int i = 0; i < 8; ++i)
    ASSERT_EQ(
        udpInjectSend(45, kRemote.bytes.data(), datagram.data(), static_cast<int>(datagram.size()), nullptr),
        kOk);
  // The writer is one thread taking connections in order: once a ping queued
  // behind the injections has met "no room" too, they have all been tried.
  deliver(simdrv::Batch().ping(9998));
  ASSERT_TRUE(lumotest::waitFor([&] { return refusedCount(kDriverPing, 9998) > 0; }));
  sim.setWriteMode(simdrv::WriteMode::Accept);
  EXPECT_TRUE(sim.written(kUdpSend, 45).empty());

  deliver(simdrv::Batch().udpSend(45, kRemote, "query"));
  EXPECT_EQ(sim.written(kUdpSuspend, 45).size(), 1u);
  EXPECT_TRUE(sim.written(kUdpResume, 45).empty());

  deliver(simdrv::Batch().udpCanSend(45));
  ASSERT_TRUE(waitWritten(kUdpResume, 45, 1));
  // The writer takes the queued datagrams after the resume, one write each.
  EXPECT_TRUE(waitWritten(kUdpSend, 45, 8)) << sim.written(kUdpSend, 45).size() << " of 8 written";
  ASSERT_TRUE(handler.waitCount("udpCanSend", 1));

  // A 100-byte datagram still takes a 4096-byte node: the flow is suspended by
  // what its queue takes from the heap, long before 8 MiB of payload.
  handler.onUdpConnectRequest = [&](uint64_t, UdpConnectRequest*) {
    ++held;
    gate.wait();
  };
  deliver(simdrv::Batch().udpConnectRequest(620, kUdpRequest));
  ASSERT_TRUE(lumotest::waitFor([&] { return held > 0; }));  // the flow's job is busy: datagrams pile up
  // 2100 datagrams of 100 bytes: 285 KB of payload, 8.6 MB of nodes.
  const std::string small(100, 'd');
  for (int batch = 0; batch < 3; ++batch) {
    simdrv::Batch datagrams;
    for (int i = 0; i < 700; ++i) datagrams.udpSend(620, kRemote, small);
    deliver(datagrams);
  }
  EXPECT_EQ(sim.written(kUdpSuspend, 620).size(), 1u);
  gate.set();
  ASSERT_TRUE(waitWritten(kUdpResume, 620, 1));
  EXPECT_EQ(sizes(620, "udpSend").size(), 2100u);
}

// A connection idle 60 seconds after an injected end of stream is closed; one
// the driver asked to close when idle gets its end of stream after 20.
TEST_F(Dispatch, IdleConnectionsAreEndedByTheMaintenance) {
  connect(8);
  ASSERT_EQ(tcpInjectReceive(8, nullptr, 0), kOk);
  ASSERT_TRUE(waitWritten(kTcpReceive, 8, 1));
  EXPECT_TRUE(sim.written(kTcpReceive, 8)[0].payload.empty());
  // Data injected after the end of the stream is dropped. (The writer is one
  // thread taking connections in order: a ping of another id behind the
  // injection tells when it has been handled.)
  ASSERT_EQ(tcpInjectReceive(8, "late", 4), kOk);
  deliver(simdrv::Batch().ping(9999));
  ASSERT_TRUE(waitWritten(kDriverPing, 9999, 1));
  EXPECT_EQ(sim.written(kTcpReceive, 8).size(), 1u);
  advance(30000);
  EXPECT_TRUE(sim.closedConnections().empty());
  advance(30001);
  EXPECT_EQ(sim.closedConnections(), (std::vector<uint64_t>{8}));
  ASSERT_TRUE(waitWritten(kTcpSend, 8, 1));
  EXPECT_TRUE(sim.written(kTcpSend, 8)[0].payload.empty());  // end of stream towards the network
  EXPECT_EQ(sim.written(kTcpReceive, 8).size(), 1u);
  advance(60001);
  EXPECT_EQ(sim.closedConnections().size(), 1u);  // closed once

  connect(9);
  deliver(simdrv::Batch().tcpCloseWhenIdle(9));
  advance(10000);
  EXPECT_TRUE(sim.written(kTcpReceive, 9).empty());
  advance(10001);
  ASSERT_TRUE(waitWritten(kTcpReceive, 9, 1));
  EXPECT_TRUE(sim.written(kTcpReceive, 9)[0].payload.empty());
}

TEST_F(Dispatch, FilteringOffSendsDataBackToTheDriver) {
  connect(30);
  ASSERT_EQ(tcpDisableFiltering(30), kOk);
  deliver(simdrv::Batch().tcpReceive(30, "to app").tcpSend(30, "to net"));
  ASSERT_TRUE(lumotest::waitFor([&] { return sim.stream(30, kTcpSend) == "to net"; }));
  ASSERT_TRUE(lumotest::waitFor([&] { return sim.stream(30, kTcpReceive) == "to app"; }));
  EXPECT_TRUE(handler.stream(30, "tcpReceive").empty());
  EXPECT_EQ(tcpDisableFiltering(31), kUnknownConnection);
  // 0x08 keeps a connection filtered.
  connect(32, kRuleFilter | 0x08);
  ASSERT_EQ(tcpDisableFiltering(32), kOk);
  deliver(simdrv::Batch().tcpReceive(32, "kept"));
  ASSERT_TRUE(lumotest::waitFor([&] { return handler.stream(32, "tcpReceive") == "kept"; }));

  // A flow's datagrams go back the way each came.
  createUdp(34);
  ASSERT_EQ(udpDisableFiltering(34), kOk);
  deliver(simdrv::Batch().udpReceive(34, kPeer, "to app").udpSend(34, kPeer, "to net"));
  ASSERT_TRUE(waitWritten(kUdpSend, 34, 1));
  ASSERT_TRUE(waitWritten(kUdpReceive, 34, 1));
  EXPECT_EQ(sim.written(kUdpSend, 34)[0].text().substr(36), "to net");
  EXPECT_EQ(sim.written(kUdpReceive, 34)[0].text().substr(36), "to app");
  for (const Callback& c : handler.calls(34))
    EXPECT_TRUE(c.what != "udpReceive" && c.what != "udpSend") << c.what << " reached the handler";

  // The verdict being made decides whether tcpDisableFiltering takes effect,
  // not the flags the driver reported with the request.
  struct Row {
    uint32_t verdict;
    bool passed;
  } rows[] = {{kVerdictFiltered, true}, {kVerdictFiltered | kVerdictKeepFiltering, false}};
  uint64_t id = 660;
  handler.onTcpConnectRequest = [&](uint64_t requestId, TcpConnInfo* info) {
    EXPECT_EQ(tcpDisableFiltering(requestId), kOk);
    info->filteringFlag = rows[requestId - 661].verdict;
  };
  for (const Row& row : rows) {
    ++id;
    SCOPED_TRACE(row.verdict);
    deliver(simdrv::Batch().tcpConnectRequest(id, gameTcp(kRuleReportConnect)));
    ASSERT_TRUE(waitWritten(kTcpConnectRequest, id, 1));
    deliver(simdrv::Batch().tcpConnected(id, gameTcp(row.verdict)).tcpReceive(id, "reply"));
    if (row.passed) {
      ASSERT_TRUE(lumotest::waitFor([&] { return sim.stream(id, kTcpReceive) == "reply"; }));
      EXPECT_TRUE(handler.stream(id, "tcpReceive").empty());
    } else {
      ASSERT_TRUE(lumotest::waitFor([&] { return handler.stream(id, "tcpReceive") == "reply"; }));
      EXPECT_TRUE(sim.written(kTcpReceive, id).empty());
    }
  }
}

// Datagrams injected from several threads race the writer thread (which
// answers the driver's requests and makes the "can" callbacks) and the
// event workers (which deliver the driver's own datagrams): every injected
// datagram towards the network is written once and in order, every one
// towards the application is written at most once and in order or counted
// as dropped, and no two callbacks of one flow overlap.
TEST_F(Dispatch, InjectionsRacingTheWriterKeepEachFlowsOrder) {
  constexpr uint64_t kFirst = 500;
  constexpr int kFlows = 4;
  constexpr int kCount = 150;
  simdrv::Batch open;
  for (int f = 0; f < kFlows; ++f) open.udpCreated(kFirst + f, simdrv::udpInfo(kGamePid, kLocal));
  deliver(open);
  ASSERT_TRUE(handler.waitCount("udpCreated", kFlows));
  const uint64_t droppedBefore = droppedInboundDatagrams();

  std::atomic<int> injectorsDone{0};
  std::vector<std::thread> injectors;
  for (int f = 0; f < kFlows; ++f) {
    injectors.emplace_back([&, id = kFirst + f] {
      for (int n = 0; n < kCount; ++n) {
        const std::string text = std::to_string(n);
        EXPECT_EQ(udpInjectSend(id, kPeer.bytes.data(), text.data(), static_cast<int>(text.size()), nullptr),
                  kOk);
        EXPECT_EQ(
            udpInjectReceive(id, kPeer.bytes.data(), text.data(), static_cast<int>(text.size()), nullptr),
            kOk);
      }
      injectorsDone.fetch_add(1);
    });
  }
  // The driver asks for more in both directions and sends datagrams of its
  // own meanwhile, until everything injected is written or dropped.
  auto settled = [&] {
    if (injectorsDone.load() != kFlows) return false;
    size_t received = 0;
    for (int f = 0; f < kFlows; ++f) {
      if (sim.written(kUdpSend, kFirst + f).size() != static_cast<size_t>(kCount)) return false;
      received += sim.written(kUdpReceive, kFirst + f).size();
    }
    return received + (droppedInboundDatagrams() - droppedBefore) == static_cast<size_t>(kFlows) * kCount;
  };
  std::map<uint64_t, std::string> ownSent;
  for (int round = 0; round < 5000 && !settled(); ++round) {
    simdrv::Batch b;
    for (int f = 0; f < kFlows; ++f) {
      const std::string own = "d" + std::to_string(round) + ";";
      b.udpSend(kFirst + f, kPeer, own).udpCanReceive(kFirst + f).udpCanSend(kFirst + f);
      ownSent[kFirst + f] += own;
    }
    deliver(b);
  }
  for (std::thread& t : injectors) t.join();
  ASSERT_TRUE(settled());
  ASSERT_TRUE(waitForIdleQueues());

  for (int f = 0; f < kFlows; ++f) {
    const uint64_t id = kFirst + f;
    const auto sent = sim.written(kUdpSend, id);
    for (int n = 0; n < kCount; ++n) EXPECT_EQ(sent[n].text().substr(36), std::to_string(n)) << id;
    int last = -1;
    for (const auto& r : sim.written(kUdpReceive, id)) {
      const int n = std::stoi(r.text().substr(36));
      EXPECT_GT(n, last) << id;
      last = n;
    }
    EXPECT_EQ(last, kCount - 1) << id;  // the newest is never the one dropped
    EXPECT_EQ(handler.stream(id, "udpSend"), ownSent[id]) << id;
  }
  EXPECT_EQ(handler.overlaps, 0);
}

// UDP records reach the handler: the newer driver kind's options carry the
// flow's local address at offset 32, the handler gets the options and the
// flow's entry the new address.
TEST_F(Dispatch, UdpRecordsReachTheHandlerAndInjectedDatagramsTheDriver) {
  const platform::SocketAddress28 peer = simdrv::ipv4("203.0.113.9", 53);
  const platform::SocketAddress28 newLocal = simdrv::ipv4("127.0.0.1", 41234);
  std::string newerOptions(60, '\0');
  std::memcpy(&newerOptions[32], newLocal.bytes.data(), newLocal.bytes.size());
  deliver(simdrv::Batch()
              .udpCreated(50, simdrv::udpInfo(kGamePid, kLocal))
              .udpReceive(50, peer, "answer", newerOptions, 5)
              .udpSend(50, peer, "query"));
  ASSERT_TRUE(handler.waitCount("udpSend", 1));
  UdpConnInfo info{};
  ASSERT_EQ(udpGetConnInfo(50, &info), kOk);
  EXPECT_EQ(info.localAddress, newLocal);
  EXPECT_EQ(udpGetConnInfo(50, nullptr), kFailed);
  deliver(simdrv::Batch().udpClosed(50));
  ASSERT_TRUE(handler.waitCount("udpClosed", 1));
  EXPECT_EQ(sequence(50), (std::vector<std::string>{"udpCreated", "udpReceive", "udpSend", "udpClosed"}));
  EXPECT_EQ(handler.calls(50)[1].data, "answer|port=53|opt=60/5");
  EXPECT_EQ(handler.calls(50)[2].data, "query");

  handler.onUdpConnectRequest = [](uint64_t, UdpConnectRequest* r) { r->filteringFlag |= 0x100; };
  deliver(simdrv::Batch().udpConnectRequest(60, kUdpRequest));
  ASSERT_TRUE(waitWritten(kUdpConnectRequest, 60, 1));
  UdpConnectRequest verdict;
  std::memcpy(&verdict, sim.written(kUdpConnectRequest, 60)[0].payload.data(), sizeof verdict);
  EXPECT_EQ(+verdict.filteringFlag, 0x100u);
  EXPECT_EQ(udpDisableFiltering(60), kOk);
  EXPECT_EQ(udpDisableFiltering(60), kOk);
  EXPECT_EQ(sim.written(kUdpFilteringOff, 60).size(), 1u);
  EXPECT_EQ(udpDisableFiltering(61), kUnknownConnection);

  // Datagrams towards an application wait for the driver to ask for each.
  createUdp(40);
  ASSERT_EQ(udpInjectReceive(40, kPeer.bytes.data(), "first", 5, nullptr), kOk);
  ASSERT_EQ(udpInjectReceive(40, kPeer.bytes.data(), "second", 6, nullptr), kOk);
  ASSERT_TRUE(waitWritten(kUdpReceive, 40, 1));
  ASSERT_TRUE(sim.waitForRead());
  EXPECT_EQ(sim.written(kUdpReceive, 40).size(), 1u);
  const auto first = sim.written(kUdpReceive, 40)[0];
  ASSERT_EQ(first.payload.size(), 36u + 5u);
  EXPECT_EQ(std::memcmp(first.payload.data(), kPeer.bytes.data(), 16), 0);
  EXPECT_EQ(first.text().substr(36), "first");

  deliver(simdrv::Batch().udpCanReceive(40));
  ASSERT_TRUE(waitWritten(kUdpReceive, 40, 2));
  EXPECT_EQ(sim.written(kUdpReceive, 40)[1].text().substr(36), "second");

  const std::string big(131073, 'b');
  EXPECT_EQ(udpInjectReceive(40, kPeer.bytes.data(), big.data(), static_cast<int>(big.size()), nullptr),
            kFailed);
  EXPECT_EQ(udpInjectSend(40, nullptr, "x", 1, nullptr), kFailed);
  EXPECT_EQ(udpInjectSend(41, kPeer.bytes.data(), "x", 1, nullptr), kUnknownConnection);
  // Datagrams towards the network all go at once, with their options.
  unsigned char raw[sizeof(UdpOptions) + 3] = {};
  auto* options = reinterpret_cast<UdpOptions*>(raw);
  options->flags = 9;
  options->optionsLength = 4;
  std::memcpy(options->data, "opts", 4);
  ASSERT_EQ(udpInjectSend(40, kPeer.bytes.data(), "a", 1, options), kOk);
  ASSERT_EQ(udpInjectSend(40, kPeer.bytes.data(), big.data(), 131072, nullptr), kOk);
  ASSERT_TRUE(waitWritten(kUdpSend, 40, 2));
  EXPECT_EQ(sim.written(kUdpSend, 40)[0].text().substr(28), std::string("\x09\0\0\0\x04\0\0\0optsa", 13));
  EXPECT_EQ(sim.written(kUdpReceive, 40).size(), 2u);

  // Past 128 replies waiting for the driver the oldest is dropped and counted.
  const uint64_t droppedBefore = droppedInboundDatagrams();
  for (int n = 0; n < 200; ++n) {
    const std::string text = "reply" + std::to_string(n);
    ASSERT_EQ(udpInjectReceive(40, kPeer.bytes.data(), text.data(), static_cast<int>(text.size()), nullptr),
              kOk);
  }
  EXPECT_EQ(droppedInboundDatagrams() - droppedBefore, 72u);
  deliver(simdrv::Batch().udpCanReceive(40));
  ASSERT_TRUE(waitWritten(kUdpReceive, 40, 3));
  EXPECT_EQ(sim.written(kUdpReceive, 40)[2].text().substr(36), "reply72");
}

// Batches the driver got wrong: the walk stops or skips, never reads past
// the count or a record's end, and what came before still arrives.
TEST_F(Dispatch, MalformedBatchesAreSkippedSafely) {
  const TcpConnInfo info = simdrv::tcpInfo(kGamePid, kLocal, kRemote);
  uint64_t id = 200;
  struct Row {
    const char* name;
    std::function<void(simdrv::Batch&, uint64_t)> bad;  // appended after a good record
    int64_t countDelta;                                 // reported count minus batch size
    const char* delivered;                              // what the handler gets
  };
  const Row rows[] = {
      {"record running past the batch",
       [](auto& b, auto i) {
         RecordHeader h{kTcpReceive, i, 100};
         b.rawBytes(&h, sizeof h).rawBytes("only ten..", 10);
       },
       0, "good"},
      {"count cuts the last record", [](auto& b, auto i) { b.tcpReceive(i, "whole"); }, -2, "goodwhole"},
      {"header fragment", [](auto& b, auto) { b.rawBytes("\x02\0\0\0\0\0", 6); }, 0, "good"},
      {"unknown codes",
       [](auto& b, auto i) { b.record(21, i).record(26, i, "zz", 2).record(30, i).record(99, i); }, 0,
       "goodafter"},
      {"short connection description", [](auto& b, auto i) { b.record(kTcpConnected, i + 1000, "short", 5); },
       0, "goodafter"},
      {"datagram options longer than the record",
       [](auto& b, auto i) {
         std::string p(40, '\0');
         const uint32_t length = 1000;
         std::memcpy(&p[32], &length, 4);
         b.record(kUdpReceive, i, p.data(), p.size());
       },
       0, "goodafter"},
      {"short raw IP record", [](auto& b, auto) { b.record(kIpReceive, 0, "tiny", 4); }, 0, "goodafter"},
      {"short UDP descriptions",
       [](auto& b, auto i) {
         b.record(kUdpCreated, i + 1000, "x", 1).record(kUdpConnectRequest, i + 1000, "y", 1);
       },
       0, "goodafter"},
  };
  for (const Row& row : rows) {
    ++id;
    SCOPED_TRACE(row.name);
    simdrv::Batch b;
    b.tcpConnected(id, info).tcpReceive(id, "good");
    row.bad(b, id);
    b.tcpReceive(id, "after");
    ASSERT_TRUE(sim.deliverWithCount(b, b.size() + row.countDelta));
    ASSERT_TRUE(sim.waitForRead());
    const std::string expected = row.delivered;
    ASSERT_TRUE(lumotest::waitFor([&] { return handler.stream(id, "tcpReceive") == expected; }));
    TcpConnInfo none{};
    EXPECT_EQ(tcpGetConnInfo(id + 1000, &none), kUnknownConnection);
    EXPECT_EQ(udpGetConnInfo(id + 1000, nullptr), kFailed);
  }
  EXPECT_EQ(handler.count("udpReceive"), 0u);
  EXPECT_EQ(handler.count("udpCreated"), 0u);
  EXPECT_TRUE(sim.written(kIpReceive).empty());

  // A count beyond the inbound buffer is cut to the buffer: the zeros behind
  // the batch are empty type-0 records, all too short to be used.
  simdrv::Batch tail;
  tail.tcpConnected(300, info).tcpReceive(300, "still here");
  ASSERT_TRUE(sim.deliverWithCount(tail, uint64_t{1} << 40));
  ASSERT_TRUE(sim.waitForRead());
  ASSERT_TRUE(lumotest::waitFor([&] { return handler.stream(300, "tcpReceive") == "still here"; }));
}

TEST_F(Dispatch, ManyConnectionsInParallelKeepPerConnectionOrder) {
  constexpr int kConnections = 48;
  constexpr int kBatches = 6;
  std::map<uint64_t, std::string> expected;
  simdrv::Batch open;
  for (int c = 0; c < kConnections; ++c) open.tcpConnected(1000 + c, gameTcp());
  deliver(open);
  for (int round = 0; round < kBatches; ++round) {
    simdrv::Batch b;
    for (int c = 0; c < kConnections; ++c) {
      for (int r = 0; r < 3; ++r) {
        const std::string part =
            std::to_string(c) + ":" + std::to_string(round) + ":" + std::to_string(r) + ";";
        b.tcpReceive(1000 + c, part);
        expected[1000 + c] += part;
      }
    }
    ASSERT_TRUE(sim.deliver(b));
  }
  simdrv::Batch close;
  for (int c = 0; c < kConnections; ++c) close.tcpClosed(1000 + c);
  deliver(close);
  ASSERT_TRUE(handler.waitCount("tcpClosed", kConnections));
  for (const auto& [id, data] : expected) {
    EXPECT_EQ(handler.stream(id, "tcpReceive"), data) << id;
    const auto seq = sequence(id);
    ASSERT_FALSE(seq.empty());
    EXPECT_EQ(seq.front(), "tcpConnected");
    EXPECT_EQ(seq.back(), "tcpClosed");
  }
  EXPECT_EQ(handler.overlaps, 0);
  // A closed connection is gone once the writer's follow-up job ran.
  TcpConnInfo info{};
  EXPECT_TRUE(lumotest::waitFor([&] { return tcpGetConnInfo(1000, &info) == kUnknownConnection; }));
}

TEST_F(Dispatch, FreeDriverReleasesQueuedData) {
  holdConnected();
  deliver(simdrv::Batch().tcpConnected(80, gameTcp()).udpCreated(81, simdrv::udpInfo(kGamePid, kLocal)));
  ASSERT_TRUE(lumotest::waitFor([&] { return held > 0; }));
  deliver(simdrv::Batch().tcpReceive(80, std::string(50000, 'q')).udpReceive(81, kRemote, "dgram"));
  sim.setWriteMode(simdrv::WriteMode::NoRoom);
  ASSERT_EQ(tcpInjectSend(80, "queued", 6), kOk);
  ASSERT_EQ(udpInjectSend(81, kRemote.bytes.data(), "queued", 6, nullptr), kOk);
  gate.set();
  freeDriver();  // the sanitizer builds check that nothing is left behind
  TcpConnInfo info{};
  EXPECT_EQ(tcpGetConnInfo(80, &info), kNotInitialised);
}

// The driver may give a closed connection's id to the next one at once: in
// the batch that closes the old one, or while the old one's entry still
// waits for the writer to delete it. The new connection is neither lost nor
// closed with the old one. A connected record after a forgotten request
// starts a fresh entry too.
TEST_F(Dispatch, ForgottenOrClosedIdsStartANewConnection) {
  connect(640);
  deliver(simdrv::Batch().tcpClosed(640).tcpConnectRequest(640, gameTcp()));
  ASSERT_TRUE(waitWritten(kTcpConnectRequest, 640, 1));
  EXPECT_EQ(sequence(640), (std::vector<std::string>{"tcpConnected", "tcpClosed", "tcpConnectRequest"}));

  // The writer is held on another connection's injection, so the old
  // entry's deletion waits behind it.
  connect(641);
  connect(642);
  sim.setWriteMode(simdrv::WriteMode::Hold);
  ASSERT_EQ(tcpInjectSend(642, "x", 1), kOk);
  ASSERT_TRUE(lumotest::waitFor([&] { return sim.heldWrites() == 1; }));
  deliver(simdrv::Batch().tcpClosed(641));
  ASSERT_TRUE(handler.waitCount("tcpClosed", 2));
  deliver(simdrv::Batch().tcpConnectRequest(641, gameTcp()));
  ASSERT_TRUE(lumotest::waitFor([&] { return sequence(641).size() == 3; }));
  sim.setWriteMode(simdrv::WriteMode::Accept);
  sim.releaseHeldWrites();
  ASSERT_TRUE(waitWritten(kTcpConnectRequest, 641, 1));
  deliver(simdrv::Batch().ping(9997));  // behind the old entry's deletion in the writer's queue
  ASSERT_TRUE(waitWritten(kDriverPing, 9997, 1));
  EXPECT_EQ(sequence(641), (std::vector<std::string>{"tcpConnected", "tcpClosed", "tcpConnectRequest"}));
  TcpConnInfo info{};
  EXPECT_EQ(tcpGetConnInfo(640, &info), kOk);
  EXPECT_EQ(tcpGetConnInfo(641, &info), kOk);

  deliver(simdrv::Batch().tcpConnectRequest(20, gameTcp(0)));
  ASSERT_TRUE(waitWritten(kTcpConnectRequest, 20, 1));
  ASSERT_TRUE(lumotest::waitFor([&] { return tcpGetConnInfo(20, &info) == kUnknownConnection; }));
  const platform::SocketAddress28 local = simdrv::ipv4("127.0.0.1", 40999);
  sim.setLocalAddress(20, local);
  connect(20);
  ASSERT_EQ(tcpGetConnInfo(20, &info), kOk);
  // The library asked the driver for the connection's local address.
  EXPECT_EQ(info.localAddress, local);
}

// Deciding later holds back only the verdict: a close or datagrams that
// came for the same connection in the meantime are still delivered.
TEST_F(Dispatch, DecideLaterKeepsTheRestOfTheJob) {
  // The first request of each connection is held, so the records after it
  // coalesce into one job with the second request.
  std::atomic<int> tcpRequests{0};
  std::atomic<int> udpRequests{0};
  handler.onTcpConnectRequest = [&](uint64_t, TcpConnInfo* info) {
    if (tcpRequests++ == 0) {
      gate.wait();
      info->filteringFlag = kVerdictFiltered;
      return;
    }
    info->filteringFlag = kVerdictDecideLater | kVerdictFiltered;
  };
  handler.onUdpConnectRequest = [&](uint64_t, UdpConnectRequest* request) {
    if (udpRequests++ == 0)
      gate.wait();
    else
      request->filteringFlag = kVerdictDecideLater;
  };
  deliver(simdrv::Batch()
              .tcpConnectRequest(650, gameTcp(kRuleReportConnect))
              .udpConnectRequest(651, kUdpRequest));
  ASSERT_TRUE(lumotest::waitFor([&] { return tcpRequests.load() == 1 && udpRequests.load() == 1; }));
  simdrv::Batch rest;
  rest.tcpConnectRequest(650, gameTcp(kRuleReportConnect)).tcpClosed(650);
  rest.udpConnectRequest(651, kUdpRequest).udpSend(651, kRemote, "dgram").udpClosed(651);
  deliver(rest);
  gate.set();
  ASSERT_TRUE(handler.waitCount("tcpClosed", 1));
  ASSERT_TRUE(handler.waitCount("udpClosed", 1));
  EXPECT_EQ(handler.stream(651, "udpSend"), "dgram");
  EXPECT_EQ(sim.written(kUdpConnectRequest, 651).size(), 1u);  // the first request's only
}

}  // namespace
}  // namespace drvtest
