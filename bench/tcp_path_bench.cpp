// The accelerated TCP path against the two paths it is made of, in one run:
//   direct  the application talks to the echo server itself;
//   socks5  the application speaks SOCKS5 to lumo-node itself (no relay hop);
//   engine  the application's connect is reported by the simulated driver,
//           redirected by the engine to its relay, and carried through the
//           relay and lumo-node (SOCKS5) to the echo server;
//   relay   the relay on its own, its node refusing, so that it carries the
//           connection straight to the echo server: the relay's own copying,
//           without the node's.
// For each: connection set-up (connect until the first byte has come back,
// averaged) and echo throughput over one connection, as medians of a few
// rounds; then a burst of connections opened at once by many threads (how
// many waited a second or more: a SYN that the listener dropped and that was
// sent again). Prints the figures and the ratios to the direct path.
// Loopback only.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
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

namespace {

using Clock = std::chrono::steady_clock;
using Connector = std::function<platform::Socket()>;

constexpr int kSetupRounds = 200;
constexpr size_t kThroughputBytes = 64u << 20;
constexpr size_t kChunk = 64u << 10;
constexpr int kRounds = 3;
constexpr int kBurstThreads = 20;
constexpr int kBurstEach = 10;

bool echoOnce(platform::Socket s) {
  char byte = 'x';
  return platform::sendBytes(s, &byte, 1) == 1 && platform::receiveBytes(s, &byte, 1) == 1;
}

// Mean microseconds from the start of a connect to the first echoed byte.
double setupMicros(const Connector& connect) {
  double total = 0;
  for (int i = 0; i < kSetupRounds; ++i) {
    const auto start = Clock::now();
    platform::Socket s = connect();
    if (s == platform::kInvalidSocket || !echoOnce(s)) {
      platform::closeSocket(s);
      return -1;
    }
    total += std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    platform::closeSocket(s);
  }
  return total / kSetupRounds;
}

// MB/s of echoed bytes over one connection, writer and reader in parallel.
double throughputMBps(const Connector& connect) {
  platform::Socket s = connect();
  if (s == platform::kInvalidSocket) return -1;
  std::vector<char> out(kChunk, 'p');
  const auto start = Clock::now();
  std::thread writer([&] {
    for (size_t sent = 0; sent < kThroughputBytes;) {
      const int n = platform::sendBytes(s, out.data(), kChunk);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  });
  std::vector<char> in(kChunk);
  size_t received = 0;
  while (received < kThroughputBytes) {
    const int n = platform::receiveBytes(s, in.data(), in.size());
    if (n <= 0) break;
    received += static_cast<size_t>(n);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  platform::closeSocket(s);
  return received == kThroughputBytes ? received / seconds / 1e6 : -1;
}

double medianOf(const std::function<double()>& measure) {
  std::vector<double> values;
  for (int i = 0; i < kRounds; ++i) values.push_back(measure());
  std::sort(values.begin(), values.end());
  return values.front() < 0 ? -1 : values[values.size() / 2];
}

struct Burst {
  int opened = 0;
  int slow = 0;  // took a second or more
  double slowestMs = 0;
};

// kBurstThreads threads each open kBurstEach connections at once and hold
// them open (each echoes one byte first, so its relay thread is running).
Burst burst(const Connector& connect) {
  Burst b;
  std::mutex lock;
  std::vector<platform::Socket> open;
  std::vector<std::thread> threads;
  for (int t = 0; t < kBurstThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kBurstEach; ++i) {
        const auto start = Clock::now();
        platform::Socket s = connect();
        const bool ok = s != platform::kInvalidSocket && echoOnce(s);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::lock_guard<std::mutex> guard(lock);
        if (ok) ++b.opened;
        if (ms >= 1000) ++b.slow;
        b.slowestMs = std::max(b.slowestMs, ms);
        open.push_back(s);
      }
    });
  for (std::thread& t : threads) t.join();
  for (platform::Socket s : open) platform::closeSocket(s);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the echo and relay threads end
  return b;
}

}  // namespace

int main() {
  demo::useLoopbackResolver();

  demo::EchoServer server;
  demo::Node node;
  if (server.port() == 0 || !node.start()) {
    std::fprintf(stderr, "tcp_path_bench: cannot start the echo server or lumo-node\n");
    return 1;
  }
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

  const platform::SocketAddress echoAddress =
      platform::makeIpv4Address(loopback, platform::hostToNet16(server.port()));
  const platform::SocketAddress documentation =
      platform::makeIpv4Address(platform::ipv4(203, 0, 113, 5), platform::hostToNet16(server.port()));
  const Connector direct = [&] {
    platform::Socket s = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    if (!platform::connectSocket(s, echoAddress)) {
      platform::closeSocket(s);
      return platform::kInvalidSocket;
    }
    platform::setNoDelay(s, true);
    return s;
  };
  const Connector socks5 = [&] {
    platform::Socket s = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    int32_t detail = 0;
    if (tcp::Socks5Connect(platform::kFamilyIpv4, s, documentation, loopback, nodePort, demo::kUser,
                           demo::kPassword, detail) != tcp::kSocks5Ok) {
      platform::closeSocket(s);
      return platform::kInvalidSocket;
    }
    platform::setNoDelay(s, true);
    return s;
  };
  const Connector engine = [&] {
    simdrv::LiveTcp::Connection c =
        live.connect(static_cast<uint32_t>(getpid()), simdrv::ipv4("203.0.113.5", server.port()));
    if (c.socket != platform::kInvalidSocket) platform::setNoDelay(c.socket, true);
    return c.socket;
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
  const Connector relayOnly = [&] {
    platform::Socket s = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    platform::SocketAddress local = platform::makeIpv4Address(loopback, 0);
    platform::bindSocket(s, local);
    platform::localAddressOf(s, local);
    tcp::REDIRECT_INFO entry;
    entry.info.ipFamily = platform::kFamilyIpv4;
    std::memcpy(entry.info.localAddress, local.bytes, 16);
    std::memcpy(entry.info.remoteAddress, echoAddress.bytes, 16);
    redirects.Insert(entry);
    if (!platform::connectSocket(
            s,
            platform::makeIpv4Address(loopback, platform::hostToNet16(relay.port(platform::kFamilyIpv4))))) {
      platform::closeSocket(s);
      return platform::kInvalidSocket;
    }
    platform::setNoDelay(s, true);
    return s;
  };

  struct Row {
    const char* name;
    const Connector* connect;
    double setup = 0, throughput = 0;
    Burst burst;
  } rows[] = {{"direct", &direct, 0, 0, {}},
              {"socks5", &socks5, 0, 0, {}},
              {"engine", &engine, 0, 0, {}},
              {"relay", &relayOnly, 0, 0, {}}};
  for (Row& r : rows) {
    r.setup = medianOf([&] { return setupMicros(*r.connect); });
    r.throughput = medianOf([&] { return throughputMBps(*r.connect); });
    r.burst = burst(*r.connect);
  }
  Stop(1);
  UnInit(1);
  running = 0;
  relay.joinAcceptLoop(platform::kFamilyIpv4);

  std::printf(
      "path     set-up (us)  vs direct   throughput (MB/s)  vs direct   burst: opened  >=1s  slowest (ms)"
      "\n");
  for (const Row& r : rows)
    std::printf("%-8s %11.1f  %8.2fx   %17.1f  %8.2fx   %13d  %4d  %12.1f\n", r.name, r.setup,
                r.setup / rows[0].setup, r.throughput, r.throughput / rows[0].throughput, r.burst.opened,
                r.burst.slow, r.burst.slowestMs);
  std::printf(
      "(medians of %d rounds; set-up: mean of %d connects to the first echoed byte; throughput: %zu MiB "
      "echoed over one connection; burst: %d connections by %d threads, held open)\n",
      kRounds, kSetupRounds, kThroughputBytes >> 20, kBurstThreads * kBurstEach, kBurstThreads);
  for (const Row& r : rows)
    if (r.setup < 0 || r.throughput < 0 || r.burst.opened != kBurstThreads * kBurstEach) return 1;
  return 0;
}
