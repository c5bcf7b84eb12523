// lumo-demo: the engine at work on a machine without the kernel driver.
//
// It plays every part around the engine on loopback: a game server (an echo
// server on 127.0.0.1 that the outside world knows as 203.0.113.5), the
// acceleration service's proxy node (lumo-node, mapping 203.0.113.0/24 to
// 127.0.0.1), and the simulated filter driver that reports the game's
// connects. The client side calls the nine exports as a real client would,
// then a "game" (this process) and an "other program" (process 1) connect to
// the game server: the game's connection is redirected to the relay and
// carried through the node, the other one goes direct. The counters arrive
// once a second on the notification descriptor. Nothing leaves the machine.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "live_tcp.h"
#include "lumo/lumo.h"
#include "platform/net.h"
#include "platform/netinfo.h"
#include "platform/services.h"
#include "sim_driver.h"

extern char** environ;

namespace {

constexpr const char* kUser = "player";
constexpr const char* kPassword = "1001";

// The game server: echoes every byte on every connection.
class EchoServer {
 public:
  EchoServer() {
    listener_ = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    platform::SocketAddress a = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
    if (!platform::bindSocket(listener_, a) || !platform::listenSocket(listener_, 16) ||
        !platform::localAddressOf(listener_, a))
      return;
    port_ = platform::netToHost16(a.port());
    thread_ = std::thread([this] {
      while (!stopping_) {
        if (platform::waitReadable(listener_, 100) <= 0) continue;
        platform::Socket c = platform::acceptSocket(listener_, nullptr);
        if (c == platform::kInvalidSocket) continue;
        std::thread([c] {
          char buffer[16384];
          for (int n; (n = platform::receiveBytes(c, buffer, sizeof buffer)) > 0;)
            if (platform::sendBytes(c, buffer, static_cast<size_t>(n)) != n) break;
          platform::closeSocket(c);
        }).detach();
      }
    });
  }
  ~EchoServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    platform::closeSocket(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  platform::Socket listener_ = platform::kInvalidSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// lumo-node as a child process; its first output line names its port.
class Node {
 public:
  bool start() {
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {LUMO_NODE_PROGRAM, "--listen", "127.0.0.1", "--port", "0", "--user", kUser,
                                     "--password", kPassword, "--map", "203.0.113.0/24=127.0.0.1"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, LUMO_NODE_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      return false;
    }
    std::string line;
    char ch;
    while (read(out[0], &ch, 1) == 1 && ch != '\n') line.push_back(ch);
    close(out[0]);
    const size_t colon = line.rfind(':');
    if (colon == std::string::npos) return false;
    port_ = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
    return port_ != 0;
  }
  ~Node() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = 0;
  uint16_t port_ = 0;
};

const char* yesNo(bool value) { return value ? "true" : "false"; }

std::string describe(const platform::SocketAddress& a) {
  return platform::addressToText(a) + ":" + std::to_string(platform::netToHost16(a.port()));
}

// Prints each one-second counter message as it comes.
void printCounters(int fd, std::atomic<bool>& stop) {
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) != 1) continue;
    uint32_t m[3];
    if (recv(fd, m, sizeof m, 0) == 12)
      std::printf("  [one-second message %u]  sent %u bytes, received %u bytes through the node\n", m[0], m[1],
                  m[2]);
  }
}

// Sends `rounds` chunks on a connection and checks each echo.
bool talk(platform::Socket s, int rounds, size_t chunk) {
  std::vector<uint8_t> out(chunk), in(chunk);
  for (int r = 0; r < rounds; ++r) {
    for (size_t i = 0; i < chunk; ++i) out[i] = static_cast<uint8_t>(i * 7 + r);
    if (platform::sendBytes(s, out.data(), chunk) != static_cast<int>(chunk)) return false;
    size_t got = 0;
    while (got < chunk) {
      const int n = platform::receiveBytes(s, in.data() + got, chunk - got);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    if (in != out) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    std::printf("usage: lumo-demo\n\nSteers a simulated game's TCP connection through the engine, a local\n"
                "lumo-node and a local echo server, printing what each export returned\n"
                "and the traffic counters once a second. Loopback only.\n");
    return std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ? 0 : 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The engine probes the system's DNS servers at start; the demo gives it a
  // resolver file of its own that names only loopback, so nothing it does
  // reaches a real server.
  const std::filesystem::path resolver = std::filesystem::temp_directory_path() / "lumo-demo-resolv.conf";
  if (FILE* f = std::fopen(resolver.c_str(), "w")) {
    std::fputs("nameserver 127.0.0.1\n", f);
    std::fclose(f);
  }
  platform::setResolverConfigPath(resolver.string());
  EchoServer server;
  Node node;
  if (server.port() == 0 || !node.start()) {
    std::fprintf(stderr, "lumo-demo: cannot start the echo server or lumo-node\n");
    return 1;
  }
  std::printf("game server  : echo server on 127.0.0.1:%u, known to the game as 203.0.113.5:%u\n", server.port(),
              server.port());
  std::printf("proxy node   : lumo-node on 127.0.0.1:%u (user %s), mapping 203.0.113.0/24 to 127.0.0.1\n",
              node.port(), kUser);

  // The simulated driver stands where the kernel driver would, and the
  // driver service's start brings it up.
  simdrv::SimDriver driver;
  driver.install();
  platform::attachSimulatedService(u"LumoDriverSys", [] { return true; }, [] {});
  simdrv::LiveTcp live(driver);
  live.map("203.0.113.0/24", "127.0.0.1");

  int notify[2];
  socketpair(AF_UNIX, SOCK_DGRAM, 0, notify);

  std::printf("\nInit(0)                       -> %s\n", yesNo(Init(0)));
  const std::string game = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  LUMO_PROCESS_ENTRY entry{};
  std::snprintf(entry.name, sizeof entry.name, "%s", game.c_str());
  entry.value = 1;
  const uint32_t nodeAddress = platform::ipv4(127, 0, 0, 1);
  const uint32_t nodePort = platform::hostToNet16(node.port());
  const bool configured = SetConfig("demo", 0, kUser, 0, kPassword, 0, &entry, 1, 0, "", nodeAddress, nodePort,
                                    nodePort, 7, 0, static_cast<uintptr_t>(notify[0]), 0);
  std::printf("SetConfig(game \"%s\")  -> %s\n", entry.name, yesNo(configured));
  std::printf("Start(tcp=1, udp=0, ...)      -> %s\n\n", yesNo(Start(1, 0, 0, 0, 0, 0)));

  std::atomic<bool> stop{false};
  std::thread counters(printCounters, notify[1], std::ref(stop));

  const simdrv::SockAddr destination = simdrv::ipv4("203.0.113.5", server.port());
  simdrv::LiveTcp::Connection steered = live.connect(static_cast<uint32_t>(getpid()), destination);
  if (steered.socket == platform::kInvalidSocket) {
    std::printf("the game's connect failed: %s\n", steered.error.c_str());
  } else {
    std::printf("game (pid %d) connects to 203.0.113.5:%u -> redirected to the relay at %s\n", getpid(),
                server.port(), describe(steered.connectedTo).c_str());
    const bool ok = talk(steered.socket, 16, 32 * 1024);
    std::printf("game exchanged 16 x 32 KiB with its server through relay and node: %s\n",
                ok ? "all echoed intact" : "FAILED");
    live.close(steered);
  }

  simdrv::LiveTcp::Connection direct = live.connect(1, destination);
  if (direct.socket != platform::kInvalidSocket) {
    std::printf("other program (pid 1) connects to 203.0.113.5:%u -> goes direct to %s\n", server.port(),
                describe(direct.connectedTo).c_str());
    std::printf("other program exchanged 4 KiB directly: %s\n",
                talk(direct.socket, 1, 4096) ? "echoed, not counted" : "FAILED");
    live.close(direct);
  }

  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  uint32_t sent = 0, received = 0;
  GetFlow(&sent, &received);
  std::printf("\nGetFlow                       -> sent %u, received %u (since the last one-second message)\n", sent,
              received);
  std::printf("Stop(1)                       -> %s\n", yesNo(Stop(1)));
  std::printf("UnInit(1)                     -> %s\n", yesNo(UnInit(1)));
  stop = true;
  counters.join();
  close(notify[0]);
  close(notify[1]);
  return 0;
}
