// The accelerated TCP path against the two paths it is made of, in one run:
//   direct  the application talks to the echo server itself;
//   socks5  the application speaks SOCKS5 to lumo-node itself (no relay hop);
//   engine  the application's connect is reported by the simulated driver,
//           redirected by the engine to its relay, and carried through the
//           relay and lumo-node (SOCKS5) to the echo server.
// For each: connection set-up (connect until the first byte has come back,
// averaged) and echo throughput over one connection. Prints the figures and
// the ratios to the direct path. Loopback only.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "live_tcp.h"
#include "loopback_world.h"
#include "lumo/lumo.h"
#include "platform/net.h"
#include "platform/services.h"
#include "sim_driver.h"
#include "tcp/socks5_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using Connector = std::function<platform::Socket()>;

constexpr int kSetupRounds = 200;
constexpr size_t kThroughputBytes = 64u << 20;
constexpr size_t kChunk = 64u << 10;

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
  platform::attachSimulatedService(u"LumoDriverSys", [] { return true; }, [] {});
  simdrv::LiveTcp live(driver);
  live.map("203.0.113.0/24", "127.0.0.1");

  LUMO_PROCESS_ENTRY entry{};
  std::snprintf(entry.name, sizeof entry.name, "%s",
                std::filesystem::read_symlink("/proc/self/exe").filename().string().c_str());
  const uint32_t loopback = platform::ipv4(127, 0, 0, 1);
  const uint32_t nodePort = platform::hostToNet16(node.port());
  if (!Init(0) || !SetConfig("bench", 0, demo::kUser, 0, demo::kPassword, 0, &entry, 1, 0, "", loopback, nodePort,
                             nodePort, 7, 0, 0, 0) ||
      !Start(1, 0, 0, 0, 0, 0)) {
    std::fprintf(stderr, "tcp_path_bench: the engine did not start\n");
    return 1;
  }

  const platform::SocketAddress echoAddress = platform::makeIpv4Address(loopback, platform::hostToNet16(server.port()));
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
    simdrv::LiveTcp::Connection c = live.connect(static_cast<uint32_t>(getpid()), simdrv::ipv4("203.0.113.5", server.port()));
    if (c.socket != platform::kInvalidSocket) platform::setNoDelay(c.socket, true);
    return c.socket;
  };

  struct Row {
    const char* name;
    const Connector* connect;
    double setup = 0, throughput = 0;
  } rows[] = {{"direct", &direct}, {"socks5", &socks5}, {"engine", &engine}};
  for (Row& r : rows) {
    r.setup = setupMicros(*r.connect);
    r.throughput = throughputMBps(*r.connect);
  }
  Stop(1);
  UnInit(1);

  std::printf("path     set-up (us)  vs direct   throughput (MB/s)  vs direct\n");
  for (const Row& r : rows)
    std::printf("%-8s %11.1f  %8.2fx   %17.1f  %8.2fx\n", r.name, r.setup, r.setup / rows[0].setup, r.throughput,
                r.throughput / rows[0].throughput);
  std::printf("(set-up: mean of %d connects to the first echoed byte; throughput: %zu MiB echoed over one "
              "connection)\n",
              kSetupRounds, kThroughputBytes >> 20);
  for (const Row& r : rows)
    if (r.setup < 0 || r.throughput < 0) return 1;
  return 0;
}
