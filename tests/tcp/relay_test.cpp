// The relay on its own: its listener's port choice and backlog, the
// handshake's deadlines, the stop, the copying (half-close, blur, game
// pings) and the game-ping watches on a real loopback connection.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include "support/program.h"
#endif

#include "collector/data_collector.h"
#include "loopback_peers.h"
#include "platform/net.h"
#include "platform/owned_socket.h"
#include "tcp/blur.h"
#include "tcp/ping_responder.h"
#include "tcp/relay.h"

using lumotest::closedByPeer;
using lumotest::EchoServer;
using lumotest::loopback;
using lumotest::roundTripText;
using lumotest::ScriptedNode;
using platform::SocketAddress;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint16_t kIpv4 = platform::kFamilyIpv4;

platform::Socket listenOn(uint16_t port, int backlog = 1) {
  platform::Socket s = platform::openSocket(kIpv4, platform::SocketType::Stream);
  // As the relay's own listener: a port whose earlier connections linger in
  // TIME_WAIT is free, one that another socket listens on is not.
  platform::setListenerAddressReuse(s);
  if (!platform::bindSocket(s, loopback(port)) || !platform::listenSocket(s, backlog)) {
    platform::closeSocket(s);
    return platform::kInvalidSocket;
  }
  return s;
}

uint16_t portOf(platform::Socket s) {
  SocketAddress bound;
  platform::localAddressOf(s, bound);
  return platform::netToHost16(bound.port());
}

// A relay (with its IPv4 listener and accept loop unless `listen` is false),
// a node on 127.0.0.1:nodePort (user "u", password "p") and a collector that
// keeps the begin messages.
struct RelayRig {
  // Its counts are read once the collector has stopped (its thread joined).
  struct Recorder : collector::DataCollectorEvent {
    void onCollectorEvent(const collector::DCEvent& r) override {
      if (r.type == collector::kTcpProxyFlowUp || r.type == collector::kTcpProxyFlowDown) {
        ++flows;
        proxiedFlows += static_cast<const collector::DCTcpProxyFlowUpEvent&>(r).proxied;
      }
      if (r.type == collector::kTcpProxyBegin)
        begins.push_back(static_cast<const collector::DCTcpProxyBeginEvent&>(r).message.text);
    }
    std::vector<std::string> begins;
    int flows = 0, proxiedFlows = 0;
  };

  explicit RelayRig(uint16_t port, bool listen = true) : nodePort(port) {
    recorder.startCollector();
    if (listen && (!relay.OpenRelayListener(kIpv4) || !relay.startAcceptLoop(kIpv4)))
      ADD_FAILURE() << "no relay listener";
  }
  ~RelayRig() {
    running = 0;
    relay.joinAcceptLoop(kIpv4);
    recorder.stopCollector();  // before the recorder's own members go
  }

  // The application's connection to 127.0.0.1:destinationPort, redirected
  // to the relay as the connect handler would.
  platform::OwnedSocket connect(uint16_t destinationPort) {
    platform::OwnedSocket app(platform::openSocket(kIpv4, platform::SocketType::Stream));
    SocketAddress local = loopback(0);
    EXPECT_TRUE(platform::bindSocket(app.get(), local) && platform::localAddressOf(app.get(), local));
    tcp::REDIRECT_INFO entry;
    entry.id = 42;
    entry.info.ipFamily = kIpv4;
    std::memcpy(entry.info.localAddress.bytes.data(), local.bytes, 16);
    std::memcpy(entry.info.remoteAddress.bytes.data(), loopback(destinationPort).bytes, 16);
    entry.processName = "game.exe";
    redirects.Insert(entry);
    EXPECT_TRUE(platform::connectSocket(app.get(), loopback(relay.port(kIpv4))));
    return app;
  }

  std::atomic<uint16_t> nodePort;
  std::atomic<bool> nodeFails{false};  // taking the node settings runs out of memory
  Recorder recorder;
  tcp::RedirectTable redirects;
  tcp::PingResponder ping;
  std::atomic<uint8_t> running{1};
  std::atomic<uint32_t> blur{0};
  tcp::Relay relay{
      redirects, ping, recorder, running, blur, [this] {
        if (nodeFails) throw std::bad_alloc();
        return tcp::RelayNode{platform::ipv4(127, 0, 0, 1), platform::hostToNet16(nodePort), "u", "p"};
      }};
};

// Node hosts that never let a handshake finish: one accepts the connection
// (the system completes it) and never answers; the other drops the SYN
// because its accept queue is full, as a host that drops SYNs does.
struct SilentNode {
  explicit SilentNode(bool dropsSyns) : listener(listenOn(0, 0)), port(portOf(listener.get())) {
    // A backlog of 0 still queues one connection: take that place.
    if (dropsSyns) filler.reset(lumotest::connectLoopback(port));
  }
  // True once the relay's connection waits in the accept queue (the node
  // that answers nothing).
  bool reached() const { return platform::waitReadable(listener.get(), 10000) == 1; }
  platform::OwnedSocket listener;
  platform::OwnedSocket filler;
  uint16_t port = 0;
};

}  // namespace

TEST(RelayListener, TakenPortsAreSkippedNeverShared) {
  RelayRig rig(0, false);
  // Hold the highest free port of the range ourselves.
  platform::OwnedSocket held;
  uint16_t heldPort = 50888;
  for (; heldPort >= 50001 && !held.valid(); --heldPort) held.reset(listenOn(heldPort));
  ASSERT_TRUE(held.valid());
  ++heldPort;
  ASSERT_TRUE(rig.relay.OpenRelayListener(kIpv4));
  EXPECT_LT(rig.relay.port(kIpv4), heldPort) << "the relay moved below the taken port";
  EXPECT_GE(rig.relay.port(kIpv4), 50001);
  rig.relay.closeListener(kIpv4);
  EXPECT_EQ(rig.relay.port(kIpv4), 0xFFFF);
}

// The wait before an answer stays within a step of the delay and never
// above 500 ms; a watched ping is answered on the client socket (here one
// to an echo server, which hands the answer back) and the node's copy dropped.
TEST(PingResponder, AnswersAWatchedPingAndDropsTheNodesCopy) {
  for (uint32_t t = 0; t < 40; ++t) {
    const uint32_t w = tcp::PingResponder::PingWait(100, t);
    EXPECT_GE(w, 91u);
    EXPECT_LE(w, 109u);
    EXPECT_EQ(w >= 100, (t & 1u) != 0 || t % 10 == 0) << t;
  }
  EXPECT_EQ(tcp::PingResponder::PingWait(5000, 7), 500u);
  EXPECT_EQ(tcp::PingResponder::PingWait(0, 3), 0u);
  EXPECT_EQ(tcp::PingResponder::PingWait(3, 1), 3u) << "step 1: no jitter";

  tcp::PingResponder ping;
  std::vector<uint32_t> waits;
  ping.SetClockForTesting([] { return 1001u; }, [&](uint32_t ms) { waits.push_back(ms); });
  ping.AddAddressRule(0, platform::hostToNet16(7000), 100);
  EchoServer echo;
  platform::OwnedSocket client(lumotest::connectLoopback(echo.port()));
  const SocketAddress destination =
      platform::makeIpv4Address(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(7000));
  const Bytes pingBytes = {0x09, 0x01, 0, 0, 0, 0, 0x0A, 0x0B, 0x0C, 0x0D};

  ping.Register(1, client.get(), destination);
  EXPECT_EQ(ping.WatchCount(), 0u) << "nothing is watched while the responder is off";
  EXPECT_FALSE(ping.OnUpstream(1, pingBytes.data(), 10, false));

  ping.SetEnabled(true);
  ping.Register(1, client.get(), destination);
  ping.Register(1, client.get(), destination);
  EXPECT_EQ(ping.WatchCount(), 1u);
  ping.Register(2, client.get(),
                platform::makeIpv4Address(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(7001)));
  EXPECT_EQ(ping.WatchCount(), 1u) << "no rule for that port";

  ASSERT_TRUE(ping.OnUpstream(1, pingBytes.data(), 10, false));
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_EQ(waits[0], tcp::PingResponder::PingWait(100, 1001));
  EXPECT_EQ(lumotest::receiveUpTo(client.get(), 10), pingBytes);

  Bytes other = pingBytes;
  other[9] = 0xEE;
  EXPECT_FALSE(ping.OnDownstream(1, other.data(), 10)) << "an answer with other bytes is forwarded";
  EXPECT_TRUE(ping.OnDownstream(1, pingBytes.data(), 10)) << "the node's identical answer is dropped";
  EXPECT_FALSE(ping.OnDownstream(1, pingBytes.data(), 10)) << "only once";

  Bytes notPing = pingBytes;
  notPing[3] = 1;
  EXPECT_FALSE(ping.OnUpstream(1, notPing.data(), 10, false)) << "bytes 2 to 5 must be zero";
  EXPECT_FALSE(ping.OnUpstream(1, pingBytes.data(), 9, false));

  Bytes blurred;
  for (uint8_t b : pingBytes) blurred.push_back(static_cast<uint8_t>(~static_cast<uint8_t>(b + 7)));
  EXPECT_TRUE(ping.OnUpstream(1, blurred.data(), 10, true)) << "a blurred ping is recognised";
  EXPECT_EQ(lumotest::receiveUpTo(client.get(), 10), pingBytes)
      << "the client gets its own, untransformed bytes";

  ping.Unregister(1);
  EXPECT_FALSE(ping.OnUpstream(1, pingBytes.data(), 10, false));
  ping.Clear();
  EXPECT_EQ(ping.AddressRuleCount(), 0u);
}

// Re-opening the listener under its accept thread would free its port for
// anyone to take.
TEST(RelayListener, ListenerInUseByItsAcceptLoopIsNotReopened) {
  RelayRig rig(0);
  const uint16_t port = rig.relay.port(kIpv4);
  EXPECT_TRUE(rig.relay.OpenRelayListener(kIpv4)) << "a repeated initialisation succeeds";
  EXPECT_EQ(rig.relay.port(kIpv4), port);
  EXPECT_FALSE(platform::OwnedSocket(listenOn(port)).valid()) << "the running listener kept its port";
}

#ifndef _WIN32
// ListenOverflows of this network namespace (/proc/net/netstat, TcpExt).
long listenOverflows() {
  std::ifstream in("/proc/net/netstat");
  std::string names, values;
  while (std::getline(in, names) && std::getline(in, values)) {
    if (names.rfind("TcpExt:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
      if (name == "ListenOverflows") return std::stol(value);
  }
  return -1;
}

TEST(RelayListener, BurstOfConnectsWhileTheAcceptThreadIsBusyOverflowsNothing) {
  if (std::getenv("LUMO_TEST_NETNS") == nullptr)
    GTEST_SKIP() << "the overflow counter is only ours in a namespace";
  RelayRig rig(0, false);
  ASSERT_TRUE(rig.relay.OpenRelayListener(kIpv4));  // no accept thread: nothing is taken off the queue
  const long before = listenOverflows();
  ASSERT_GE(before, 0);
  // On loopback the SYN is taken or dropped within the connect call itself.
  std::vector<platform::OwnedSocket> sockets;
  for (int i = 0; i < 200; ++i) {
    sockets.emplace_back(platform::openSocket(kIpv4, platform::SocketType::Stream));
    platform::setNonBlocking(sockets.back().get(), true);
    platform::connectSocket(sockets.back().get(), loopback(rig.relay.port(kIpv4)));
  }
  EXPECT_EQ(listenOverflows(), before) << "every connect of the burst found room in the listener's queue";
}
#endif

// A node that never lets the handshake finish, or refuses the credentials:
// within the deadlines the connection goes straight to its destination,
// neither blurred nor counted as carried by the node.
TEST(RelayHandshake, SilentOrRefusingNodeMeansDirectUnblurredAndUncounted) {
  enum Node { kAcceptsAndNeverAnswers, kDropsSyns, kRefusesCredentials };
  struct Row {
    Node node;
    const char* message;  // the begin record's: the failure, and the step that failed
  } rows[] = {{kAcceptsAndNeverAnswers, "shack err: 65548 65540"},
              {kDropsSyns, "shack err: 65548 65538"},
              {kRefusesCredentials, "shack err: 65544 257"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    EchoServer destination;
    SilentNode silent(row.node == kDropsSyns);
    ScriptedNode refusing({ScriptedNode::read(3), ScriptedNode::send({0x05, 0x02}), ScriptedNode::read(5),
                           ScriptedNode::send({0x01, 0x01})});
    RelayRig rig(row.node == kRefusesCredentials ? refusing.port() : silent.port);
    rig.blur = 1;
    platform::OwnedSocket app = rig.connect(destination.port());
    EXPECT_EQ(roundTripText(app.get(), "direct"), "direct")
        << "the connection went straight to its destination";
    app.reset();
    EXPECT_TRUE(rig.relay.waitForConnections(10000));
    rig.recorder.stopCollector();
    EXPECT_EQ(rig.recorder.begins, std::vector<std::string>{row.message});
    EXPECT_GT(rig.recorder.flows, 0);
    EXPECT_EQ(rig.recorder.proxiedFlows, 0);
  }
}

// A handshake with a node that never answers ends without going direct when
// the application gives up, at a stop (where a stop used to miss its
// connection thread) or when the relay goes.
TEST(RelayHandshake, GivingUpStopOrDestructionNeverGoDirect) {
  enum End { kApplicationCloses, kStop, kDestruction };
  struct Row {
    const char* what;
    bool dropsSyns;
    End end;
  } rows[] = {{"the application closes", false, kApplicationCloses},
              {"a stop", false, kStop},
              {"destruction", false, kDestruction},
              {"destruction while the node host drops SYNs", true, kDestruction}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EchoServer destination;
    SilentNode node(row.dropsSyns);
    platform::OwnedSocket app;
    {
      RelayRig rig(node.port);
      app = rig.connect(destination.port());
      if (!row.dropsSyns) {
        ASSERT_TRUE(node.reached());
      }
      if (row.end == kApplicationCloses) {
        app.reset();
        EXPECT_TRUE(rig.relay.waitForConnections(10000)) << "the connection thread ended";
        rig.recorder.stopCollector();
        EXPECT_EQ(rig.recorder.begins, std::vector<std::string>{"shack err: 65549 0"});
      } else if (row.end == kStop) {
        rig.relay.CloseActiveRelays();
        EXPECT_EQ(rig.relay.liveConnections(), 0);
        EXPECT_TRUE(closedByPeer(app.get()));
      }
    }
    if (row.end != kApplicationCloses) {
      EXPECT_TRUE(closedByPeer(app.get()));
    }
    EXPECT_EQ(destination.accepted(), 0) << "nothing went direct";
  }
}

// A stop ends the connection threads it used to miss, and nothing goes direct
// or is relayed afterwards.
TEST(RelayStop, NoConnectionThreadOutlivesTheStop) {
  {
    SCOPED_TRACE("accepted after the stop, before the accept loop ended");
    EchoServer destination;
    RelayRig rig(lumotest::unusedLoopbackPort());  // the node refuses: direct
    rig.relay.CloseActiveRelays();
    platform::OwnedSocket app = rig.connect(destination.port());
    EXPECT_TRUE(closedByPeer(app.get())) << "closed at once, not relayed";
    EXPECT_TRUE(rig.relay.waitForConnections(10000));
    EXPECT_EQ(destination.accepted(), 0);
  }
  {
    SCOPED_TRACE("blocked sending to a node that stopped reading");
    std::vector<ScriptedNode::Step> script = ScriptedNode::socks5Accepting("u", "p");
    script.push_back(ScriptedNode::stall());
    ScriptedNode node(script);
    RelayRig rig(node.port());
    platform::OwnedSocket app = rig.connect(9);
    platform::setNonBlocking(app.get(), true);
    // Fill every buffer between the application and the node: once the
    // application cannot send for a while, the relay is stuck in its send.
    const Bytes chunk(64 * 1024, 'z');
    for (int idle = 0; idle < 3;) {
      if (platform::sendBytes(app.get(), chunk.data(), chunk.size()) > 0) {
        idle = 0;
        continue;
      }
      if (platform::waitWritable(app.get(), 200) == 0) ++idle;
    }
    rig.relay.CloseActiveRelays();
    EXPECT_EQ(rig.relay.liveConnections(), 0);
    node.finish();
  }
}

// One side ends its stream and waits for the other: the relay passes the end
// on and keeps carrying the other direction.
TEST(RelayCopy, HalfCloseKeepsTheOtherDirectionGoing) {
  using S = ScriptedNode;
  {
    SCOPED_TRACE("the application ends first and waits for the reply");
    ScriptedNode destination({S::readToEnd(), S::send({'r', 'e', 'p', 'l', 'y'}), S::close()});
    RelayRig rig(lumotest::unusedLoopbackPort());
    platform::OwnedSocket app = rig.connect(destination.port());
    ASSERT_EQ(platform::sendBytes(app.get(), "request", 7), 7);
    platform::shutdownSocket(app.get(), platform::ShutdownHow::Send);
    EXPECT_EQ(lumotest::receiveUpTo(app.get(), 6), (Bytes{'r', 'e', 'p', 'l', 'y'}))
        << "reply, then end of stream";
    bool completed = false;
    EXPECT_EQ(destination.finish(&completed), (Bytes{'r', 'e', 'q', 'u', 'e', 's', 't'}));
    EXPECT_TRUE(completed);
  }
  {
    SCOPED_TRACE("the destination ends first and still reads");
    ScriptedNode destination({S::send({'h', 'i'}), S::shutdownSend(), S::read(4)});
    RelayRig rig(lumotest::unusedLoopbackPort());
    platform::OwnedSocket app = rig.connect(destination.port());
    EXPECT_EQ(lumotest::receiveUpTo(app.get(), 3), (Bytes{'h', 'i'})) << "its bytes, then end of stream";
    EXPECT_EQ(platform::sendBytes(app.get(), "late", 4), 4);
    bool completed = false;
    EXPECT_EQ(destination.finish(&completed), (Bytes{'l', 'a', 't', 'e'}));
    EXPECT_TRUE(completed);
  }
}

// Every byte value blurred and unblurred in place: each map is the other's
// inverse over all of 0..255 and leaves the byte after the buffer alone. (The
// known values are blur.h's static_asserts; the loops are plain byte maps.)
TEST(Blur, InPlaceMapsInvertEachOtherOverEveryValue) {
  Bytes bytes(256 + 1);
  std::iota(bytes.begin(), bytes.end(), uint8_t{0});
  const Bytes original = bytes;
  tcp::BlurInPlace(bytes.data(), 256);
  for (size_t i = 0; i < 256; ++i) ASSERT_EQ(bytes[i], tcp::Blur(original[i])) << i;
  EXPECT_EQ(bytes[256], original[256]) << "wrote past the end";
  tcp::UnblurInPlace(bytes.data(), 256);
  EXPECT_EQ(bytes, original);
}

TEST(RelayCopy, BlurIsTakenOnceWhenRelayingStarts) {
  for (uint32_t blurAtStart : {0u, 1u}) {
    SCOPED_TRACE(blurAtStart ? "on, then switched off" : "off, then switched on");
    std::vector<ScriptedNode::Step> script = ScriptedNode::socks5Accepting("u", "p");
    script.insert(script.end(), {ScriptedNode::read(1), ScriptedNode::send({'!'}), ScriptedNode::read(1)});
    ScriptedNode node(script);
    RelayRig rig(node.port());
    rig.blur = blurAtStart;
    platform::OwnedSocket app = rig.connect(9);
    EXPECT_EQ(roundTripText(app.get(), "a"), "!");
    rig.blur = 1 - blurAtStart;
    ASSERT_EQ(platform::sendBytes(app.get(), "b", 1), 1);
    const Bytes got = node.finish();
    ASSERT_EQ(got.size(), 20u);  // greeting 3, authentication 5, CONNECT 10, then the stream
    EXPECT_EQ(Bytes(got.end() - 2, got.end()),
              (blurAtStart ? Bytes{tcp::Blur('a'), tcp::Blur('b')} : Bytes{'a', 'b'}));
  }
}

TEST(RelayCopy, GamePingIsAnsweredAloneAndRelayedInsideOtherBytes) {
  const Bytes ping = {0x09, 0x01, 0, 0, 0, 0, 0x0A, 0x0B, 0x0C, 0x0D};
  Bytes pingAndMore = ping;
  pingAndMore.insert(pingAndMore.end(), {'m', 'o', 'r', 'e', '!'});
  std::vector<ScriptedNode::Step> script = ScriptedNode::socks5Accepting("u", "p");
  script.insert(script.end(), {ScriptedNode::read(10), ScriptedNode::read(15),
                               ScriptedNode::send({'a', 'f', 't', 'e', 'r'})});
  ScriptedNode node(script);
  RelayRig rig(node.port());
  rig.ping.SetClockForTesting([] { return 1000u; }, [](uint32_t) {});
  rig.ping.AddAddressRule(0, platform::hostToNet16(9), 100);
  rig.ping.SetEnabled(true);
  platform::OwnedSocket app = rig.connect(9);
  EXPECT_EQ(lumotest::roundTrip(app.get(), ping), ping) << "answered by the relay (and forwarded)";
  ASSERT_EQ(platform::sendBytes(app.get(), pingAndMore.data(), pingAndMore.size()), 15);
  EXPECT_EQ(lumotest::receiveUpTo(app.get(), 5), (Bytes{'a', 'f', 't', 'e', 'r'}))
      << "a ping inside other bytes is relayed, not answered";
  bool completed = false;
  const Bytes got = node.finish(&completed);
  EXPECT_TRUE(completed);
  Bytes forwarded = ping;
  forwarded.insert(forwarded.end(), pingAndMore.begin(), pingAndMore.end());
  ASSERT_EQ(got.size(), 18u + 25u);
  EXPECT_EQ(Bytes(got.end() - 25, got.end()), forwarded);
}

TEST(RelayThreads, AnExceptionEndsOnlyItsOwnConnection) {
  EchoServer destination;
  RelayRig rig(lumotest::unusedLoopbackPort());
  rig.nodeFails = true;
  platform::OwnedSocket first = rig.connect(destination.port());
  EXPECT_TRUE(closedByPeer(first.get()));
  EXPECT_TRUE(rig.relay.waitForConnections(10000));
  rig.nodeFails = false;
  platform::OwnedSocket second = rig.connect(destination.port());
  EXPECT_EQ(roundTripText(second.get(), "still relaying"), "still relaying");
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Out of memory in the middle of a relayed connection: run in a child
// process of this program (one malloc arena, so that the memory taken on
// this thread is the memory the relay thread would need) whose address space
// is capped once the connection is up; the collector's pools are empty, so
// every record must be allocated and none can be. The connection must go on
// without its records and the process must live.
TEST(RelayThreads, OutOfMemoryChild) {
  if (std::getenv("LUMO_RELAY_OOM_CHILD") == nullptr) GTEST_SKIP() << "run by OutOfMemorySkipsRecords";
  EchoServer destination;
  RelayRig rig(lumotest::unusedLoopbackPort());
  platform::Socket app = rig.connect(destination.port()).release();
  if (roundTripText(app, "before") != "before") _exit(2);
  for (uint32_t type : {collector::kTcpProxyFlowUp, collector::kTcpProxyFlowDown, collector::kTcpProxyEnd})
    while (collector::poolSize(type) > 0) collector::acquireEvent(type);
  rlimit cap{};
  getrlimit(RLIMIT_AS, &cap);
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmSize:", 0) == 0) cap.rlim_cur = std::stoul(line.substr(7)) * 1024;
  if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(3);
  // Take every block the heap has left (kept in a volatile, so that the
  // compiler cannot drop the calls).
  [[maybe_unused]] void* volatile taken = nullptr;
  for (size_t size : {size_t{1} << 20, size_t{4096}, size_t{64}, size_t{1}})
    for (void* block = std::malloc(size); block != nullptr; block = std::malloc(size)) taken = block;
  char echo[6];
  if (platform::sendBytes(app, "during", 6) != 6) _exit(4);
  size_t got = 0;
  while (got < 6 && platform::waitReadable(app, 10000) == 1) {
    const int n = platform::receiveBytes(app, echo + got, 6 - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  platform::closeSocket(app);
  _exit(got == 6 && std::memcmp(echo, "during", 6) == 0 && rig.relay.waitForConnections(10000) ? 0 : 5);
}

TEST(RelayThreads, OutOfMemorySkipsRecords) {
  const lumotest::Outcome child =
      lumotest::run({"/proc/self/exe", "--gtest_filter=RelayThreads.OutOfMemoryChild"},
                    {"LUMO_RELAY_OOM_CHILD=1", "MALLOC_ARENA_MAX=1"});
  EXPECT_EQ(child.status, 0) << "above 128: killed by that signal\n" << child.output;
}
#endif
