// lumo-demo: the engine at work on a machine without the kernel driver.
//
// It plays every part around the engine on loopback: a game server (TCP and
// UDP echo servers on 127.0.0.1 that the outside world knows as
// 203.0.113.5), the acceleration service's proxy node (lumo-node, mapping
// 203.0.113.0/24 to 127.0.0.1, with its UDP tunnel), and the simulated filter
// driver that reports the game's connects and datagrams. The client side
// calls the nine exports as a real client would, then a "game" (this process)
// and an "other program" (process 1) talk to the game server, first over TCP
// and then over UDP: the game's connection is redirected to the relay and
// carried through the node, its datagrams are carried through the node's
// tunnel, and the other program's go direct. The counters arrive once a
// second on the notification descriptor. Nothing leaves the machine.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "live_tcp.h"
#include "live_udp.h"
#include "loopback_world.h"
#include "lumo/lumo.h"
#include "platform/net.h"
#include "platform/services.h"
#include "sim_driver.h"

namespace {

using demo::kPassword;
using demo::kUser;

const char* yesNo(bool value) { return value ? "true" : "false"; }

std::string describe(const platform::SocketAddress& a) {
  return platform::addressToText(a) + ":" + std::to_string(platform::netToHost16(a.port()));
}

// What the one-second messages have reported so far.
std::atomic<uint64_t> reportedSent{0}, reportedReceived{0};

// Prints each one-second counter message as it comes.
void printCounters(int fd, std::atomic<bool>& stop) {
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) != 1) continue;
    uint32_t m[3];
    if (recv(fd, m, sizeof m, 0) != 12) continue;
    reportedSent += m[1];
    reportedReceived += m[2];
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

std::string describe(const simdrv::SockAddr& field) {
  platform::SocketAddress a;
  return platform::fromDriverAddress(field.data(), a) ? describe(a) : "?";
}

// Sends `count` datagrams of `size` bytes, one every 200 ms, each waiting for
// its echo; true when every echo came back whole from `to`.
bool exchangeDatagrams(simdrv::LiveUdp::Socket& s, const simdrv::SockAddr& to, int count, size_t size) {
  for (int i = 0; i < count; ++i) {
    std::string out(size, '\0');
    for (size_t k = 0; k < size; ++k) out[k] = static_cast<char>(k * 13 + static_cast<size_t>(i));
    if (s.sendTo(to, out) == simdrv::LiveUdp::SendResult::Failed) return false;
    std::optional<simdrv::LiveUdp::Datagram> echo = s.recvFrom(5000);
    if (!echo || echo->data != out || echo->from != to) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    std::printf(
        "usage: lumo-demo\n\nSteers a simulated game's TCP connection and UDP datagrams through the\n"
        "engine, a local lumo-node and local echo servers, printing what each\n"
        "export returned and the traffic counters once a second. Loopback only.\n");
    return std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ? 0 : 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  demo::useLoopbackResolver();
  demo::EchoServer server;
  demo::UdpEchoServer udpServer;
  demo::Node node;
  if (server.port() == 0 || udpServer.port() == 0 || !node.start()) {
    std::fprintf(stderr, "lumo-demo: cannot start the echo servers or lumo-node\n");
    return 1;
  }
  std::printf(
      "game server  : echo servers on 127.0.0.1, TCP %u and UDP %u, known to the game as 203.0.113.5\n",
      server.port(), udpServer.port());
  std::printf(
      "proxy node   : lumo-node on 127.0.0.1, SOCKS5 %u and UDP tunnel %u (user %s), mapping\n"
      "               203.0.113.0/24 to 127.0.0.1\n",
      node.port(), node.udpPort(), kUser);

  // The simulated driver stands where the kernel driver would, and the
  // driver service's start brings it up.
  simdrv::SimDriver driver;
  driver.install();
  platform::attachSimulatedService(
      u"LumoDriverSys", [] { return true; }, [] {});
  simdrv::LiveTcp live(driver);
  live.map("203.0.113.0/24", "127.0.0.1");
  simdrv::LiveUdp liveUdp(driver);
  liveUdp.map("203.0.113.0/24", "127.0.0.1");

  int notify[2];
  socketpair(AF_UNIX, SOCK_DGRAM, 0, notify);

  std::printf("\nInit(0)                       -> %s\n", yesNo(Init(0)));
  const std::string game = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  LUMO_PROCESS_ENTRY entry{};
  std::snprintf(entry.name, sizeof entry.name, "%s", game.c_str());
  entry.value = 1;
  const uint32_t nodeAddress = platform::ipv4(127, 0, 0, 1);
  const uint32_t nodePort = platform::hostToNet16(node.port());
  const bool configured =
      SetConfig("demo", 0, kUser, 0, kPassword, 0, &entry, 1, 0, "", nodeAddress, nodePort,
                platform::hostToNet16(node.udpPort()), 7, 0, static_cast<uintptr_t>(notify[0]), 0);
  std::printf("SetConfig(game \"%s\")  -> %s\n", entry.name, yesNo(configured));
  std::printf("Start(tcp=1, udp=1, ...)      -> %s\n\n", yesNo(Start(1, 1, 0, 0, 0, 0)));

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

  // UDP: the game's socket is reported to the engine when it opens, and its
  // datagrams travel through the node's tunnel; the other program's socket
  // is not the engine's business and its datagrams go straight.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  constexpr int kDatagrams = 5;
  constexpr size_t kDatagramBytes = 300;
  const simdrv::SockAddr udpDestination = simdrv::ipv4("203.0.113.5", udpServer.port());
  const uint64_t sentBefore = reportedSent, receivedBefore = reportedReceived;
  simdrv::LiveUdp::Socket gameSocket = liveUdp.open(static_cast<uint32_t>(getpid()));
  if (!gameSocket.valid()) {
    std::printf("\nthe game's UDP socket failed: %s\n", gameSocket.error().c_str());
  } else {
    std::printf("\ngame opens a UDP socket on %s -> %s\n", describe(gameSocket.local()).c_str(),
                gameSocket.reported() ? "reported to the engine (udpCreated)" : "NOT reported to the engine");
    const bool ok = exchangeDatagrams(gameSocket, udpDestination, kDatagrams, kDatagramBytes);
    std::printf(
        "game sent %d x %zu-byte datagrams to %s -> through the node's tunnel (127.0.0.1:%u);\n"
        "  echoes from %s: %s\n",
        kDatagrams, kDatagramBytes, describe(udpDestination).c_str(), node.udpPort(),
        describe(udpDestination).c_str(), ok ? "all back intact" : "FAILED");
    // The counters reach the client with the next one-second messages.
    const uint64_t expected = kDatagrams * kDatagramBytes;
    for (int i = 0;
         i < 30 && (reportedSent - sentBefore < expected || reportedReceived - receivedBefore < expected);
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::printf(
        "  counted by the one-second messages since the socket opened: sent %llu, received %llu bytes\n",
        static_cast<unsigned long long>(reportedSent - sentBefore),
        static_cast<unsigned long long>(reportedReceived - receivedBefore));
    gameSocket.close();
  }
  simdrv::LiveUdp::Socket otherSocket = liveUdp.open(1);
  if (otherSocket.valid()) {
    std::printf("other program (pid 1) opens a UDP socket on %s -> %s\n",
                describe(otherSocket.local()).c_str(),
                otherSocket.reported() ? "reported to the engine" : "not the engine's business");
    const bool ok = exchangeDatagrams(otherSocket, udpDestination, 1, kDatagramBytes);
    std::printf("other program sent 1 datagram to %s -> straight to the server: %s\n",
                describe(udpDestination).c_str(), ok ? "echoed, not counted" : "FAILED");
    otherSocket.close();
  }

  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  uint32_t sent = 0, received = 0;
  GetFlow(&sent, &received);
  std::printf("\nGetFlow                       -> sent %u, received %u (since the last one-second message)\n",
              sent, received);
  std::printf("Stop(1)                       -> %s\n", yesNo(Stop(1)));
  std::printf("UnInit(1)                     -> %s\n", yesNo(UnInit(1)));
  stop = true;
  counters.join();
  close(notify[0]);
  close(notify[1]);
  return 0;
}
