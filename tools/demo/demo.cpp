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
// tunnel, and the other program's go direct. Then the game asks DNS for a
// name the filter file has the engine resolve through the node, and the
// address it learns steers its next web connection through the relay; last,
// it pings an address the configuration's ICMP rule covers and is answered
// after the rule's delay.
// The counters arrive once a second on the notification descriptor. Nothing
// leaves the machine.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "live_ip.h"
#include "live_tcp.h"
#include "live_udp.h"
#include "loopback_world.h"
#include "lumo/lumo.h"
#include "platform/files.h"
#include "platform/module.h"
#include "platform/net.h"
#include "platform/services.h"
#include "rules/filter_file.h"
#include "sim_driver.h"
#include "udp/internet_checksum.h"

namespace {

using demo::kPassword;
using demo::kUser;

// The node's DNS service port, the one the engine asks.
constexpr uint16_t kNodeDnsPort = 5312;
// The rule text: pings to this network are answered after 20 ms. The node
// maps nothing there, so it never answers them itself.
constexpr const char* kIcmpRule = "198.51.100.0/24,20-20";

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

std::string describe(const platform::SocketAddress28& field) {
  platform::SocketAddress a;
  return platform::fromDriverAddress(field, a) ? describe(a) : "?";
}

// Sends `count` datagrams of `size` bytes, one every 200 ms, each waiting for
// its echo; true when every echo came back whole from `to`.
bool exchangeDatagrams(simdrv::LiveUdp::Socket& s, const platform::SocketAddress28& to, int count,
                       size_t size) {
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

// A DNS query for the A record of `name` (dotted, no trailing dot), with
// recursion desired.
std::string dnsQuery(const std::string& name, uint16_t id) {
  std::string q = {static_cast<char>(id >> 8), static_cast<char>(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  for (size_t start = 0; start <= name.size();) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    q.push_back(static_cast<char>(dot - start));
    q.append(name, start, dot - start);
    start = dot + 1;
  }
  q.append("\0\0\1\0\1", 5);  // the root label, type A, class IN
  return q;
}

// The A records of a DNS answer to `id` as "address (TTL n s)", comma
// separated; empty when it is no such answer or holds none.
std::string dnsAnswerText(const std::string& answer, uint16_t id) {
  const auto* p = reinterpret_cast<const uint8_t*>(answer.data());
  const size_t size = answer.size();
  if (size < 12 || (p[0] << 8 | p[1]) != id || (p[2] & 0x80) == 0) return {};
  const unsigned questions = p[4] << 8 | p[5], answers = p[6] << 8 | p[7];
  size_t at = 12;
  auto skipName = [&] {
    while (at < size) {
      if ((p[at] & 0xC0) == 0xC0) {
        at += 2;
        return;
      }
      if (p[at] == 0) {
        ++at;
        return;
      }
      at += 1 + p[at];
    }
  };
  for (unsigned i = 0; i < questions; ++i) {
    skipName();
    at += 4;
  }
  std::string text;
  for (unsigned i = 0; i < answers && at < size; ++i) {
    skipName();
    if (at + 10 > size) break;
    const unsigned type = p[at] << 8 | p[at + 1];
    const uint32_t ttl =
        static_cast<uint32_t>(p[at + 4]) << 24 | p[at + 5] << 16 | p[at + 6] << 8 | p[at + 7];
    const size_t length = p[at + 8] << 8 | p[at + 9];
    at += 10;
    if (at + length > size) break;
    if (type == 1 && length == 4) {
      if (!text.empty()) text += ", ";
      text += std::to_string(p[at]) + "." + std::to_string(p[at + 1]) + "." + std::to_string(p[at + 2]) +
              "." + std::to_string(p[at + 3]) + " (TTL " + std::to_string(ttl) + " s)";
    }
    at += length;
  }
  return text;
}

// An echo request from 192.0.2.10 to `destination` (network order) as a
// pinging program builds it: identifier 0x1337, 32 payload bytes.
std::string echoRequest(uint32_t destination, uint16_t sequence) {
  std::string packet(20 + 8 + 32, '\0');
  auto* p = reinterpret_cast<uint8_t*>(packet.data());
  p[0] = 0x45;
  p[3] = static_cast<uint8_t>(packet.size());
  p[8] = 128;
  p[9] = 1;  // ICMP
  const uint32_t source = platform::ipv4(192, 0, 2, 10);
  std::memcpy(p + 12, &source, 4);
  std::memcpy(p + 16, &destination, 4);
  p[20] = 8;  // echo request
  p[24] = 0x13, p[25] = 0x37;
  p[26] = static_cast<uint8_t>(sequence >> 8), p[27] = static_cast<uint8_t>(sequence);
  for (size_t i = 28; i < packet.size(); ++i) p[i] = static_cast<uint8_t>('a' + i % 23);
  udp::StoreChecksum(p + 22, udp::InternetChecksum(p + 20, packet.size() - 20));
  udp::StoreChecksum(p + 10, udp::InternetChecksum(p, 20));
  return packet;
}

// The filter file the engine reads at Init: steer.example is resolved
// through the node, table.example has a fixed address.
bool writeFilterFile(const std::filesystem::path& path) {
  std::string file, error;
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  return rules::EncipherFilterText(
             "0,0,0,0,steer.example,1,n\n"
             "0,0,0,0,table.example,1,n,1,198.51.100.7\n",
             file, error) == rules::CipherResult::kOk &&
         platform::writeFileAtomically(path, file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    std::printf(
        "usage: lumo-demo\n\nSteers a simulated game's TCP connection and UDP datagrams through the\n"
        "engine, a local lumo-node and local echo servers, has the engine answer\n"
        "its DNS query and steer the connection that follows, and its pings\n"
        "after the ICMP rule's delay, printing what each export returned and the\n"
        "traffic counters once a second. Loopback only.\n");
    return std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ? 0 : 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  demo::useLoopbackResolver();
  demo::EchoServer server;
  demo::UdpEchoServer udpServer;
  // The node's DNS service answers steer.example from a hosts file of its
  // own, and its web port leads to the echo server.
  const std::filesystem::path hostsFile =
      std::filesystem::temp_directory_path() / ("lumo-demo-hosts-" + std::to_string(getpid()));
  if (FILE* f = std::fopen(hostsFile.c_str(), "w")) {
    std::fputs("203.0.113.5 steer.example\n", f);
    std::fclose(f);
  }
  // The engine's resolver asks the node first and its backup server 500 ms
  // later; the backup is the node's DNS service too, never a public server.
  const std::string nodeDns = "127.0.0.1:" + std::to_string(kNodeDnsPort);
  setenv("LUMO_DNS_BACKUP", nodeDns.c_str(), 1);
  demo::Node node;
  const bool nodeStarted =
      server.port() != 0 &&
      node.start({"--map", "203.0.113.5:443=127.0.0.1:" + std::to_string(server.port()), "--dns-port",
                  std::to_string(kNodeDnsPort), "--dns-hosts", hostsFile.string()});
  if (server.port() == 0 || udpServer.port() == 0 || !nodeStarted) {
    std::filesystem::remove(hostsFile);
    std::fprintf(stderr, "lumo-demo: cannot start the echo servers or lumo-node\n");
    return 1;
  }
  std::printf(
      "game server  : echo servers on 127.0.0.1, TCP %u and UDP %u, known to the game as 203.0.113.5\n",
      server.port(), udpServer.port());
  std::printf(
      "proxy node   : lumo-node on 127.0.0.1, SOCKS5 %u and UDP tunnel %u (user %s), mapping\n"
      "               203.0.113.0/24 to 127.0.0.1 (203.0.113.5:443 to the TCP echo server); DNS\n"
      "               service on %s answering steer.example = 203.0.113.5 from a hosts file\n"
      "filter file  : steer.example resolved through the node, table.example = 198.51.100.7\n"
      "ICMP rule    : %s (pings there answered after 20 ms)\n",
      node.port(), node.udpPort(), kUser, nodeDns.c_str(), kIcmpRule);

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
  simdrv::LiveIp liveIp(driver);

  int notify[2];
  socketpair(AF_UNIX, SOCK_DGRAM, 0, notify);

  // Init reads the filter file from the library's folder; it is not needed
  // afterwards.
  const std::filesystem::path filterFile = platform::libraryFolder() / "config" / "filter.txt";
  const bool filterWritten = writeFilterFile(filterFile);
  const bool initialised = Init(0);
  std::error_code ignored;
  std::filesystem::remove(filterFile, ignored);
  std::filesystem::remove(filterFile.parent_path(), ignored);  // when it is empty
  std::printf("\nInit(0)                       -> %s%s\n", yesNo(initialised),
              filterWritten ? "" : " (the filter file could not be written)");
  const std::string game = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  LUMO_PROCESS_ENTRY entry{};
  std::snprintf(entry.name, sizeof entry.name, "%s", game.c_str());
  entry.value = 1;
  const uint32_t nodeAddress = platform::ipv4(127, 0, 0, 1);
  const uint32_t nodePort = platform::hostToNet16(node.port());
  const bool configured =
      SetConfig("demo", 0, kUser, 0, kPassword, 0, &entry, 1, 0, kIcmpRule, nodeAddress, nodePort,
                platform::hostToNet16(node.udpPort()), 7, 0, static_cast<uintptr_t>(notify[0]), 0);
  std::printf("SetConfig(game \"%s\", rules \"%s\") -> %s\n", entry.name, kIcmpRule, yesNo(configured));
  std::printf("Start(tcp=1, udp=1, ...)      -> %s\n\n", yesNo(Start(1, 1, 0, 0, 0, 0)));

  std::atomic<bool> stop{false};
  std::thread counters(printCounters, notify[1], std::ref(stop));

  const platform::SocketAddress28 destination = simdrv::ipv4("203.0.113.5", server.port());
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
  const platform::SocketAddress28 udpDestination = simdrv::ipv4("203.0.113.5", udpServer.port());
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

  // DNS: the game's query to the virtual DNS address is answered by the
  // engine, and the address learned from it steers the next web connection.
  // The engine leaves its own process's DNS alone, and the demo process is
  // both client and game: the query is reported as sent by pid 1.
  const platform::SocketAddress28 webDestination = simdrv::ipv4("203.0.113.5", 443);
  simdrv::LiveTcp::Connection before = live.connect(static_cast<uint32_t>(getpid()), webDestination);
  platform::SocketAddress decided;
  platform::fromDriverAddress(before.verdict.remoteAddress, decided);
  std::printf("\ngame connects to 203.0.113.5:443 before any DNS answer -> %s\n",
              decided.port() == platform::hostToNet16(443) ? "left alone (a web port, no learned name)"
                                                           : "redirected (UNEXPECTED)");
  live.close(before);
  simdrv::LiveUdp::Socket resolverSocket = liveUdp.open(1);
  if (!resolverSocket.valid()) {
    std::printf("the game's DNS socket failed: %s\n", resolverSocket.error().c_str());
  } else {
    const platform::SocketAddress28 virtualDns = simdrv::ipv4("8.8.8.1", 53);
    struct Question {
      const char* name;
      const char* road;
      uint16_t id;
    } questions[] = {{"steer.example", "resolved by the engine through the node's DNS service", 0x5101},
                     {"table.example", "answered by the engine from the filter file's table", 0x5102}};
    for (const Question& q : questions) {
      const bool sentQuery =
          resolverSocket.sendTo(virtualDns, dnsQuery(q.name, q.id)) == simdrv::LiveUdp::SendResult::Reported;
      std::optional<simdrv::LiveUdp::Datagram> answer =
          sentQuery ? resolverSocket.recvFrom(5000) : std::nullopt;
      const std::string text = answer ? dnsAnswerText(answer->data, q.id) : std::string();
      std::printf("game asks %s for %s A (sent as pid 1) -> %s\n  (%s)\n", describe(virtualDns).c_str(),
                  q.name, text.empty() ? "NO ANSWER" : text.c_str(), q.road);
    }
    resolverSocket.close();
  }
  simdrv::LiveTcp::Connection learned = live.connect(static_cast<uint32_t>(getpid()), webDestination);
  if (learned.socket == platform::kInvalidSocket) {
    std::printf("the game's connect failed: %s\n", learned.error.c_str());
  } else {
    const bool redirected = learned.connectedTo.port() != platform::hostToNet16(443);
    std::printf("game connects to the learned 203.0.113.5:443 -> %s %s\n",
                redirected ? "redirected to the relay at" : "NOT redirected, went to",
                describe(learned.connectedTo).c_str());
    std::printf("game exchanged 4 KiB with its web server through relay and node: %s\n",
                talk(learned.socket, 1, 4096) ? "echoed intact" : "FAILED");
    live.close(learned);
  }

  // ICMP: the game's pings to the rule's network go through the node's
  // tunnel; the node does not answer them (it pings only loopback), so the
  // engine's own reply comes after the rule's delay.
  std::printf("\n");
  for (uint16_t sequence = 1; sequence <= 3; ++sequence) {
    const std::string request = echoRequest(platform::ipv4(198, 51, 100, 20), sequence);
    const auto sentAt = std::chrono::steady_clock::now();
    if (liveIp.send(static_cast<uint32_t>(getpid()), request) != simdrv::LiveIp::SendResult::Reported) {
      std::printf("game's ping %u to 198.51.100.20 -> NOT handed to the engine\n", sequence);
      continue;
    }
    std::optional<simdrv::LiveIp::Packet> reply = liveIp.receive(5000);
    if (!reply) {
      std::printf("game's ping %u to 198.51.100.20 -> NO REPLY\n", sequence);
      continue;
    }
    const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(reply->arrived - sentAt);
    std::printf("game's ping %u to 198.51.100.20 -> echo reply after %.1f ms (%s)\n", sequence,
                static_cast<double>(waited.count()) / 1000.0,
                reply->injected ? "the engine's own, the node being silent" : "from the network");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
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
  std::filesystem::remove(hostsFile);
  return 0;
}
