// The accelerated TCP path against the paths it is made of, in one run:
//   direct  the application talks to the server itself;
//   node    the application speaks SOCKS5 to lumo-node itself (no relay hop);
//   engine  the application's connect is reported by the simulated driver,
//           redirected by the engine to its relay, and carried through the
//           relay and lumo-node (SOCKS5) to the server;
//   relay   the relay on its own, its node refusing, so that it carries the
//           connection straight to the server: the relay's own copying,
//           without the node's;
//   chain   (with --chain-source ADDRESS) the application's socket bound to
//           ADDRESS and connected straight to the server, for a firewall
//           rule to carry elsewhere: bench/anchors.sh uses it for a
//           transparent redirector chained to a SOCKS5 server.
// For each path, as medians of a few rounds:
//   bulk one way    MB/s of 64 MiB sent to a server that only counts them;
//   echo both ways  MB/s of 64 MiB echoed over one connection, writer and
//                   reader in parallel;
//   set-up          p50 of many connects, from the start of the connect to the
//                   first echoed byte (total); for the engine also its
//                   decision (the connect request reaching the library until
//                   the driver takes its verdict), and for paths through the
//                   relay the stretch from the relay's accept to the first
//                   echoed byte (an accept tap, tcp_path_taps.cpp);
//   64 B RTT        p50 of round trips of 64-byte messages on one connection;
//   hand-offs       voluntary context switches per set-up and per round trip,
//                   of this process and of lumo-node, and for paths through
//                   the relay the p50 from its accept until its connection
//                   thread connects onwards (a connect tap);
// then a burst of connections opened at once by many threads and held open:
// how many opened, how many waited a second or more (a SYN that a listener
// dropped and that was sent again), and the listen overflows the system
// counted meanwhile (this network namespace's counter: run the benchmark in
// a namespace of its own for a clean figure). The ratios are against the
// chain when it is measured, else against the direct path.
// Loopback only. Options: --chain-source ADDRESS, --rounds N.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "collector/data_collector.h"
#include "live_tcp.h"
#include "loopback_world.h"
#include "lumo/lumo.h"
#include "platform/net.h"
#include "platform/services.h"
#include "sim_driver.h"
#include "tcp/relay.h"
#include "tcp/socks5_client.h"
#include "tcp_path_taps.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSetupConnects = 200;
constexpr size_t kBulkBytes = 64u << 20;
constexpr size_t kChunk = 64u << 10;
constexpr int kRttWarmUp = 100;
constexpr int kRttTrips = 2000;
constexpr size_t kRttMessage = 64;
constexpr int kBurstThreads = 20;
constexpr int kBurstEach = 10;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Times the threads of a process went to sleep waiting (voluntary context
// switches): each is a hand-off from one thread to another.
struct Switches {
  long long self = 0, node = 0;  // this process; lumo-node, a process of its own

  static long long ofProcess(pid_t pid) {
    long long total = 0;
    std::error_code ignored;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
      std::ifstream status(task.path() / "status");
      for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::atoll(line.c_str() + 24);
    }
    return total;
  }
  static Switches now(pid_t node) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);  // ended threads included
    return {usage.ru_nvcsw, ofProcess(node)};
  }
};
pid_t nodePid = 0;

// Switches per event between two readings: this process's and lumo-node's.
struct PerEvent {
  double self = -1, node = -1;
};
PerEvent perEvent(const Switches& before, const Switches& after, int events) {
  return {static_cast<double>(after.self - before.self) / events,
          static_cast<double>(after.node - before.node) / events};
}

// A connection one path opened, with what the path knows of its set-up.
struct Conn {
  platform::Socket socket = platform::kInvalidSocket;
  uint16_t localPort = 0;
  uint16_t onwardPort = 0;      // host order: where the relay's connection thread connects to       // host
                                // order; set when the path goes through the relay
  Clock::time_point requested;  // the engine path: the connect request went out
  Clock::time_point answered;   // and the driver took its verdict
};
// Opens a connection to the server on 127.0.0.1:`port` (host order).
using Connector = std::function<Conn(uint16_t port)>;

bool sendAll(platform::Socket s, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const int n = platform::sendBytes(s, p, length);
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool receiveAll(platform::Socket s, void* buffer, size_t length) {
  char* p = static_cast<char*>(buffer);
  while (length > 0) {
    const int n = platform::receiveBytes(s, p, length);
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool echoOnce(platform::Socket s) {
  char byte = 'x';
  return sendAll(s, &byte, 1) && receiveAll(s, &byte, 1);
}

// Takes a byte count (8 bytes, host order), then that many bytes, and answers
// one byte when all have come: the receiving end of a one-way transfer.
class SinkServer {
 public:
  SinkServer() {
    listener_ = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    platform::SocketAddress a = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
    if (!platform::bindSocket(listener_, a) ||
        !platform::listenSocket(listener_, platform::maxListenBacklog()) ||
        !platform::localAddressOf(listener_, a))
      return;
    port_ = platform::netToHost16(a.port());
    thread_ = std::thread([this] {
      while (!stopping_) {
        if (platform::waitReadable(listener_, 100) <= 0) continue;
        const platform::Socket c = platform::acceptSocket(listener_, nullptr);
        if (c != platform::kInvalidSocket) connections_.emplace_back([c] { serve(c); });
      }
    });
  }
  ~SinkServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    for (std::thread& t : connections_) t.join();  // each ends when its client closes
    platform::closeSocket(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  static void serve(platform::Socket c) {
    uint64_t expected = 0;
    std::vector<char> buffer(kChunk);
    if (receiveAll(c, &expected, sizeof expected)) {
      uint64_t received = 0;
      while (received < expected) {
        const int n = platform::receiveBytes(c, buffer.data(), buffer.size());
        if (n <= 0) break;
        received += static_cast<uint64_t>(n);
      }
      if (received == expected) {
        const char done = 'k';
        sendAll(c, &done, 1);
        platform::receiveBytes(c, buffer.data(), buffer.size());  // the client's close
      }
    }
    platform::closeSocket(c);
  }

  platform::Socket listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::vector<std::thread> connections_;  // touched by the accept thread only, until it is joined
};

double median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One round of set-up: p50 of each stretch over kSetupConnects connects.
struct Setup {
  double decision = -1, acceptToFirstByte = -1, total = -1;
  double acceptToOnward = -1;  // the relay's accept until its connection thread connects onwards
  PerEvent switches;
};

Setup setupRound(const Connector& connect, uint16_t echoPort) {
  std::vector<double> decision, acceptToFirst, total, acceptToOnward;
  const Switches before = Switches::now(nodePid);
  for (int i = 0; i < kSetupConnects; ++i) {
    const Clock::time_point start = Clock::now();
    const Conn c = connect(echoPort);
    if (c.socket == platform::kInvalidSocket || !echoOnce(c.socket)) {
      platform::closeSocket(c.socket);
      return {};
    }
    const Clock::time_point end = Clock::now();
    platform::closeSocket(c.socket);
    total.push_back(micros(end - start));
    if (c.answered > c.requested) decision.push_back(micros(c.answered - c.requested));
    if (c.localPort != 0) {
      const Clock::time_point accepted = taps::acceptedAt(c.localPort);
      if (accepted >= start) acceptToFirst.push_back(micros(end - accepted));
      const Clock::time_point onward = taps::connectCalledAt(c.onwardPort);
      if (accepted >= start && onward >= accepted) acceptToOnward.push_back(micros(onward - accepted));
    }
  }
  return {median(decision), median(acceptToFirst), median(total), median(acceptToOnward),
          perEvent(before, Switches::now(nodePid), kSetupConnects)};
}

// MB/s of kBulkBytes sent one way, until the sink's answer came back.
double bulkRound(const Connector& connect, uint16_t sinkPort) {
  const Conn c = connect(sinkPort);
  if (c.socket == platform::kInvalidSocket) return -1;
  std::vector<char> out(kChunk, 'b');
  const Clock::time_point start = Clock::now();
  const uint64_t count = kBulkBytes;
  bool ok = sendAll(c.socket, &count, sizeof count);
  for (size_t sent = 0; ok && sent < kBulkBytes; sent += kChunk) ok = sendAll(c.socket, out.data(), kChunk);
  char done = 0;
  ok = ok && receiveAll(c.socket, &done, 1) && done == 'k';
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  platform::closeSocket(c.socket);
  return ok ? kBulkBytes / seconds / 1e6 : -1;
}

// MB/s of kBulkBytes echoed over one connection, writer and reader in parallel.
double echoRound(const Connector& connect, uint16_t echoPort) {
  const Conn c = connect(echoPort);
  if (c.socket == platform::kInvalidSocket) return -1;
  std::vector<char> out(kChunk, 'p');
  const Clock::time_point start = Clock::now();
  std::thread writer([&] {
    for (size_t sent = 0; sent < kBulkBytes; sent += kChunk)
      if (!sendAll(c.socket, out.data(), kChunk)) return;
  });
  std::vector<char> in(kChunk);
  size_t received = 0;
  while (received < kBulkBytes) {
    const int n = platform::receiveBytes(c.socket, in.data(), in.size());
    if (n <= 0) break;
    received += static_cast<size_t>(n);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  platform::closeSocket(c.socket);
  return received == kBulkBytes ? received / seconds / 1e6 : -1;
}

// p50 microseconds of a 64-byte message echoed back whole.
double rttRound(const Connector& connect, uint16_t echoPort, PerEvent& switches) {
  const Conn c = connect(echoPort);
  if (c.socket == platform::kInvalidSocket) return -1;
  const Switches before = Switches::now(nodePid);
  char message[kRttMessage];
  std::memset(message, 'r', sizeof message);
  std::vector<double> trips;
  bool ok = true;
  for (int i = 0; ok && i < kRttWarmUp + kRttTrips; ++i) {
    const Clock::time_point start = Clock::now();
    ok = sendAll(c.socket, message, sizeof message) && receiveAll(c.socket, message, sizeof message);
    if (i >= kRttWarmUp) trips.push_back(micros(Clock::now() - start));
  }
  switches = perEvent(before, Switches::now(nodePid), kRttWarmUp + kRttTrips);
  platform::closeSocket(c.socket);
  return ok ? median(trips) : -1;
}

// TcpExt ListenOverflows of this network namespace; -1 when unreadable.
long long listenOverflows() {
  std::ifstream in("/proc/net/netstat");
  std::string names, values;
  while (std::getline(in, names) && std::getline(in, values)) {
    if (names.rfind("TcpExt:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
      if (name == "ListenOverflows") return std::atoll(value.c_str());
  }
  return -1;
}

struct Burst {
  int opened = 0;
  int slow = 0;  // took a second or more
  double slowestMs = 0;
  long long overflows = -1;
};

// kBurstThreads threads each open kBurstEach connections at once and hold
// them open (each echoes one byte first, so its relay thread is running).
Burst burst(const Connector& connect, uint16_t echoPort) {
  Burst b;
  std::mutex lock;
  std::vector<platform::Socket> open;
  std::vector<std::thread> threads;
  const long long overflowsBefore = listenOverflows();
  for (int t = 0; t < kBurstThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kBurstEach; ++i) {
        const Clock::time_point start = Clock::now();
        const Conn c = connect(echoPort);
        const bool ok = c.socket != platform::kInvalidSocket && echoOnce(c.socket);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::lock_guard<std::mutex> guard(lock);
        if (ok) ++b.opened;
        if (ms >= 1000) ++b.slow;
        b.slowestMs = std::max(b.slowestMs, ms);
        open.push_back(c.socket);
      }
    });
  for (std::thread& t : threads) t.join();
  const long long overflowsAfter = listenOverflows();
  if (overflowsBefore >= 0 && overflowsAfter >= 0) b.overflows = overflowsAfter - overflowsBefore;
  for (platform::Socket s : open) platform::closeSocket(s);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the echo and relay threads end
  return b;
}

struct Row {
  std::string name;
  Connector connect;
  std::vector<double> bulk, echo, rtt, decision, acceptToFirst, total;
  std::vector<double> setupSelf, setupNode, rttSelf, rttNode;  // voluntary switches per event
  std::vector<double> acceptToOnward;
  Burst burst;
};

// "%9.1f", or a dash for a figure the path does not have.
std::string figure(double value, int width, int decimals = 1) {
  char text[32];
  if (value < 0)
    std::snprintf(text, sizeof text, "%*s", width, "-");
  else
    std::snprintf(text, sizeof text, "%*.*f", width, decimals, value);
  return text;
}

std::string ratio(double value, double baseline, int width) {
  if (value < 0 || baseline <= 0) return figure(-1, width);
  char text[32];
  std::snprintf(text, sizeof text, "%*.2fx", width - 1, value / baseline);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::string chainSource;
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--chain-source" && i + 1 < argc) {
      chainSource = argv[++i];
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: tcp_path_bench [--chain-source 127.x.y.z] [--rounds N]\n");
      return 2;
    }
  }
  platform::SocketAddress chainFrom;
  if (!chainSource.empty()) {
    unsigned b[4];
    char rest;
    if (std::sscanf(chainSource.c_str(), "%u.%u.%u.%u%c", &b[0], &b[1], &b[2], &b[3], &rest) != 4 ||
        b[0] != 127 || b[1] > 255 || b[2] > 255 || b[3] > 255) {
      std::fprintf(stderr, "tcp_path_bench: --chain-source takes a 127.x.y.z address\n");
      return 2;
    }
    chainFrom =
        platform::makeIpv4Address(platform::ipv4(127, static_cast<uint8_t>(b[1]), static_cast<uint8_t>(b[2]),
                                                 static_cast<uint8_t>(b[3])),
                                  0);
  }

  demo::useLoopbackResolver();

  demo::EchoServer echoServer;
  SinkServer sinkServer;
  demo::Node node;
  if (echoServer.port() == 0 || sinkServer.port() == 0 || !node.start()) {
    std::fprintf(stderr, "tcp_path_bench: cannot start the servers or lumo-node\n");
    return 1;
  }
  nodePid = node.pid();
  simdrv::SimDriver driver;
  driver.install();
  platform::attachSimulatedService(
      u"LumoDriverSys", [] { return true; }, [] {});
  simdrv::LiveTcp live(driver);
  live.map("203.0.113.0/24", "127.0.0.1");

  LUMO_PROCESS_ENTRY entry{};
  std::snprintf(entry.name, sizeof entry.name, "%s",
                std::filesystem::read_symlink("/proc/self/exe").filename().string().c_str());
  const uint32_t loopback = platform::ipv4(127, 0, 0, 1);
  const uint32_t nodePort = platform::hostToNet16(node.port());
  if (!Init(0) ||
      !SetConfig("bench", 0, demo::kUser, 0, demo::kPassword, 0, &entry, 1, 0, "", loopback, nodePort,
                 nodePort, 7, 0, 0, 0) ||
      !Start(1, 0, 0, 0, 0, 0)) {
    std::fprintf(stderr, "tcp_path_bench: the engine did not start\n");
    return 1;
  }

  auto serverAt = [&](uint16_t port) {
    return platform::makeIpv4Address(loopback, platform::hostToNet16(port));
  };
  auto withNoDelay = [](Conn c) {
    if (c.socket != platform::kInvalidSocket) platform::setNoDelay(c.socket, true);
    return c;
  };
  // Opens a socket, bound to `from` when it has an address, and connects it.
  auto plainConnect = [&](const platform::SocketAddress* from, const platform::SocketAddress& to) {
    Conn c;
    c.socket = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    platform::SocketAddress local = from != nullptr ? *from : platform::SocketAddress{};
    if ((from != nullptr &&
         (!platform::bindSocket(c.socket, local) || !platform::localAddressOf(c.socket, local))) ||
        !platform::connectSocket(c.socket, to)) {
      platform::closeSocket(c.socket);
      return Conn{};
    }
    if (from != nullptr) c.localPort = platform::netToHost16(local.port());
    return withNoDelay(c);
  };

  const Connector direct = [&](uint16_t port) { return plainConnect(nullptr, serverAt(port)); };
  const Connector socks5 = [&](uint16_t port) {
    Conn c;
    c.socket = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    const platform::SocketAddress documentation =
        platform::makeIpv4Address(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(port));
    int32_t detail = 0;
    if (tcp::Socks5Connect(platform::kFamilyIpv4, c.socket, documentation, loopback, nodePort, demo::kUser,
                           demo::kPassword, detail) != tcp::kSocks5Ok) {
      platform::closeSocket(c.socket);
      return Conn{};
    }
    return withNoDelay(c);
  };
  const Connector engine = [&](uint16_t port) {
    const simdrv::LiveTcp::Connection lc =
        live.connect(static_cast<uint32_t>(getpid()), simdrv::ipv4("203.0.113.5", port));
    Conn c;
    c.socket = lc.socket;
    c.requested = lc.requestedAt;
    c.answered = lc.answeredAt;
    platform::SocketAddress local;
    if (c.socket != platform::kInvalidSocket && platform::localAddressOf(c.socket, local))
      c.localPort = platform::netToHost16(local.port());
    c.onwardPort = node.port();
    return withNoDelay(c);
  };

  // The relay alone: its own listener, a node port that refuses, and each
  // connection put into the redirect table as the connect handler would.
  tcp::RedirectTable redirects;
  tcp::PingResponder ping;
  collector::DataCollectorEvent quietCollector;
  std::atomic<uint8_t> running{1};
  std::atomic<uint32_t> blur{0};
  const platform::SocketAddress refusing = [] {
    platform::Socket s = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    platform::SocketAddress a = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
    platform::bindSocket(s, a);
    platform::localAddressOf(s, a);
    platform::closeSocket(s);
    return a;
  }();
  tcp::Relay relay(redirects, ping, quietCollector, running, blur, [&] {
    return tcp::RelayNode{loopback, refusing.port(), demo::kUser, demo::kPassword};
  });
  if (!relay.OpenRelayListener(platform::kFamilyIpv4) || !relay.startAcceptLoop(platform::kFamilyIpv4)) {
    std::fprintf(stderr, "tcp_path_bench: no relay listener of its own\n");
    return 1;
  }
  const Connector relayOnly = [&](uint16_t port) {
    Conn c;
    c.socket = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    platform::SocketAddress local = platform::makeIpv4Address(loopback, 0);
    platform::bindSocket(c.socket, local);
    platform::localAddressOf(c.socket, local);
    tcp::REDIRECT_INFO redirect;
    redirect.info.ipFamily = platform::kFamilyIpv4;
    std::memcpy(redirect.info.localAddress.bytes.data(), local.bytes, 16);
    std::memcpy(redirect.info.remoteAddress.bytes.data(), serverAt(port).bytes, 16);
    redirects.Insert(redirect);
    if (!platform::connectSocket(
            c.socket,
            platform::makeIpv4Address(loopback, platform::hostToNet16(relay.port(platform::kFamilyIpv4))))) {
      platform::closeSocket(c.socket);
      return Conn{};
    }
    c.localPort = platform::netToHost16(local.port());
    c.onwardPort = platform::netToHost16(refusing.port());
    return withNoDelay(c);
  };
  // The chain: only the source address tells the firewall's rule which
  // connections to carry; no accept of this process sees them.
  const Connector chain = [&](uint16_t port) {
    Conn c = plainConnect(&chainFrom, serverAt(port));
    c.localPort = 0;
    return c;
  };

  std::vector<Row> rows;
  auto row = [](const char* name, const Connector& connect) {
    Row r;
    r.name = name;
    r.connect = connect;
    return r;
  };
  rows.push_back(row("direct", direct));
  rows.push_back(row("lumo-node socks5", socks5));
  rows.push_back(row("engine+relay+node", engine));
  rows.push_back(row("relay alone", relayOnly));
  if (!chainSource.empty()) rows.push_back(row("redsocks->Dante", chain));

  // Rounds go across the paths, so that a busy moment of a shared machine
  // falls on every path alike rather than on one.
  for (int round = 0; round < rounds; ++round)
    for (Row& r : rows) {
      const Setup s = setupRound(r.connect, echoServer.port());
      r.decision.push_back(s.decision);
      r.acceptToFirst.push_back(s.acceptToFirstByte);
      r.total.push_back(s.total);
      r.acceptToOnward.push_back(s.acceptToOnward);
      r.setupSelf.push_back(s.switches.self);
      r.setupNode.push_back(s.switches.node);
      r.bulk.push_back(bulkRound(r.connect, sinkServer.port()));
      r.echo.push_back(echoRound(r.connect, echoServer.port()));
      PerEvent rttSwitches;
      r.rtt.push_back(rttRound(r.connect, echoServer.port(), rttSwitches));
      r.rttSelf.push_back(rttSwitches.self);
      r.rttNode.push_back(rttSwitches.node);
    }
  for (Row& r : rows) r.burst = burst(r.connect, echoServer.port());

  Stop(1);
  UnInit(1);
  running = 0;
  relay.joinAcceptLoop(platform::kFamilyIpv4);

  // A failed round shows as -1, and the median of a path with one is
  // reported as failed.
  auto med = [](const std::vector<double>& v) {
    return std::any_of(v.begin(), v.end(), [](double x) { return x < 0; }) ? -1.0 : median(v);
  };
  std::printf("%-18s %9s %9s | %-30s | %8s | %-29s\n", "", "bulk one", "echo", "set-up p50 (us)", "64 B RTT",
              "burst of 200, held open");
  std::printf("%-18s %9s %9s | %8s %12s %8s | %8s | %6s %4s %8s %8s\n", "path", "way MB/s", "both MB/s",
              "decision", "accept->byte", "total", "p50 (us)", "opened", ">=1s", "slowest", "listen");
  std::printf("%-18s %9s %9s | %8s %12s %8s | %8s | %6s %4s %8s %8s\n", "", "", "", "", "", "", "", "", "",
              "(ms)", "overflow");
  bool failed = false;
  for (const Row& r : rows) {
    const double decision = med(r.decision), accept = med(r.acceptToFirst);
    // A path has a decision or an accept stretch in every round, or in none.
    const bool hasDecision =
        std::any_of(r.decision.begin(), r.decision.end(), [](double x) { return x >= 0; });
    const bool hasAccept =
        std::any_of(r.acceptToFirst.begin(), r.acceptToFirst.end(), [](double x) { return x >= 0; });
    std::printf("%-18s %s %s | %s %s %s | %s | %6d %4d %s %s\n", r.name.c_str(),
                figure(med(r.bulk), 9).c_str(), figure(med(r.echo), 9).c_str(),
                figure(hasDecision ? decision : -1, 8).c_str(), figure(hasAccept ? accept : -1, 12).c_str(),
                figure(med(r.total), 8).c_str(), figure(med(r.rtt), 8, 1).c_str(), r.burst.opened,
                r.burst.slow, figure(r.burst.slowestMs, 8).c_str(),
                figure(static_cast<double>(r.burst.overflows), 8, 0).c_str());
    failed = failed || med(r.bulk) < 0 || med(r.echo) < 0 || med(r.total) < 0 || med(r.rtt) < 0 ||
             r.burst.opened != kBurstThreads * kBurstEach || (hasDecision && decision < 0) ||
             (hasAccept && accept < 0);
  }
  std::printf(
      "(medians of %d rounds; set-up: p50 of %d connects each, to the first echoed byte; bulk and echo: %zu "
      "MiB "
      "over one connection; RTT: p50 of %d round trips; burst: %d connections by %d threads; listen "
      "overflows: "
      "this network namespace's count during the burst)\n",
      rounds, kSetupConnects, kBulkBytes >> 20, kRttTrips, kBurstThreads * kBurstEach, kBurstThreads);

  std::printf(
      "\nhand-offs: voluntary context switches per connect set-up and per 64 B round trip (medians), of\n"
      "this process (application, servers, engine, relay) and of lumo-node (a chain's programs are not\n"
      "counted); thread start: p50 us from the relay's accept until its connection thread connects "
      "onwards\n");
  std::printf("%-18s %12s %12s %12s %12s %12s\n", "path", "set-up self", "set-up node", "RTT self",
              "RTT node", "thread start");
  for (const Row& r : rows) {
    const bool hasOnward =
        std::any_of(r.acceptToOnward.begin(), r.acceptToOnward.end(), [](double x) { return x >= 0; });
    std::printf("%-18s %s %s %s %s %s\n", r.name.c_str(), figure(med(r.setupSelf), 12).c_str(),
                figure(med(r.setupNode), 12).c_str(), figure(med(r.rttSelf), 12, 2).c_str(),
                figure(med(r.rttNode), 12, 2).c_str(),
                figure(hasOnward ? med(r.acceptToOnward) : -1, 12).c_str());
  }

  const Row& base = rows.back().name == "redsocks->Dante" ? rows.back() : rows.front();
  std::printf("\nratios to %s: bulk one way and echo higher is better, set-up and RTT lower is better\n",
              base.name.c_str());
  std::printf("%-18s %9s %9s %12s %9s\n", "path", "bulk", "echo", "set-up p50", "RTT p50");
  for (const Row& r : rows)
    std::printf("%-18s %s %s %s %s\n", r.name.c_str(), ratio(med(r.bulk), med(base.bulk), 9).c_str(),
                ratio(med(r.echo), med(base.echo), 9).c_str(),
                ratio(med(r.total), med(base.total), 12).c_str(),
                ratio(med(r.rtt), med(base.rtt), 9).c_str());

  if (base.name == "redsocks->Dante") {
    const Row& e = rows[2];
    auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    const double setupRatio = med(e.total) / med(base.total), bulkRatio = med(e.bulk) / med(base.bulk),
                 echoRatio = med(e.echo) / med(base.echo), rttRatio = med(e.rtt) / med(base.rtt);
    std::printf("\ngoals for %s against %s:\n", e.name.c_str(), base.name.c_str());
    std::printf("  set-up p50      %.2fx  (<= 1.00x) %s\n", setupRatio, verdict(setupRatio <= 1.0));
    std::printf("  bulk one way    %.2fx  (>= 1.00x) %s\n", bulkRatio, verdict(bulkRatio >= 1.0));
    std::printf("  echo both ways  %.2fx  (>= 1.00x) %s\n", echoRatio, verdict(echoRatio >= 1.0));
    std::printf("  64 B RTT p50    %.2fx  (<= 0.80x) %s\n", rttRatio, verdict(rttRatio <= 0.8));
    std::printf("  burst of %d     %d opened, %lld listen overflows %s\n", kBurstThreads * kBurstEach,
                e.burst.opened, e.burst.overflows,
                verdict(e.burst.opened == kBurstThreads * kBurstEach && e.burst.overflows == 0));
  }
  return failed ? 1 : 0;
}
