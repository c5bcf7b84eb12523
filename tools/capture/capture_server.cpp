// Linux: the programs' connections are SOCK_SEQPACKET Unix sockets (one
// message per packet, so a message is never split or merged), served by one
// epoll thread with non-blocking reads and writes; SO_PEERCRED names each
// connection's process and /proc/<pid>/exe its image.
#include "capture_server.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "capture_wire.h"
#include "driver_records.h"
#include "ipv4_packet.h"
#include "platform/process.h"
#include "platform/text.h"
#include "tcp_socket_stats.h"

namespace capture {
namespace {

using platform::SocketAddress28;
using Clock = std::chrono::steady_clock;

// Connection and flow ids of captured programs start far from those of the
// in-process live modes, so records of both read apart in a log.
constexpr uint64_t kFirstId = 0x100000000ull;
// How long the reporter waits for the library to take one batch, and the
// most it puts into one.
constexpr uint32_t kDeliverTimeoutMs = 3000;
constexpr size_t kBatchBytes = 256 * 1024;
// A program's connect waits this long for the library's verdict before it
// goes as asked; a destination's first UDP datagrams wait this long for a
// connect-request verdict before they are dropped.
constexpr auto kTcpVerdictWait = std::chrono::seconds(30);
constexpr auto kUdpVerdictWait = std::chrono::seconds(10);
// A closed UDP socket's flow still carries the library's sends this long:
// the program's capture library keeps the socket open for datagrams still on
// their way (a second), and the library writes what it injected before it
// saw the close right after it.
constexpr auto kClosedFlowLinger = std::chrono::seconds(2);
// The status list keeps a closed flow as long, and counts a TCP connect whose
// socket the system never showed as closed that long after its verdict.
constexpr auto kClosedShown = kClosedFlowLinger;
// TCP and ICMP flows kept per program for the status list.
constexpr size_t kMaxSocketFlows = 1024;
// IP protocol numbers, as the status list names them.
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;
// Messages read from one program before the others get their turn.
constexpr size_t kMessagesPerTurn = 64;
// While more than this waits to be written to a program, the library is not
// asked for the next datagram of its flows; a program that leaves this much
// unread is dropped.
constexpr size_t kCanReceiveRoom = 1 << 20;
constexpr size_t kOutboundLimit = 64 << 20;
// epoll keys of the two descriptors that are not programs.
constexpr uint64_t kListenerKey = 0;
constexpr uint64_t kWakeKey = 1;
// Where the socket's token sits in the options of a raw-IP record: after the
// family word.
constexpr size_t kTokenOffset = 2;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

SocketAddress28 fieldOf(const wire::Endpoint& e) { return simdrv::ipv4Field(e.address, e.port); }

// The IPv4 endpoint of a driver address field: family 2, or an IPv4-mapped
// IPv6 address. False for anything an IPv4 socket cannot reach.
bool endpointOf(const SocketAddress28& field, wire::Endpoint& out) {
  platform::SocketAddress a;
  if (!platform::fromDriverAddress(field, a)) return false;
  if (a.family() == platform::kFamilyIpv4) {
    out = wire::endpoint(a.ipv4(), a.port());
    return true;
  }
  static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(a.ipv6(), kMappedPrefix, sizeof kMappedPrefix) != 0) return false;
  uint32_t address;
  std::memcpy(&address, a.ipv6() + 12, 4);
  out = wire::endpoint(address, a.port());
  return true;
}

// A flow before its first datagram: only the family is known.
SocketAddress28 familyOnly() { return simdrv::ipv4Field(0, 0); }

template <class T>
std::vector<uint8_t> message(const T& fixed, std::string_view payload = {}) {
  std::vector<uint8_t> m(sizeof fixed + payload.size());
  std::memcpy(m.data(), &fixed, sizeof fixed);
  if (!payload.empty()) std::memcpy(m.data() + sizeof fixed, payload.data(), payload.size());
  return m;
}

// Hands records to the library in batches, in the order they were pushed,
// on a thread of its own: deliver() waits for the library's read, and no
// other thread of the server ever does.
class Reporter {
 public:
  using Dropped = std::function<void()>;

  Reporter(simdrv::SimDriver& driver, std::function<void(size_t)> onDropped)
      : driver_(driver), onDropped_(std::move(onDropped)) {}
  ~Reporter() { stop(); }

  void start() {
    thread_ = std::thread([this] { run(); });
  }

  // Any thread. `dropped` runs (on the reporter's thread, no lock held) when
  // the library did not take the records in time.
  void push(simdrv::Batch records, Dropped dropped = nullptr) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      queue_.push_back({std::move(records), std::move(dropped)});
    }
    changed_.notify_one();
  }

  // Delivers what is queued, then joins.
  void stop() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    changed_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

 private:
  struct Item {
    simdrv::Batch records;
    Dropped dropped;
  };

  void run() {
    for (;;) {
      std::vector<Item> items;
      size_t bytes = 0;
      {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        while (!queue_.empty() && (items.empty() || bytes + queue_.front().records.size() <= kBatchBytes)) {
          bytes += queue_.front().records.size();
          items.push_back(std::move(queue_.front()));
          queue_.pop_front();
        }
      }
      simdrv::Batch batch;
      for (const Item& item : items) batch.rawBytes(item.records.bytes().data(), item.records.size());
      if (driver_.deliver(batch, kDeliverTimeoutMs)) continue;
      onDropped_(items.size());
      for (Item& item : items)
        if (item.dropped) item.dropped();
    }
  }

  simdrv::SimDriver& driver_;
  std::function<void(size_t)> onDropped_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Item> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

// What the capture carried for a flow, for the status list.
struct Traffic {
  uint64_t upDatagrams = 0, upBytes = 0, downDatagrams = 0, downBytes = 0;
  void up(size_t bytes) {
    ++upDatagrams;
    upBytes += bytes;
  }
  void down(size_t bytes) {
    ++downDatagrams;
    downBytes += bytes;
  }
};

struct UdpFlow {
  uint64_t id = 0;  // the driver's flow id
  uint64_t connection = 0;
  uint32_t socket = 0;
  SocketAddress28 local{};
  std::string options;  // what reported datagrams carry
  bool reported = false;
  bool passThrough = false;
  uint32_t lastSequence = 0;  // of the program's datagrams that arrived
  // Connect-request verdicts by destination: where its datagrams go (a
  // family-0 field: blocked).
  std::map<SocketAddress28, SocketAddress28> decided;
  // Datagrams held behind a verdict being asked for, in order.
  struct Held {
    uint32_t sequence;
    SocketAddress28 to;
    std::string data;
  };
  std::deque<Held> held;
  bool asking = false;
  SocketAddress28 askingFor{};
  Clock::time_point askDeadline{};
  bool canReceiveHeld = false;  // a udpCanReceive waits for the program's room
  bool closed = false;          // closed by the program; udpClosed reported
  Clock::time_point closedUntil{};
  // For the status list.
  Clock::time_point created{};
  wire::Endpoint lastPeer{};
  Traffic traffic;
};

// A TCP connect or an ICMP socket of a program, kept only for the status
// list (UDP flows carry their own).
struct SocketFlow {
  uint8_t protocol = 0;
  wire::FlowDecision decision = wire::kDecisionWaiting;
  wire::Endpoint local{}, remote{}, target{};
  Clock::time_point created{};
  Clock::time_point decided{};  // TCP: when the verdict came
  bool seen = false;            // TCP: the system has shown its socket
  Traffic traffic;
  bool closed = false;
  Clock::time_point closedUntil{};

  void close(Clock::time_point now) {
    if (closed) return;
    closed = true;
    closedUntil = now + kClosedShown;
  }
};

struct Connection {
  uint64_t key = 0;  // epoll key, never reused
  Fd fd;
  uint32_t pid = 0;
  std::u16string image;
  std::string name;  // the image's file name, for the status list
  bool welcomed = false;
  // A status client's connection: it asked for the flows, and the answer is
  // being made.
  bool status = false;
  bool statusPending = false;
  std::deque<std::vector<uint8_t>> out;  // messages waiting for the socket's room
  size_t outBytes = 0;
  bool writeArmed = false;
  std::map<uint32_t, std::shared_ptr<UdpFlow>> udp;  // by the library's socket number
  std::map<uint32_t, uint64_t> trackedTcp;           // socket → connection id the library keeps
  std::map<uint32_t, uint64_t> icmp;                 // socket → token
  std::map<uint32_t, SocketFlow> sockets;            // TCP and ICMP, by socket number
};

struct PendingConnect {
  uint64_t connection = 0;
  uint32_t socket = 0;
  uint32_t request = 0;
  Clock::time_point deadline{};
};

struct IcmpSocket {
  uint64_t connection = 0;
  uint32_t socket = 0;
};

}  // namespace

struct CaptureServer::State {
  State(simdrv::SimDriver& d, std::string p, Log l)
      : driver(d),
        path(std::move(p)),
        log(l ? std::move(l) : [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }),
        reporter(d, [this](size_t n) {
          dropped += n;
          this->log("capture: the driver library took no records for " + std::to_string(kDeliverTimeoutMs) +
                    " ms: " + std::to_string(n) + " reports dropped");
        }) {}

  bool start(std::string* error);
  void stop();

  void runIo();
  void acceptAll();
  void readFrom(const std::shared_ptr<Connection>& c);
  // False, with `why`, for a message that breaks the protocol.
  bool handle(Connection& c, const wire::Message& m, std::string& why);
  void onTcpConnect(Connection& c, const wire::TcpConnect& request);
  bool onUdpDatagram(Connection& c, const wire::Message& m, std::string& why);
  bool onUdpReceived(Connection& c, const wire::Message& m, std::string& why);
  void route(Connection& c, UdpFlow& flow, uint32_t sequence, const SocketAddress28& to,
             std::string_view data);
  void askVerdict(Connection& c, UdpFlow& flow, const SocketAddress28& to, uint32_t flag);
  void resumeHeld(UdpFlow& flow);
  void ensureReported(Connection& c, UdpFlow& flow);
  void onIcmpEcho(Connection& c, const wire::Message& m);
  SocketFlow& newSocketFlow(Connection& c, uint32_t socket, uint8_t protocol, Clock::time_point now);
  bool askFlows(Connection& c, const wire::Message& m, std::string& why);
  void runStatus();
  std::vector<FlowSummary> snapshot();
  void onWrite(const simdrv::Record& r);
  void onTcpVerdict(uint64_t id, const drvapi::TcpConnInfo& verdict);
  void onUdpVerdict(uint64_t id, const drvapi::UdpConnectRequest& verdict);
  void onFilteringOff(UdpFlow& flow);
  void onInjected(const simdrv::Record& r);
  void onRawIp(const simdrv::Record& r);
  void answerConnect(uint64_t connection, uint32_t socket, uint32_t request, wire::Action action,
                     const wire::Endpoint& target = {}, uint16_t flags = 0);
  void queue(Connection& c, std::vector<uint8_t> m);
  void queueStraight(Connection& c, UdpFlow& flow, uint32_t sequence, const SocketAddress28& to,
                     std::string_view data);
  void flush(Connection& c);
  void releaseCanReceive(Connection& c);
  void drop(uint64_t key, const std::string& why);
  void expire(Clock::time_point now);
  int waitMs(Clock::time_point now) const;
  void wakeIo();
  uint64_t newId() { return nextId++; }
  std::string who(const Connection& c) const { return "capture: pid " + std::to_string(c.pid); }
  Connection* connection(uint64_t key) {
    auto it = connections.find(key);
    return it == connections.end() ? nullptr : it->second.get();
  }

  simdrv::SimDriver& driver;
  const std::string path;
  const Log log;
  Reporter reporter;
  Fd listener, epoll, wake;
  std::thread io;
  std::thread status;
  std::atomic<bool> stopping{false};
  bool started = false;
  bool stopped = false;
  uint64_t observer = 0;
  std::atomic<uint64_t> dropped{0};
  std::vector<uint8_t> in = std::vector<uint8_t>(wire::kMaxMessage + 1);  // the I/O thread's

  // Everything below, and every Connection and UdpFlow. Taken by the I/O
  // thread, the write observer and the reporter's drop callbacks; held only
  // for queueing, non-blocking socket calls and classify().
  mutable std::mutex lock;
  std::map<uint64_t, std::shared_ptr<Connection>> connections;  // by key
  std::map<uint64_t, std::shared_ptr<UdpFlow>> flows;           // by flow id
  std::set<uint64_t> askingFlows;                               // flows waiting for a UDP verdict
  std::set<uint64_t> closedFlows;                               // closed flows still carrying sends
  std::map<uint64_t, PendingConnect> pendingConnects;           // by connection id
  std::map<uint64_t, IcmpSocket> icmpSockets;                   // by token
  std::set<uint64_t> dirty;                                     // connections with new messages
  uint64_t nextKey = 2;
  uint64_t nextId = kFirstId;

  // Status clients waiting for an answer, by connection key; the status
  // thread's queue. Taken after `lock` where both are held.
  std::mutex statusLock;
  std::condition_variable statusChanged;
  std::vector<uint64_t> statusWaiting;
  bool statusStopping = false;
};

// --- start and stop ---------------------------------------------------------------

bool CaptureServer::State::start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    if (observer != 0) driver.removeWriteObserver(std::exchange(observer, 0));
    listener.reset();
    epoll.reset();
    wake.reset();
    return false;
  };
  if (started) return fail("the capture server was started before");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path)
    return fail("capture socket path \"" + path + "\" is empty or too long for a Unix socket");
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const auto* sa = reinterpret_cast<const sockaddr*>(&address);
  listener.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener.valid()) return fail(std::string("socket: ") + std::strerror(errno));
  if (::bind(listener.get(), sa, sizeof address) != 0) {
    if (errno != EADDRINUSE) return fail("bind " + path + ": " + std::strerror(errno));
    // A socket file is there: a server that still answers keeps it, one that
    // is gone left it behind.
    Fd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (probe.valid() && ::connect(probe.get(), sa, sizeof address) == 0)
      return fail("another capture server answers at " + path);
    ::unlink(path.c_str());
    if (::bind(listener.get(), sa, sizeof address) != 0)
      return fail("bind " + path + ": " + std::strerror(errno));
  }
  if (::listen(listener.get(), SOMAXCONN) != 0) return fail(std::string("listen: ") + std::strerror(errno));
  epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
  wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!epoll.valid() || !wake.valid()) return fail(std::string("epoll/eventfd: ") + std::strerror(errno));
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.u64 = kListenerKey;
  const bool added = ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, listener.get(), &e) == 0;
  e.data.u64 = kWakeKey;
  if (!added || ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &e) != 0)
    return fail(std::string("epoll_ctl: ") + std::strerror(errno));
  observer = driver.addWriteObserver([this](const simdrv::Record& r) { onWrite(r); });
  reporter.start();
  io = std::thread([this] { runIo(); });
  status = std::thread([this] { runStatus(); });
  started = true;
  return true;
}

void CaptureServer::State::stop() {
  if (!started || stopped) return;
  stopped = true;
  // No observer call runs after this, so nothing queues for the programs.
  driver.removeWriteObserver(observer);
  {
    std::lock_guard<std::mutex> guard(statusLock);
    statusStopping = true;
  }
  statusChanged.notify_one();
  status.join();
  stopping = true;
  wakeIo();
  io.join();
  {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<uint64_t> keys;
    for (const auto& entry : connections) keys.push_back(entry.first);
    for (uint64_t key : keys) drop(key, {});
  }
  listener.reset();
  ::unlink(path.c_str());
  // The flows' ends reach the library before the reporter goes.
  reporter.stop();
  epoll.reset();
  wake.reset();
}

void CaptureServer::State::wakeIo() {
  const uint64_t one = 1;
  if (wake.valid()) (void)!::write(wake.get(), &one, sizeof one);
}

// --- the I/O thread ------------------------------------------------------------

void CaptureServer::State::runIo() {
  epoll_event events[64];
  while (!stopping) {
    int timeout;
    {
      std::lock_guard<std::mutex> guard(lock);
      timeout = waitMs(Clock::now());
    }
    const int n = ::epoll_wait(epoll.get(), events, 64, timeout);
    if (n < 0 && errno != EINTR) {
      log(std::string("capture: epoll_wait: ") + std::strerror(errno) + "; the capture server stops serving");
      return;
    }
    std::lock_guard<std::mutex> guard(lock);
    for (int i = 0; i < n; ++i) {
      const uint64_t key = events[i].data.u64;
      if (key == kListenerKey) {
        acceptAll();
      } else if (key == kWakeKey) {
        uint64_t count;
        (void)!::read(wake.get(), &count, sizeof count);
      } else if (auto it = connections.find(key); it != connections.end()) {
        std::shared_ptr<Connection> c = it->second;
        if (events[i].events & EPOLLOUT) dirty.insert(key);
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readFrom(c);
      }
    }
    expire(Clock::now());
    std::set<uint64_t> toFlush;
    toFlush.swap(dirty);
    for (uint64_t key : toFlush)
      if (Connection* c = connection(key)) flush(*c);
  }
}

void CaptureServer::State::acceptAll() {
  for (;;) {
    Fd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd.valid()) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        log(std::string("capture: accept: ") + std::strerror(errno));
      return;
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.pid <= 0) {
      log("capture: a connection without a process id: refused");
      continue;
    }
    auto c = std::make_shared<Connection>();
    c->key = nextKey++;
    c->pid = static_cast<uint32_t>(peer.pid);
    // The image as the process has it now: a program that execs opens a new
    // connection from its new image.
    c->image = platform::processImagePath(c->pid);
    if (!c->image.empty()) driver.setProcessImage(c->pid, c->image);
    const std::string path = platform::utf16ToUtf8(c->image);
    c->name = path.empty() ? "?" : path.substr(path.rfind('/') + 1);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = c->key;
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd.get(), &e) != 0) {
      log(std::string("capture: epoll_ctl: ") + std::strerror(errno));
      continue;
    }
    c->fd = std::move(fd);
    connections[c->key] = std::move(c);
  }
}

void CaptureServer::State::readFrom(const std::shared_ptr<Connection>& c) {
  for (size_t i = 0; i < kMessagesPerTurn; ++i) {
    iovec v{in.data(), in.size()};
    msghdr header{};
    header.msg_iov = &v;
    header.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(c->fd.get(), &header, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      drop(c->key, who(*c) + ": " + std::strerror(errno) + ": connection dropped");
      return;
    }
    if (n == 0) {  // the program closed its end, or ended
      drop(c->key, {});
      return;
    }
    std::string why;
    const std::optional<wire::Message> m = (header.msg_flags & MSG_TRUNC) != 0
                                               ? std::nullopt
                                               : wire::readMessage(in.data(), static_cast<size_t>(n), true);
    if (!m) {
      uint16_t type = 0;
      if (n >= 2) std::memcpy(&type, in.data(), 2);
      why = "malformed message (type " + std::to_string(type) + ", " + std::to_string(n) + " bytes)";
    } else if (handle(*c, *m, why)) {
      continue;
    }
    drop(c->key, who(*c) + ": " + why + ": peer dropped");
    return;
  }
}

bool CaptureServer::State::handle(Connection& c, const wire::Message& m, std::string& why) {
  if (c.status || (!c.welcomed && m.type == wire::kFlowsRequest)) {
    if (m.type != wire::kFlowsRequest) {
      why = "a status client sent a program's message";
      return false;
    }
    return askFlows(c, m, why);
  }
  if (!c.welcomed) {
    if (m.type != wire::kHello || m.as<wire::Hello>().magic != wire::kMagic ||
        m.as<wire::Hello>().version != wire::kVersion) {
      why = "no valid hello first";
      return false;
    }
    c.welcomed = true;
    queue(c, message(wire::Hello{wire::header(wire::kWelcome, 0), wire::kMagic, wire::kVersion, 0}));
    return true;
  }
  switch (m.type) {
    case wire::kTcpConnect:
      onTcpConnect(c, m.as<wire::TcpConnect>());
      return true;
    case wire::kTcpClose:
      if (auto it = c.trackedTcp.find(m.socket); it != c.trackedTcp.end()) {
        reporter.push(simdrv::Batch().tcpClosed(it->second));
        c.trackedTcp.erase(it);
      }
      if (auto it = c.sockets.find(m.socket); it != c.sockets.end()) it->second.close(Clock::now());
      return true;
    case wire::kUdpOpen: {
      if (c.udp.count(m.socket) != 0 || m.socket == 0) {
        why = "UDP socket " + std::to_string(m.socket) + " opened twice";
        return false;
      }
      auto flow = std::make_shared<UdpFlow>();
      flow->id = newId();
      flow->connection = c.key;
      flow->socket = m.socket;
      flow->local = fieldOf(m.as<wire::UdpOpen>().local);
      flow->options = simdrv::datagramOptions(driver.kind(), flow->local);
      flow->created = Clock::now();
      c.udp[m.socket] = flow;
      flows[flow->id] = flow;
      // A rule that filters all of this program's UDP makes the socket known
      // at once.
      simdrv::FlowDescription d{17, c.pid, 3, flow->local, familyOnly(), c.image};
      if ((driver.classify(d) & drvapi::kRuleFilter) != 0) ensureReported(c, *flow);
      return true;
    }
    case wire::kUdpDatagram:
      return onUdpDatagram(c, m, why);
    case wire::kUdpReceived:
      return onUdpReceived(c, m, why);
    case wire::kUdpClose:
      if (auto it = c.udp.find(m.socket); it != c.udp.end() && !it->second->closed) {
        UdpFlow& flow = *it->second;
        if (flow.reported) reporter.push(simdrv::Batch().udpClosed(flow.id));
        askingFlows.erase(flow.id);
        flow.held.clear();
        flow.asking = false;
        flow.closed = true;
        flow.closedUntil = Clock::now() + kClosedFlowLinger;
        closedFlows.insert(flow.id);
      }
      return true;
    case wire::kIcmpEcho:
      if (m.payload.size() < simdrv::kIcmpHeader ||
          static_cast<uint8_t>(m.payload[0]) != simdrv::kIcmpEchoRequest || m.payload[1] != 0) {
        why = "an ICMP message that is not an echo request";
        return false;
      }
      onIcmpEcho(c, m);
      return true;
    case wire::kIcmpClose:
      if (auto it = c.icmp.find(m.socket); it != c.icmp.end()) {
        icmpSockets.erase(it->second);
        c.icmp.erase(it);
      }
      if (auto it = c.sockets.find(m.socket); it != c.sockets.end()) it->second.close(Clock::now());
      return true;
    case wire::kFlowsRequest:
      why = "a status request on a program's connection";
      return false;
    default:
      why = "hello repeated";
      return false;
  }
}

// --- TCP -----------------------------------------------------------------------------

void CaptureServer::State::onTcpConnect(Connection& c, const wire::TcpConnect& request) {
  const uint32_t socket = request.header.socket;
  const SocketAddress28 local = fieldOf(request.local);
  const SocketAddress28 remote = fieldOf(request.remote);
  SocketFlow& flow = newSocketFlow(c, socket, kProtocolTcp, Clock::now());
  flow.local = request.local;
  flow.remote = request.remote;
  const uint32_t flag = driver.classify(simdrv::FlowDescription{6, c.pid, 2, local, remote, c.image});
  if ((flag & drvapi::kRuleReportConnect) == 0) {
    answerConnect(c.key, socket, request.request,
                  (flag & drvapi::kRuleBlock) != 0 ? wire::kRefuse : wire::kConnectAsAsked);
    return;
  }
  const uint64_t id = newId();
  pendingConnects[id] = PendingConnect{c.key, socket, request.request, Clock::now() + kTcpVerdictWait};
  // The request goes out with the rule's flag, as the driver saw it.
  reporter.push(simdrv::Batch().tcpConnectRequest(id, simdrv::tcpInfo(c.pid, local, remote, flag)),
                [this, id] {
                  std::lock_guard<std::mutex> guard(lock);
                  auto it = pendingConnects.find(id);
                  if (it == pendingConnects.end()) return;
                  const PendingConnect p = it->second;
                  pendingConnects.erase(it);
                  answerConnect(p.connection, p.socket, p.request, wire::kConnectAsAsked);
                });
}

void CaptureServer::State::onTcpVerdict(uint64_t id, const drvapi::TcpConnInfo& verdict) {
  auto it = pendingConnects.find(id);
  if (it == pendingConnects.end()) return;
  const PendingConnect p = it->second;
  pendingConnects.erase(it);
  if ((verdict.filteringFlag & drvapi::kVerdictClose) != 0) {
    // The library closes what it decided on: the connect does not happen.
    answerConnect(p.connection, p.socket, p.request, wire::kRefuse);
    return;
  }
  wire::Endpoint target{};
  if (!endpointOf(verdict.remoteAddress, target)) {
    log("capture: a verdict points where an IPv4 socket cannot go: the connect goes as asked");
    answerConnect(p.connection, p.socket, p.request, wire::kConnectAsAsked);
    return;
  }
  const bool tracked = (verdict.filteringFlag & drvapi::kVerdictFiltered) != 0;
  if (tracked)
    if (Connection* c = connection(p.connection)) c->trackedTcp[p.socket] = id;
  answerConnect(p.connection, p.socket, p.request, wire::kConnectTo, target, tracked ? wire::kTracked : 0);
}

void CaptureServer::State::answerConnect(uint64_t key, uint32_t socket, uint32_t request, wire::Action action,
                                         const wire::Endpoint& target, uint16_t flags) {
  Connection* c = connection(key);
  if (c == nullptr) return;
  queue(*c, message(wire::TcpVerdict{wire::header(wire::kTcpVerdict, socket), request,
                                     static_cast<uint16_t>(action), flags, target}));
  auto it = c->sockets.find(socket);
  if (it == c->sockets.end() || it->second.protocol != kProtocolTcp) return;
  SocketFlow& flow = it->second;
  flow.decided = Clock::now();
  flow.target = action == wire::kConnectTo ? target : flow.remote;
  const bool elsewhere = flow.target.address != flow.remote.address || flow.target.port != flow.remote.port;
  if (action == wire::kRefuse) {
    flow.decision = wire::kDecisionRefused;
    flow.close(flow.decided);
  } else {
    flow.decision = elsewhere ? wire::kDecisionRelayed : wire::kDecisionAsAsked;
  }
}

// --- UDP -----------------------------------------------------------------------------

bool CaptureServer::State::onUdpDatagram(Connection& c, const wire::Message& m, std::string& why) {
  auto it = c.udp.find(m.socket);
  if (it == c.udp.end()) {
    why = "a datagram of UDP socket " + std::to_string(m.socket) + ", which was not opened";
    return false;
  }
  UdpFlow& flow = *it->second;
  if (flow.closed) {
    why = "a datagram of UDP socket " + std::to_string(m.socket) + " after its close";
    return false;
  }
  const wire::Datagram d = m.as<wire::Datagram>();
  flow.lastSequence = d.sequence;
  flow.lastPeer = d.peer;
  flow.traffic.up(m.payload.size());
  const SocketAddress28 to = fieldOf(d.peer);
  if (flow.passThrough) {
    queueStraight(c, flow, d.sequence, to, m.payload);
  } else if (!flow.held.empty()) {
    // Behind a datagram that waits for a verdict: order is kept.
    flow.held.push_back({d.sequence, to, std::string(m.payload)});
  } else {
    route(c, flow, d.sequence, to, m.payload);
  }
  return true;
}

// A datagram the program's socket received from a peer that only the library
// sent to (the node of its direct transport): an inbound datagram of the
// flow, which the library unwraps and injects as a receive of its own.
bool CaptureServer::State::onUdpReceived(Connection& c, const wire::Message& m, std::string& why) {
  auto it = c.udp.find(m.socket);
  if (it == c.udp.end()) {
    why = "a received datagram of UDP socket " + std::to_string(m.socket) + ", which was not opened";
    return false;
  }
  UdpFlow& flow = *it->second;
  // A flow the library no longer hears of takes nothing (one the program
  // closed meanwhile, or one that goes straight).
  if (flow.closed || flow.passThrough || !flow.reported) return true;
  reporter.push(
      simdrv::Batch().udpReceive(flow.id, fieldOf(m.as<wire::Datagram>().peer), m.payload, flow.options));
  return true;
}

void CaptureServer::State::route(Connection& c, UdpFlow& flow, uint32_t sequence,
                                 const SocketAddress28& addressed, std::string_view data) {
  if (flow.passThrough) {
    queueStraight(c, flow, sequence, addressed, data);
    return;
  }
  const uint32_t flag =
      driver.classify(simdrv::FlowDescription{17, c.pid, 2, flow.local, addressed, c.image});
  const bool filter = (flag & drvapi::kRuleFilter) != 0;
  const bool ask = (flag & drvapi::kRuleReportConnect) != 0;
  if ((flag & drvapi::kRuleBlock) != 0 && !ask) return;
  SocketAddress28 to = addressed;
  if (ask) {
    auto it = flow.decided.find(addressed);
    if (it == flow.decided.end()) {
      flow.held.push_back({sequence, addressed, std::string(data)});
      if (!flow.asking) askVerdict(c, flow, addressed, flag);
      return;
    }
    if (it->second == SocketAddress28{}) return;  // the verdict blocked this destination
    to = it->second;
  }
  if (!filter) {
    queueStraight(c, flow, sequence, to, data);
    return;
  }
  ensureReported(c, flow);
  reporter.push(simdrv::Batch().udpSend(flow.id, to, data, flow.options));
}

void CaptureServer::State::askVerdict(Connection& c, UdpFlow& flow, const SocketAddress28& to,
                                      uint32_t flag) {
  // The library keeps requests only of flows it knows.
  ensureReported(c, flow);
  drvapi::UdpConnectRequest request{};
  request.filteringFlag = flag;
  request.processId = c.pid;
  request.ipFamily = drvapi::kFamilyIpv4;
  request.localAddress = flow.local;
  request.remoteAddress = to;
  flow.asking = true;
  flow.askingFor = to;
  flow.askDeadline = Clock::now() + kUdpVerdictWait;
  askingFlows.insert(flow.id);
  reporter.push(simdrv::Batch().udpConnectRequest(flow.id, request));
}

void CaptureServer::State::onUdpVerdict(uint64_t id, const drvapi::UdpConnectRequest& verdict) {
  auto it = flows.find(id);
  if (it == flows.end() || !it->second->asking) return;
  UdpFlow& flow = *it->second;
  SocketAddress28 to{};
  wire::Endpoint target;
  if ((verdict.filteringFlag & drvapi::kRuleBlock) == 0 && endpointOf(verdict.remoteAddress, target))
    to = fieldOf(target);
  flow.decided[flow.askingFor] = to;
  flow.asking = false;
  askingFlows.erase(flow.id);
  resumeHeld(flow);
}

// Routes the held datagrams in order until one needs a verdict of its own.
void CaptureServer::State::resumeHeld(UdpFlow& flow) {
  Connection* c = connection(flow.connection);
  if (c == nullptr) return;
  std::deque<UdpFlow::Held> held;
  held.swap(flow.held);
  while (!held.empty()) {
    if (flow.asking) {
      flow.held.insert(flow.held.end(), std::make_move_iterator(held.begin()),
                       std::make_move_iterator(held.end()));
      return;
    }
    UdpFlow::Held h = std::move(held.front());
    held.pop_front();
    route(*c, flow, h.sequence, h.to, h.data);
  }
}

void CaptureServer::State::onFilteringOff(UdpFlow& flow) {
  if (flow.passThrough || flow.closed) return;
  flow.passThrough = true;
  Connection* c = connection(flow.connection);
  if (c == nullptr) return;
  // The program's library sends by itself once every datagram before the
  // held ones has been dealt with and those come back to it, in order.
  const uint32_t after = flow.held.empty() ? flow.lastSequence : flow.held.front().sequence - 1;
  queue(*c, message(wire::UdpStraight{wire::header(wire::kUdpStraight, flow.socket), after}));
  std::deque<UdpFlow::Held> held;
  held.swap(flow.held);
  for (const UdpFlow::Held& h : held) queueStraight(*c, flow, h.sequence, h.to, h.data);
  flow.asking = false;
  askingFlows.erase(flow.id);
}

void CaptureServer::State::ensureReported(Connection& c, UdpFlow& flow) {
  if (flow.reported) return;
  flow.reported = true;
  reporter.push(simdrv::Batch().udpCreated(flow.id, simdrv::udpInfo(c.pid, flow.local)));
}

void CaptureServer::State::queueStraight(Connection& c, UdpFlow& flow, uint32_t sequence,
                                         const SocketAddress28& to, std::string_view data) {
  wire::Endpoint peer;
  if (!endpointOf(to, peer)) return;
  queue(c, message(wire::Datagram{wire::header(wire::kUdpSend, flow.socket), sequence, peer}, data));
}

// --- ICMP ----------------------------------------------------------------------------

void CaptureServer::State::onIcmpEcho(Connection& c, const wire::Message& m) {
  const wire::IcmpEcho echo = m.as<wire::IcmpEcho>();
  uint64_t& token = c.icmp[m.socket];
  if (token == 0) {
    token = newId();
    icmpSockets[token] = IcmpSocket{c.key, m.socket};
  }
  const std::optional<std::string> packet = simdrv::icmpPacket(echo.source.address, echo.destination.address,
                                                               m.payload, static_cast<uint16_t>(token));
  if (!packet) return;
  auto known = c.sockets.find(m.socket);
  SocketFlow& flow = known != c.sockets.end() && known->second.protocol == simdrv::kProtocolIcmp
                         ? known->second
                         : newSocketFlow(c, m.socket, simdrv::kProtocolIcmp, Clock::now());
  flow.local = wire::endpoint(echo.source.address, 0);
  flow.remote = wire::endpoint(echo.destination.address, 0);
  flow.traffic.up(m.payload.size());
  simdrv::FlowDescription d{simdrv::kProtocolIcmp,     c.pid,  2, fieldOf(echo.source),
                            fieldOf(echo.destination), c.image};
  const bool reported = (driver.classify(d, simdrv::SimDriver::Layer::RawIp) & drvapi::kRuleRawIp) != 0;
  flow.decision = reported ? wire::kDecisionReported : wire::kDecisionStraight;
  if (reported) {
    drvapi::IpOptions options{};
    const uint16_t family = drvapi::kFamilyIpv4;
    std::memcpy(options.reserved, &family, sizeof family);
    std::memcpy(options.reserved + kTokenOffset, &token, sizeof token);
    reporter.push(simdrv::Batch().ipSend(options, *packet));
    return;
  }
  queue(c, message(wire::IcmpPacket{wire::header(wire::kIcmpSend, m.socket), echo.destination}, m.payload));
}

void CaptureServer::State::onRawIp(const simdrv::Record& r) {
  drvapi::IpOptions options;
  if (r.payload.size() < sizeof options) return;
  std::memcpy(&options, r.payload.data(), sizeof options);
  uint64_t token;
  std::memcpy(&token, options.reserved + kTokenOffset, sizeof token);
  const std::string_view packet(reinterpret_cast<const char*>(r.payload.data()) + sizeof options,
                                r.payload.size() - sizeof options);
  const std::optional<simdrv::Ipv4View> ip = simdrv::readIpv4(packet);
  auto it = icmpSockets.find(token);
  if (!ip || ip->protocol != simdrv::kProtocolIcmp || it == icmpSockets.end()) {
    ++dropped;
    log("capture: the library wrote a raw IP packet of no program's ICMP socket: dropped");
    return;
  }
  Connection* c = connection(it->second.connection);
  if (c == nullptr) return;
  if (r.type == drvapi::kIpSend)
    queue(*c, message(wire::IcmpPacket{wire::header(wire::kIcmpSend, it->second.socket),
                                       wire::endpoint(ip->destinationNet, 0)},
                      ip->payload));
  else
    queue(*c, message(wire::IcmpPacket{wire::header(wire::kIcmpDeliver, it->second.socket),
                                       wire::endpoint(ip->sourceNet, 0)},
                      ip->payload));
  if (r.type == drvapi::kIpReceive)
    if (auto flow = c->sockets.find(it->second.socket); flow != c->sockets.end())
      flow->second.traffic.down(ip->payload.size());
}

// --- the library's writes -------------------------------------------------------------

void CaptureServer::State::onWrite(const simdrv::Record& r) {
  switch (r.type) {
    case drvapi::kTcpConnectRequest:
    case drvapi::kUdpConnectRequest:
    case drvapi::kUdpFilteringOff:
    case drvapi::kUdpSend:
    case drvapi::kUdpReceive:
    case drvapi::kIpSend:
    case drvapi::kIpReceive:
      break;
    default:
      return;
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    switch (r.type) {
      case drvapi::kTcpConnectRequest:
        if (r.payload.size() >= sizeof(drvapi::TcpConnInfo)) {
          drvapi::TcpConnInfo verdict;
          std::memcpy(&verdict, r.payload.data(), sizeof verdict);
          onTcpVerdict(r.id, verdict);
        }
        break;
      case drvapi::kUdpConnectRequest:
        if (r.payload.size() >= sizeof(drvapi::UdpConnectRequest)) {
          drvapi::UdpConnectRequest verdict;
          std::memcpy(&verdict, r.payload.data(), sizeof verdict);
          onUdpVerdict(r.id, verdict);
        }
        break;
      case drvapi::kUdpFilteringOff:
        if (auto it = flows.find(r.id); it != flows.end()) onFilteringOff(*it->second);
        break;
      case drvapi::kUdpSend:
      case drvapi::kUdpReceive:
        onInjected(r);
        break;
      default:
        onRawIp(r);
        break;
    }
    if (dirty.empty()) return;
  }
  wakeIo();
}

void CaptureServer::State::onInjected(const simdrv::Record& r) {
  auto it = flows.find(r.id);
  if (it == flows.end()) return;
  UdpFlow& flow = *it->second;
  Connection* c = connection(flow.connection);
  SocketAddress28 address;
  std::string_view data;
  wire::Endpoint peer;
  if (c == nullptr || !simdrv::parseDatagramRecord(r.payload, address, data)) return;
  if (!endpointOf(address, peer) || data.size() > wire::kMaxPayload) {
    ++dropped;
    log(who(*c) + ": the library injected a datagram an IPv4 UDP socket cannot carry: dropped");
  } else if (r.type == drvapi::kUdpSend) {
    queue(*c, message(wire::Datagram{wire::header(wire::kUdpSend, flow.socket), 0, peer}, data));
  } else if (flow.closed) {
    return;  // nobody reads it any more
  } else {
    queue(*c, message(wire::Datagram{wire::header(wire::kUdpDeliver, flow.socket), 0, peer}, data));
    flow.traffic.down(data.size());
  }
  if (r.type != drvapi::kUdpReceive) return;
  // The library injects one inbound datagram per request; the next is asked
  // for once the program has room for it.
  if (c->outBytes <= kCanReceiveRoom)
    reporter.push(simdrv::Batch().udpCanReceive(flow.id));
  else
    flow.canReceiveHeld = true;
}

// --- writing to the programs ------------------------------------------------------------

void CaptureServer::State::queue(Connection& c, std::vector<uint8_t> m) {
  c.outBytes += m.size();
  c.out.push_back(std::move(m));
  dirty.insert(c.key);
}

void CaptureServer::State::flush(Connection& c) {
  while (!c.out.empty()) {
    const std::vector<uint8_t>& m = c.out.front();
    const ssize_t n = ::send(c.fd.get(), m.data(), m.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0) {
      drop(c.key, who(c) + ": " + std::strerror(errno) + ": connection dropped");
      return;
    }
    c.outBytes -= m.size();
    c.out.pop_front();
  }
  if (c.outBytes > kOutboundLimit) {
    drop(c.key, who(c) + ": reads nothing of what is sent to it: connection dropped");
    return;
  }
  const bool wantWrite = !c.out.empty();
  if (wantWrite != c.writeArmed) {
    epoll_event e{};
    e.events = EPOLLIN | (wantWrite ? EPOLLOUT : 0u);
    e.data.u64 = c.key;
    ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, c.fd.get(), &e);
    c.writeArmed = wantWrite;
  }
  if (c.outBytes <= kCanReceiveRoom) releaseCanReceive(c);
}

void CaptureServer::State::releaseCanReceive(Connection& c) {
  for (auto& [socket, flow] : c.udp) {
    if (!flow->canReceiveHeld) continue;
    flow->canReceiveHeld = false;
    reporter.push(simdrv::Batch().udpCanReceive(flow->id));
  }
}

// Forgets a program: its flows' ends reach the library, its pending connects
// are forgotten (the program is gone, or falls back to connecting as asked).
void CaptureServer::State::drop(uint64_t key, const std::string& why) {
  auto it = connections.find(key);
  if (it == connections.end()) return;
  std::shared_ptr<Connection> c = it->second;
  connections.erase(it);
  dirty.erase(key);
  if (!why.empty()) log(why);
  ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, c->fd.get(), nullptr);
  c->fd.reset();
  for (auto& [socket, flow] : c->udp) {
    if (flow->reported && !flow->closed) reporter.push(simdrv::Batch().udpClosed(flow->id));
    askingFlows.erase(flow->id);
    closedFlows.erase(flow->id);
    flows.erase(flow->id);
  }
  for (auto& [socket, id] : c->trackedTcp) reporter.push(simdrv::Batch().tcpClosed(id));
  for (auto& [socket, token] : c->icmp) icmpSockets.erase(token);
  for (auto p = pendingConnects.begin(); p != pendingConnects.end();)
    p = p->second.connection == key ? pendingConnects.erase(p) : std::next(p);
}

// --- deadlines ----------------------------------------------------------------------------

int CaptureServer::State::waitMs(Clock::time_point now) const {
  std::optional<Clock::time_point> next;
  for (const auto& [id, p] : pendingConnects)
    if (!next || p.deadline < *next) next = p.deadline;
  for (uint64_t id : askingFlows)
    if (auto it = flows.find(id); it != flows.end() && (!next || it->second->askDeadline < *next))
      next = it->second->askDeadline;
  for (uint64_t id : closedFlows)
    if (auto it = flows.find(id); it != flows.end() && (!next || it->second->closedUntil < *next))
      next = it->second->closedUntil;
  if (!next) return -1;
  if (*next <= now) return 0;
  // Rounded up, so the wait never ends just before the deadline.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*next - now).count());
}

void CaptureServer::State::expire(Clock::time_point now) {
  for (auto it = pendingConnects.begin(); it != pendingConnects.end();) {
    if (it->second.deadline > now) {
      ++it;
      continue;
    }
    const PendingConnect p = it->second;
    it = pendingConnects.erase(it);
    log("capture: no verdict for a connect in time: it goes as asked");
    answerConnect(p.connection, p.socket, p.request, wire::kConnectAsAsked);
  }
  for (auto it = askingFlows.begin(); it != askingFlows.end();) {
    auto flow = flows.find(*it);
    if (flow == flows.end()) {
      it = askingFlows.erase(it);
      continue;
    }
    UdpFlow& f = *flow->second;
    if (f.askDeadline > now) {
      ++it;
      continue;
    }
    it = askingFlows.erase(it);
    dropped += f.held.size();
    log("capture: no verdict for a UDP destination in time: " + std::to_string(f.held.size()) +
        " datagrams dropped");
    f.asking = false;
    f.held.clear();
  }
  for (auto it = closedFlows.begin(); it != closedFlows.end();) {
    auto flow = flows.find(*it);
    if (flow != flows.end() && flow->second->closedUntil > now) {
      ++it;
      continue;
    }
    if (flow != flows.end()) {
      if (Connection* c = connection(flow->second->connection)) c->udp.erase(flow->second->socket);
      flows.erase(flow);
    }
    it = closedFlows.erase(it);
  }
}

// --- the status list ----------------------------------------------------------------------

SocketFlow& CaptureServer::State::newSocketFlow(Connection& c, uint32_t socket, uint8_t protocol,
                                                Clock::time_point now) {
  if (c.sockets.size() >= kMaxSocketFlows && c.sockets.count(socket) == 0) {
    for (auto it = c.sockets.begin(); it != c.sockets.end();)
      it = it->second.closed && it->second.closedUntil <= now ? c.sockets.erase(it) : std::next(it);
    // Socket numbers grow: the first is the oldest.
    if (c.sockets.size() >= kMaxSocketFlows) c.sockets.erase(c.sockets.begin());
  }
  SocketFlow& flow = c.sockets[socket];
  flow = SocketFlow{};
  flow.protocol = protocol;
  flow.created = now;
  return flow;
}

bool CaptureServer::State::askFlows(Connection& c, const wire::Message& m, std::string& why) {
  const wire::Hello request = m.as<wire::Hello>();
  if (request.magic != wire::kMagic || request.version != wire::kVersion) {
    why = "a status request of another kind";
    return false;
  }
  // One answer at a time: a client that asks faster than it reads would
  // otherwise pile answers up here.
  if (c.statusPending || !c.out.empty()) {
    why = "asks for the flows again before it read the last answer";
    return false;
  }
  c.status = true;
  c.statusPending = true;
  {
    std::lock_guard<std::mutex> guard(statusLock);
    statusWaiting.push_back(c.key);
  }
  statusChanged.notify_one();
  return true;
}

namespace {

// The flows as a FlowsReply: as many as fit, in their order.
std::vector<uint8_t> flowsReply(const std::vector<FlowSummary>& flows) {
  static_assert(wire::kMaxFlowRecords <= UINT16_MAX);
  const size_t count = std::min(flows.size(), wire::kMaxFlowRecords);
  const wire::FlowsReply head{
      wire::header(wire::kFlowsReply, 0), static_cast<uint32_t>(std::min<size_t>(flows.size(), UINT32_MAX)),
      static_cast<uint16_t>(count), count < flows.size() ? wire::kFlowsTruncated : uint16_t{0}};
  std::vector<uint8_t> m(sizeof head + count * sizeof(wire::FlowRecord));
  std::memcpy(m.data(), &head, sizeof head);
  for (size_t i = 0; i < count; ++i) {
    const FlowSummary& f = flows[i];
    wire::FlowRecord r{};
    r.pid = f.pid;
    r.protocol = f.protocol;
    r.decision = f.decision;
    r.flags = f.closed ? wire::kFlowClosed : 0;
    r.local = f.local;
    r.remote = f.remote;
    r.target = f.target;
    r.upDatagrams = f.upDatagrams;
    r.upBytes = f.upBytes;
    r.downDatagrams = f.downDatagrams;
    r.downBytes = f.downBytes;
    r.ageMs = static_cast<uint32_t>(std::min<int64_t>(f.age.count(), UINT32_MAX));
    std::memcpy(r.program, f.program.data(), std::min(f.program.size(), sizeof r.program - 1));
    std::memcpy(m.data() + sizeof head + i * sizeof r, &r, sizeof r);
  }
  return m;
}

}  // namespace

// Answers every status client that waits with one snapshot.
void CaptureServer::State::runStatus() {
  for (;;) {
    std::vector<uint64_t> waiting;
    {
      std::unique_lock<std::mutex> guard(statusLock);
      statusChanged.wait(guard, [&] { return statusStopping || !statusWaiting.empty(); });
      if (statusStopping) return;
      waiting.swap(statusWaiting);
    }
    const std::vector<uint8_t> reply = flowsReply(snapshot());
    {
      std::lock_guard<std::mutex> guard(lock);
      for (uint64_t key : waiting) {
        Connection* c = connection(key);
        if (c == nullptr) continue;  // the client went away meanwhile
        c->statusPending = false;
        queue(*c, reply);
      }
    }
    wakeIo();
  }
}

std::vector<FlowSummary> CaptureServer::State::snapshot() {
  // A TCP connection to ask the system about, and where its summary is.
  struct Probe {
    size_t index;
    uint64_t key;
    uint32_t socket;
    wire::Endpoint local, to;
  };
  std::vector<FlowSummary> out;
  std::vector<Probe> probes;
  {
    std::lock_guard<std::mutex> guard(lock);
    const Clock::time_point now = Clock::now();
    for (const auto& [key, c] : connections) {
      if (c->status) continue;
      // Lambdas may not capture a structured binding before C++20.
      const auto& owner = c;
      struct Entry {
        Clock::time_point created;
        FlowSummary summary;
        std::optional<Probe> probe;
      };
      std::vector<Entry> entries;
      auto summary = [&](uint8_t protocol, Clock::time_point created, const Traffic& t, bool closed) {
        FlowSummary f;
        f.pid = owner->pid;
        f.program = owner->name;
        f.protocol = protocol;
        f.upDatagrams = t.upDatagrams;
        f.upBytes = t.upBytes;
        f.downDatagrams = t.downDatagrams;
        f.downBytes = t.downBytes;
        f.age = std::chrono::duration_cast<std::chrono::milliseconds>(now - created);
        f.closed = closed;
        return f;
      };
      for (const auto& [socket, flow] : c->udp) {
        FlowSummary f = summary(kProtocolUdp, flow->created, flow->traffic, flow->closed);
        f.decision = flow->passThrough ? wire::kDecisionFilteringOff
                     : flow->reported  ? wire::kDecisionReported
                                       : wire::kDecisionStraight;
        if (!endpointOf(flow->local, f.local)) f.local = {};
        f.remote = flow->lastPeer;
        entries.push_back({flow->created, std::move(f), std::nullopt});
      }
      for (auto it = c->sockets.begin(); it != c->sockets.end();) {
        const SocketFlow& flow = it->second;
        if (flow.closed && flow.closedUntil <= now) {
          it = c->sockets.erase(it);
          continue;
        }
        FlowSummary f = summary(flow.protocol, flow.created, flow.traffic, flow.closed);
        f.decision = flow.decision;
        f.local = flow.local;
        f.remote = flow.remote;
        f.target = flow.target;
        std::optional<Probe> probe;
        if (flow.protocol == kProtocolTcp && !flow.closed && flow.decision != wire::kDecisionWaiting)
          probe = Probe{0, key, it->first, flow.local, flow.target};
        entries.push_back({flow.created, std::move(f), probe});
        ++it;
      }
      std::stable_sort(entries.begin(), entries.end(),
                       [](const Entry& a, const Entry& b) { return a.created < b.created; });
      for (Entry& e : entries) {
        if (e.probe) {
          e.probe->index = out.size();
          probes.push_back(*e.probe);
        }
        out.push_back(std::move(e.summary));
      }
    }
  }
  if (probes.empty()) return out;
  // The system is asked without the lock: the programs' messages go on.
  TcpSocketTable table;
  std::vector<TcpSocketStats> stats;
  stats.reserve(probes.size());
  for (const Probe& p : probes) stats.push_back(table.lookUp(p.local, p.to));
  std::lock_guard<std::mutex> guard(lock);
  const Clock::time_point now = Clock::now();
  for (size_t i = 0; i < probes.size(); ++i) {
    Connection* c = connection(probes[i].key);
    if (c == nullptr) continue;
    auto it = c->sockets.find(probes[i].socket);
    if (it == c->sockets.end()) continue;
    SocketFlow& flow = it->second;
    FlowSummary& f = out[probes[i].index];
    switch (stats[i].state) {
      case TcpSocketStats::State::Open:
        flow.seen = true;
        flow.traffic.upBytes = stats[i].bytesAcked;
        flow.traffic.downBytes = stats[i].bytesReceived;
        f.upBytes = flow.traffic.upBytes;
        f.downBytes = flow.traffic.downBytes;
        break;
      case TcpSocketStats::State::Gone:
        // A connect that was just decided may not have reached the system
        // yet.
        if (flow.seen || now - flow.decided >= kClosedShown) {
          flow.close(now);
          f.closed = true;
        }
        break;
      case TcpSocketStats::State::Unknown:
        break;
    }
  }
  return out;
}

// --- CaptureServer ---------------------------------------------------------------------------

CaptureServer::CaptureServer(simdrv::SimDriver& driver, std::string socketPath, Log log)
    : state_(std::make_unique<State>(driver, std::move(socketPath), std::move(log))) {}

CaptureServer::~CaptureServer() { stop(); }

bool CaptureServer::start(std::string* error) { return state_->start(error); }

void CaptureServer::stop() { state_->stop(); }

size_t CaptureServer::connections() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return static_cast<size_t>(std::count_if(state_->connections.begin(), state_->connections.end(),
                                           [](const auto& entry) { return !entry.second->status; }));
}

std::vector<FlowSummary> CaptureServer::flows() const { return state_->snapshot(); }

uint64_t CaptureServer::droppedRecords() const { return state_->dropped.load(); }

}  // namespace capture
