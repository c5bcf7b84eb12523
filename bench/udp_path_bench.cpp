// The steered UDP path of a game against the paths it is made of, in one run:
//   direct         the application's datagrams go straight to the echo
//                  server (once from a plain socket, once from the simulated
//                  application's socket that the steered path uses too);
//   two bare hops  the application sends to a minimal user-space UDP
//                  forwarder in this process, which sends on to a second one
//                  in a child process, which sends to the echo server; the
//                  replies go back the same way. The hops of the steered
//                  path with nothing done at either;
//   engine + node  the simulated driver reports the application's socket and
//                  datagrams to the engine (in this process, through its
//                  exports), which carries them to lumo-node's UDP tunnel,
//                  from a proxy socket of its own or, with the direct
//                  transport, from the application's socket; the node sends
//                  them to the echo server behind 203.0.113.5 and the replies
//                  come back to the application from that address.
// For each: 64-byte request/response round trips (p50, p99) and 1,200-byte
// datagrams per second with a window of datagrams on the way. The paths are
// measured in alternating rounds, so that load from elsewhere on the machine
// falls on all of them alike. Printed: the table, the ratios of the steered
// path to two bare hops, where a round trip's time goes (moments taken as the
// first hop sends to the second and hears back from it), and the heap
// allocations per datagram on the steered path in steady state, put down to
// the code that made them. Loopback only.
//
// Usage: udp_path_bench [--only TEXT] [--pin CPU]  (only the paths whose name
// holds TEXT, for a profiler; every thread of the run, lumo-node and the
// second bare hop included, on one processor). The steered game is this program itself, by its name; a
// copy under a name longer than 15 characters shows what the engine's copies
// of a longer name cost per datagram.
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "live_udp.h"
#include "loopback_world.h"
#include "lumo/lumo.h"
#include "platform/net.h"
#include "platform/services.h"
#include "platform/time.h"
#include "sim_driver.h"
#include "udp/tunnel_header.h"
#include "udp_path_taps.h"

namespace {

using platform::SocketAddress;

constexpr size_t kRequestBytes = 64;
constexpr size_t kStreamBytes = 1200;
constexpr uint32_t kStreamWindow = 32;  // datagrams on the way at once
constexpr int kRounds = 10;
constexpr uint32_t kRoundTripsPerRound = 500;
constexpr double kStreamSecondsPerRound = 0.2;
constexpr uint32_t kWarmUpRoundTrips = 300;
constexpr uint32_t kAllocationRoundTrips = 2000;
constexpr uint32_t kStackRoundTrips = 500;
constexpr uint32_t kReplyTimeoutMs = 1000;
constexpr uint32_t kStreamTimeoutMs = 200;
constexpr uint32_t kDrainTimeoutMs = 100;

uint32_t nextSequence = 1;

// CPU time of a process so far (this one for 0), in nanoseconds.
int64_t cpuNanoseconds(pid_t process) {
  clockid_t clock = CLOCK_PROCESS_CPUTIME_ID;
  if (process != 0 && clock_getcpuclockid(process, &clock) != 0) return 0;
  timespec t{};
  if (clock_gettime(clock, &t) != 0) return 0;
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// CPU time spent while something ran: in this process (the application,
// the simulated driver, the engine, the first bare hop, the echo server)
// and in the process of the second hop (lumo-node or the second bare hop).
struct CpuTime {
  int64_t here = 0, secondHop = 0;
  int64_t switchesHere = 0;  // context switches of this process's threads
};

int64_t contextSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

class CpuWatch {
 public:
  explicit CpuWatch(pid_t secondHop)
      : secondHop_(secondHop),
        here_(cpuNanoseconds(0)),
        there_(secondHop != 0 ? cpuNanoseconds(secondHop) : 0),
        switches_(contextSwitches()) {}
  void addTo(CpuTime& total) const {
    total.here += cpuNanoseconds(0) - here_;
    total.switchesHere += contextSwitches() - switches_;
    if (secondHop_ != 0) total.secondHop += cpuNanoseconds(secondHop_) - there_;
  }

 private:
  pid_t secondHop_;
  int64_t here_, there_, switches_;
};

// The application's side of a path: it sends to one destination and takes
// what comes back.
class Client {
 public:
  virtual ~Client() = default;
  virtual bool send(const std::string& datagram) = 0;
  // The next datagram into `out`, waiting up to `timeoutMs`; false when none
  // came.
  virtual bool receive(std::string& out, uint32_t timeoutMs) = 0;
};

// A plain socket of the benchmark on 127.0.0.1.
class PlainClient final : public Client {
 public:
  explicit PlainClient(const SocketAddress& to) : to_(to) {
    socket_ = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
    platform::bindSocket(socket_, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0));
    buffer_.resize(65536);
  }
  ~PlainClient() override { platform::closeSocket(socket_); }
  bool send(const std::string& datagram) override {
    return platform::sendTo(socket_, datagram.data(), datagram.size(), to_) ==
           static_cast<int>(datagram.size());
  }
  bool receive(std::string& out, uint32_t timeoutMs) override {
    if (platform::waitReadable(socket_, timeoutMs) != 1) return false;
    const int n = platform::receiveFrom(socket_, buffer_.data(), buffer_.size(), nullptr);
    if (n < 0) return false;
    out.assign(buffer_.data(), static_cast<size_t>(n));
    return true;
  }

 private:
  platform::Socket socket_ = platform::kInvalidSocket;
  SocketAddress to_;
  std::vector<char> buffer_;
};

// A simulated application's socket (simdrv::LiveUdp) of process `processId`:
// the driver's rules decide whether its datagrams reach the engine.
class SimulatedClient final : public Client {
 public:
  SimulatedClient(simdrv::LiveUdp& live, uint32_t processId, const platform::SocketAddress28& to)
      : socket_(live.open(processId)), to_(to) {}
  bool valid() const { return socket_.valid(); }
  bool send(const std::string& datagram) override {
    const auto result = socket_.sendTo(to_, datagram);
    return result == simdrv::LiveUdp::SendResult::Reported || result == simdrv::LiveUdp::SendResult::Sent;
  }
  bool receive(std::string& out, uint32_t timeoutMs) override {
    std::optional<simdrv::LiveUdp::Datagram> d = socket_.recvFrom(timeoutMs);
    if (!d) return false;
    out.swap(d->data);
    return true;
  }

 private:
  simdrv::LiveUdp::Socket socket_;
  platform::SocketAddress28 to_;
};

// A bare user-space UDP hop: what arrives on its front socket goes on to
// `next` from its back socket, what comes back on the back socket goes to the
// front's latest sender. poll, recvfrom and sendto; nothing else.
class BareHop {
 public:
  explicit BareHop(const SocketAddress& next) : next_(next) {
    const SocketAddress loopback = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
    front_ = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
    back_ = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
    ok_ = platform::bindSocket(front_, loopback) && platform::bindSocket(back_, loopback) &&
          platform::localAddressOf(front_, frontAddress_);
  }
  ~BareHop() {
    platform::closeSocket(front_);
    platform::closeSocket(back_);
  }
  bool ok() const { return ok_; }
  const SocketAddress& front() const { return frontAddress_; }

  // Forwards until `stop` (an eventfd, or -1 for never) is signalled.
  void run(int stop) {
    char buffer[65536];
    sockaddr_storage client{};
    socklen_t clientLength = 0;
    const sockaddr_in next = toSockaddr(next_);
    pollfd waits[3] = {
        {static_cast<int>(front_), POLLIN, 0}, {static_cast<int>(back_), POLLIN, 0}, {stop, POLLIN, 0}};
    const nfds_t count = stop >= 0 ? 3 : 2;
    for (;;) {
      if (poll(waits, count, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (count == 3 && waits[2].revents != 0) return;
      // Each side is read until it is empty, as an event loop would.
      while ((waits[0].revents & POLLIN) != 0) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(static_cast<int>(front_), buffer, sizeof buffer, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) break;
        client = from;
        clientLength = fromLength;
        sendto(static_cast<int>(back_), buffer, static_cast<size_t>(n), 0,
               reinterpret_cast<const sockaddr*>(&next), sizeof next);
      }
      while ((waits[1].revents & POLLIN) != 0) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(static_cast<int>(back_), buffer, sizeof buffer, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) break;
        if (clientLength != 0)
          sendto(static_cast<int>(front_), buffer, static_cast<size_t>(n), 0,
                 reinterpret_cast<const sockaddr*>(&client), clientLength);
      }
    }
  }

 private:
  static sockaddr_in toSockaddr(const SocketAddress& a) {
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_port = a.port();
    s.sin_addr.s_addr = a.ipv4();
    return s;
  }

  SocketAddress next_;
  platform::Socket front_ = platform::kInvalidSocket;
  platform::Socket back_ = platform::kInvalidSocket;
  SocketAddress frontAddress_;
  bool ok_ = false;
};

// The second bare hop, in a child process of its own as lumo-node is. The
// child only polls and forwards (no allocation, no lock), which is safe in
// a child forked from a process with threads.
class ChildHop {
 public:
  explicit ChildHop(const SocketAddress& next) : hop_(next) {
    if (!hop_.ok()) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      hop_.run(-1);
      _exit(0);
    }
  }
  ~ChildHop() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ok() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const SocketAddress& front() const { return hop_.front(); }

 private:
  BareHop hop_;
  pid_t pid_ = -1;
};

// The first bare hop, on a thread of this process as the engine is.
class ThreadHop {
 public:
  explicit ThreadHop(const SocketAddress& next) : hop_(next), stop_(eventfd(0, EFD_CLOEXEC)) {
    if (hop_.ok() && stop_ >= 0) thread_ = std::thread([this] { hop_.run(stop_); });
  }
  ~ThreadHop() {
    if (thread_.joinable()) {
      const uint64_t one = 1;
      if (write(stop_, &one, sizeof one) == sizeof one) thread_.join();
    }
    if (stop_ >= 0) close(stop_);
  }
  bool ok() const { return thread_.joinable(); }
  const SocketAddress& front() const { return hop_.front(); }

 private:
  BareHop hop_;
  int stop_;
  std::thread thread_;
};

// One path's figures, gathered over the rounds.
struct Path {
  Path(std::string pathName, std::function<std::unique_ptr<Client>()> clientMaker,
       std::optional<SocketAddress> secondHopAddress = std::nullopt, bool isSteered = false)
      : name(std::move(pathName)),
        makeClient(std::move(clientMaker)),
        secondHop(secondHopAddress),
        steered(isSteered) {}

  std::string name;
  std::function<std::unique_ptr<Client>()> makeClient;
  std::optional<SocketAddress> secondHop;  // where the first hop sends on (for the split)
  bool steered = false;
  pid_t secondHopProcess = 0;  // the second hop's process, when it has one

  std::unique_ptr<Client> client;
  std::vector<double> roundTrips;  // microseconds
  uint64_t lostRoundTrips = 0;
  std::vector<double> toFirstHop, beyondFirstHop, backToApplication;  // microseconds
  uint64_t streamed = 0, streamSent = 0, streamLost = 0;
  double streamSeconds = 0;
  CpuTime roundTripCpu, streamCpu;
  uint64_t streamDatagrams = 0;  // both ways, late echoes included
  // Steady state, steered paths only.
  double allocationsPerRoundTripDatagram = -1, allocationsPerStreamDatagram = -1;
  std::map<std::string, uint64_t> allocationSites;
  uint64_t stacksKept = 0;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

// `count` 64-byte requests, one at a time, each waiting for its echo (a
// sequence number tells it from a late echo of an earlier one). Kept in
// `path` when `keep`.
void measureRoundTrips(Path& path, uint32_t count, bool keep) {
  std::string request(kRequestBytes, 'r'), reply;
  const bool split = keep && path.secondHop.has_value();
  if (split) {
    taps::clearRounds();
    taps::watch(*path.secondHop);
  }
  const CpuWatch cpu(path.secondHopProcess);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t sequence = nextSequence++;
    std::memcpy(request.data(), &sequence, sizeof sequence);
    taps::setRound(i);
    const int64_t start = taps::now();
    bool answered = path.client->send(request);
    while (answered) {
      answered = path.client->receive(reply, kReplyTimeoutMs);
      if (answered && reply == request) break;
    }
    const int64_t end = taps::now();
    if (!keep) continue;
    if (!answered) {
      ++path.lostRoundTrips;
      continue;
    }
    path.roundTrips.push_back(static_cast<double>(end - start) / 1e3);
    const int64_t out = taps::sentToPeerAt(i), back = taps::receivedFromPeerAt(i);
    if (split && out != 0 && back != 0 && start <= out && out <= back && back <= end) {
      path.toFirstHop.push_back(static_cast<double>(out - start) / 1e3);
      path.beyondFirstHop.push_back(static_cast<double>(back - out) / 1e3);
      path.backToApplication.push_back(static_cast<double>(end - back) / 1e3);
    }
  }
  taps::unwatch();
  if (keep) cpu.addTo(path.roundTripCpu);
}

// 1,200-byte datagrams for `seconds`, up to a window of them on the way; a
// window that gets no echo in time is counted lost and opened again. Late
// echoes are taken before the next measurement. Returns the datagrams sent
// and received (late ones included) for the allocation count.
uint64_t measureStream(Path& path, double seconds, bool keep) {
  std::string datagram(kStreamBytes, 's'), reply;
  uint64_t sent = 0, received = 0, late = 0;
  uint32_t onTheWay = 0;
  const CpuWatch cpu(path.secondHopProcess);
  const int64_t start = taps::now();
  const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
  while (taps::now() < end) {
    while (onTheWay < kStreamWindow && path.client->send(datagram)) {
      ++onTheWay;
      ++sent;
    }
    if (path.client->receive(reply, kStreamTimeoutMs)) {
      ++received;
      if (onTheWay > 0) --onTheWay;
    } else {
      onTheWay = 0;
    }
  }
  const double elapsed = static_cast<double>(taps::now() - start) / 1e9;
  while (path.client->receive(reply, kDrainTimeoutMs)) ++late;
  if (keep) {
    cpu.addTo(path.streamCpu);
    path.streamDatagrams += sent + received + late;
    path.streamed += received;
    path.streamSent += sent;
    path.streamLost += sent > received + late ? sent - received - late : 0;
    path.streamSeconds += elapsed;
  }
  return sent + received + late;
}

// Heap allocations per datagram (each direction counts one) in steady state,
// over round trips and over a stream, and the sites of a window of them.
void countAllocations(Path& path) {
  measureRoundTrips(path, kWarmUpRoundTrips, false);
  uint64_t before = taps::allocations();
  measureRoundTrips(path, kAllocationRoundTrips, false);
  path.allocationsPerRoundTripDatagram =
      static_cast<double>(taps::allocations() - before) / (2.0 * kAllocationRoundTrips);
  before = taps::allocations();
  const uint64_t datagrams = measureStream(path, kStreamSecondsPerRound, false);
  path.allocationsPerStreamDatagram =
      datagrams != 0 ? static_cast<double>(taps::allocations() - before) / static_cast<double>(datagrams)
                     : -1;
  taps::startStacks();
  measureRoundTrips(path, kStackRoundTrips, false);
  taps::stopStacks();
  path.allocationSites = taps::stackSites(path.stacksKept);
}

// Runs the paths of one phase in alternating rounds. False when a client
// could not be made.
bool runPhase(std::vector<Path*> paths) {
  for (Path* p : paths) {
    p->client = p->makeClient();
    if (!p->client) {
      std::fprintf(stderr, "udp_path_bench: no client for %s\n", p->name.c_str());
      return false;
    }
    measureRoundTrips(*p, kWarmUpRoundTrips, false);
    measureStream(*p, kStreamSecondsPerRound / 2, false);
  }
  for (int round = 0; round < kRounds; ++round) {
    for (Path* p : paths) {
      measureRoundTrips(*p, kRoundTripsPerRound, true);
      measureStream(*p, kStreamSecondsPerRound, true);
    }
  }
  for (Path* p : paths)
    if (p->steered) countAllocations(*p);
  // The simulated sockets close (and report it) while the engine still runs.
  for (Path* p : paths) p->client.reset();
  return true;
}

bool startEngine(const demo::Node& node, bool directTransport) {
  LUMO_PROCESS_ENTRY entry{};
  std::snprintf(entry.name, sizeof entry.name, "%s",
                std::filesystem::read_symlink("/proc/self/exe").filename().string().c_str());
  entry.value = 1;
  return SetConfig("bench", 0, demo::kUser, 0, demo::kPassword, 0, &entry, 1, 0, "",
                   platform::ipv4(127, 0, 0, 1), platform::hostToNet16(node.port()),
                   platform::hostToNet16(node.udpPort()), 7, 0, 0, 0) &&
         Start(0, 1, 0, 0, directTransport ? 1 : 0, 0);
}

void printTable(const std::vector<Path*>& paths) {
  std::printf("%-46s %9s %9s %6s  %12s %6s\n", "path", "p50 (us)", "p99 (us)", "lost", "datagrams/s", "lost");
  for (const Path* p : paths)
    std::printf("%-46s %9.1f %9.1f %6llu  %12.0f %6llu\n", p->name.c_str(), percentile(p->roundTrips, 0.50),
                percentile(p->roundTrips, 0.99), static_cast<unsigned long long>(p->lostRoundTrips),
                p->streamSeconds > 0 ? static_cast<double>(p->streamed) / p->streamSeconds : -1,
                static_cast<unsigned long long>(p->streamLost));
  std::printf(
      "(round trips: %d x %u of %zu bytes, one at a time; datagrams/s: %zu-byte echoes, %u on the way, "
      "%d x %.1f s)\n",
      kRounds, kRoundTripsPerRound, kRequestBytes, kStreamBytes, kStreamWindow, kRounds,
      kStreamSecondsPerRound);
}

void printRatios(const Path& steered, const Path& bare) {
  if (steered.roundTrips.empty() || bare.roundTrips.empty()) return;
  const double p50 = percentile(steered.roundTrips, 0.50) / percentile(bare.roundTrips, 0.50);
  const double p99 = percentile(steered.roundTrips, 0.99) / percentile(bare.roundTrips, 0.99);
  const double rate = (static_cast<double>(steered.streamed) / steered.streamSeconds) /
                      (static_cast<double>(bare.streamed) / bare.streamSeconds);
  std::printf("%s / %s:  p50 %.2fx  p99 %.2fx  (goal <= 1.10x: %s)   datagrams/s %.2fx\n",
              steered.name.c_str(), bare.name.c_str(), p50, p99,
              p50 <= 1.10 && p99 <= 1.10 ? "met" : "NOT met", rate);
}

void printSplit(const std::vector<Path*>& paths) {
  std::printf(
      "\nWhere a round trip goes (medians in us; moments taken as the first hop sends to the second and "
      "hears back):\n");
  std::printf("%-46s %14s %14s %14s %8s\n", "path", "app->sent on", "second hop+", "reply->app", "samples");
  for (const Path* p : paths) {
    if (!p->secondHop) continue;
    std::printf("%-46s %14.1f %14.1f %14.1f %8zu\n", p->name.c_str(), percentile(p->toFirstHop, 0.5),
                percentile(p->beyondFirstHop, 0.5), percentile(p->backToApplication, 0.5),
                p->toFirstHop.size());
  }
  std::printf(
      "(\"second hop+\": from the first hop's send until the reply reaches it: the node or the second bare "
      "hop, the echo server and loopback both ways)\n");
}

void printCpu(const std::vector<Path*>& paths) {
  std::printf("\nCPU time (us) per round trip and per streamed datagram (each way counts one):\n");
  std::printf("%-46s %10s %12s %12s %12s %14s\n", "path", "rt: here", "rt: 2nd hop", "rt: switches",
              "dgram: here", "dgram: 2nd hop");
  for (const Path* p : paths) {
    const double trips = static_cast<double>(p->roundTrips.size() + p->lostRoundTrips);
    const double datagrams = static_cast<double>(p->streamDatagrams);
    if (trips == 0 || datagrams == 0) continue;
    std::printf("%-46s %10.1f %12.1f %12.1f %12.2f %14.2f\n", p->name.c_str(),
                p->roundTripCpu.here / trips / 1e3, p->roundTripCpu.secondHop / trips / 1e3,
                static_cast<double>(p->roundTripCpu.switchesHere) / trips,
                p->streamCpu.here / datagrams / 1e3, p->streamCpu.secondHop / datagrams / 1e3);
  }
  std::printf(
      "(\"here\": this process: the application, the simulated driver, the engine, the first bare hop, the "
      "echo server; \"2nd hop\": lumo-node or the second bare hop; \"switches\": context switches of this "
      "process's threads, about one per hand-over from one thread to another)\n");
}

std::string loadAverage() {
  std::string text;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    char line[128];
    if (std::fgets(line, sizeof line, f) != nullptr) text = line;
    std::fclose(f);
  }
  return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

void printAllocations(const Path& p) {
  if (p.allocationsPerRoundTripDatagram < 0) return;
  std::printf("\nHeap allocations per datagram in steady state, %s (the whole process):\n", p.name.c_str());
  std::printf(
      "  round trips: %.2f   stream: %.2f   (the game's program name, which the engine keeps per flow, "
      "has %zu characters)\n",
      p.allocationsPerRoundTripDatagram, p.allocationsPerStreamDatagram,
      std::filesystem::read_symlink("/proc/self/exe").filename().string().size());
  const double datagrams = 2.0 * kStackRoundTrips;
  std::map<std::string, double> byOwner;
  byOwner["engine"] = 0;  // shown when it made none, which is the goal
  for (const auto& [site, count] : p.allocationSites)
    byOwner[site.substr(0, site.find("  "))] += count / datagrams;
  std::printf("  by owner over %u round trips (%llu stacks):", kStackRoundTrips,
              static_cast<unsigned long long>(p.stacksKept));
  for (const auto& [owner, perDatagram] : byOwner) std::printf("  %s %.2f", owner.c_str(), perDatagram);
  std::printf("\n  the engine's own per datagram: %.2f (goal 0: %s)\n", byOwner["engine"],
              byOwner["engine"] == 0 ? "met" : "NOT met");
  std::vector<std::pair<uint64_t, std::string>> sites;
  for (const auto& [site, count] : p.allocationSites) sites.emplace_back(count, site);
  std::sort(sites.rbegin(), sites.rend());
  for (const auto& [count, site] : sites)
    if (site.rfind("engine", 0) == 0)
      std::printf("    %.2f per datagram  %s\n", count / datagrams, site.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  taps::prepare();
  std::string only;
  int pin = -1;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 < argc && std::strcmp(argv[i], "--only") == 0) {
      only = argv[i + 1];
    } else if (i + 1 < argc && std::strcmp(argv[i], "--pin") == 0) {
      pin = std::atoi(argv[i + 1]);
    } else {
      std::printf("usage: udp_path_bench [--only TEXT] [--pin CPU]\n");
      return 2;
    }
  }
  if (pin >= 0) {
    // Before any thread or child starts, so that all of them inherit it.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(pin, &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) {
      std::fprintf(stderr, "udp_path_bench: cannot pin to processor %d\n", pin);
      return 2;
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  demo::useLoopbackResolver();

  demo::UdpEchoServer echo;
  if (echo.port() == 0) {
    std::fprintf(stderr, "udp_path_bench: cannot start the echo server\n");
    return 1;
  }
  const uint16_t echoPortNet = platform::hostToNet16(echo.port());
  const SocketAddress echoAddress = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), echoPortNet);
  ChildHop secondHop(echoAddress);
  ThreadHop firstHop(secondHop.front());
  demo::Node node;
  if (!secondHop.ok() || !firstHop.ok() || !node.start()) {
    std::fprintf(stderr, "udp_path_bench: cannot start the bare hops or lumo-node\n");
    return 1;
  }
  const SocketAddress tunnel =
      platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), platform::hostToNet16(node.udpPort()));

  simdrv::SimDriver driver;
  driver.install();
  platform::attachSimulatedService(
      u"LumoDriverSys", [] { return true; }, [] {});
  simdrv::LiveUdp live(driver);
  live.map("203.0.113.0/24", "127.0.0.1");
  const platform::SocketAddress28 server = simdrv::ipv4("203.0.113.5", echo.port());
  // Some other program: the engine's rules leave its datagrams alone.
  constexpr uint32_t kOtherProcess = 1;
  const uint32_t game = static_cast<uint32_t>(getpid());

  auto simulated = [&live](uint32_t processId, platform::SocketAddress28 to) {
    return [&live, processId, to]() -> std::unique_ptr<Client> {
      auto c = std::make_unique<SimulatedClient>(live, processId, to);
      if (!c->valid()) return nullptr;
      return c;
    };
  };
  const platform::SocketAddress28 firstHopField = platform::toDriverAddress(firstHop.front());

  Path plain{"direct, plain socket", [&] { return std::make_unique<PlainClient>(echoAddress); }};
  Path direct{"direct, simulated application", simulated(kOtherProcess, server)};
  Path bare{"two bare hops", simulated(kOtherProcess, firstHopField), secondHop.front()};
  Path steered{"engine + node, proxy sockets", simulated(game, server), tunnel, true};
  Path bareAgain{"two bare hops (beside the direct transport)", simulated(kOtherProcess, firstHopField),
                 secondHop.front()};
  Path steeredDirect{"engine + node, direct transport", simulated(game, server), tunnel, true};
  bare.secondHopProcess = bareAgain.secondHopProcess = secondHop.pid();
  steered.secondHopProcess = steeredDirect.secondHopProcess = node.pid();

  auto chosen = [&only](std::vector<Path*> paths) {
    std::vector<Path*> kept;
    for (Path* p : paths)
      if (only.empty() || p->name.find(only) != std::string::npos) kept.push_back(p);
    return kept;
  };
  const std::vector<Path*> phase1 = chosen({&plain, &direct, &bare, &steered});
  const std::vector<Path*> phase2 = chosen({&bareAgain, &steeredDirect});

  const std::string loadBefore = loadAverage();
  if (!Init(0)) std::fprintf(stderr, "udp_path_bench: Init returned false (going on, as Start does)\n");
  bool ok = true;
  for (const auto& [paths, directTransport] : {std::pair{phase1, false}, std::pair{phase2, true}}) {
    if (paths.empty()) continue;
    if (!startEngine(node, directTransport)) {
      std::fprintf(stderr, "udp_path_bench: the engine did not start\n");
      ok = false;
      break;
    }
    ok = runPhase(paths) && ok;
    Stop(0);
  }
  UnInit(1);

  std::vector<Path*> all = phase1;
  all.insert(all.end(), phase2.begin(), phase2.end());
  std::printf("load average of the machine: %s before, %s after (%u processors)", loadBefore.c_str(),
              loadAverage().c_str(), std::thread::hardware_concurrency());
  if (pin >= 0)
    std::printf("; every thread pinned to processor %d", pin);
  std::printf("\n\n");
  printTable(all);
  std::printf("\n");
  printRatios(steered, bare);
  printRatios(steeredDirect, bareAgain);
  printSplit(all);
  printCpu(all);
  printAllocations(steered);
  printAllocations(steeredDirect);
  for (const Path* p : all)
    if (p->roundTrips.empty()) ok = false;
  return ok ? 0 : 1;
}
