// Linux, inside every launched program: the driver is reached over a
// SOCK_SEQPACKET Unix socket; the program's own sockets stay real kernel
// sockets, so poll, select and epoll work on them untouched. Everything the
// library calls itself goes to the C library directly (real_calls.h), never
// through its own interposed names.
#include "capture_client.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "capture_wire.h"
#include "platform/driver_runtime_dir.h"
#include "real_calls.h"

namespace capture::preload {
namespace {

// Descriptors above this are never captured (the table of kinds is flat).
constexpr int kMaxFd = 65536;
// How long the driver has to answer the hello, and to take one message.
constexpr int kHelloWaitMs = 3000;
constexpr time_t kDriverSendTimeoutS = 10;
// A connect waits this long for its verdict (the driver itself gives up
// earlier and lets it go as asked).
constexpr auto kVerdictWait = std::chrono::seconds(40);
// How long a closed UDP socket stays open for datagrams still on their way
// through the driver, and how long a program's exit waits for its last
// reported datagrams (nothing answered them yet) to have their chance.
constexpr auto kLinger = std::chrono::seconds(1);
constexpr auto kExitWait = std::chrono::milliseconds(300);
// The epoll key of the driver connection; the others are real ICMP sockets.
constexpr uint64_t kDriverKey = ~uint64_t{0};
constexpr uint64_t kWakeKey = ~uint64_t{0} - 1;
// The epoll keys of shadow and catcher sockets carry this bit beside their
// descriptor.
constexpr uint64_t kShadowKey = uint64_t{1} << 40;
// Receive buffer: any datagram, with the delivery header.
constexpr size_t kReceiveBuffer = 65536 + 64;

// What precedes a datagram the library hands to a program socket (from its
// helper socket, or through an ICMP socket's pair): the source the program
// is to see. Host order, as it never leaves the process.
struct Delivery {
  uint32_t magic;
  uint32_t socket;  // the capture's number of the socket it is for
  wire::Endpoint peer;
};
static_assert(sizeof(Delivery) == 16);
constexpr uint32_t kDeliveryMagic = 0x4C434456;
constexpr size_t kMaxDelivered = wire::kMaxPayload - sizeof(Delivery);

enum State : int { kIdle, kUp, kDown };

// Past this many peers the program sent to from one socket, no peer the
// library sends to counts as the library's alone any more; and a socket
// keeps at most this many of those (the node has one tunnel address).
constexpr size_t kMaxProgramPeers = 4096;
constexpr size_t kMaxLibraryPeers = 16;

struct Sock {
  Kind kind = Kind::Other;
  std::vector<int> fds;  // the program's descriptors of the socket (dup)
  bool closed = false;
  // Its number with the driver, in connection `generation` (0: none yet).
  uint32_t number = 0;
  uint64_t generation = 0;
  // UDP.
  bool hasPeer = false;          // connected, to `peer`
  bool kernelConnected = false;  // ... in the system too (else kept by the capture)
  bool portLocked = false;       // bound to a port by number: a disconnect keeps it
  sockaddr_in peer{};
  // A connection through a shadow peer (see udpConnect): the socket is
  // connected in the system to `shadowFd` on loopback, at `shadowAddress`,
  // which takes whatever the program sends by any means; `catcherFd` shares
  // the socket's port and takes what the real peer answers. `shadowSide` is
  // the socket as the shadow sees it, `shownLocal` its address as a
  // connection to the peer would have it.
  int shadowFd = -1;
  int catcherFd = -1;
  sockaddr_in shadowAddress{}, shadowSide{}, shownLocal{};
  bool mayDeliver = false;  // datagrams from the helper may arrive
  // The peers the program sent to from the socket (up to kMaxProgramPeers),
  // and those only the driver's library sent to, by peerKey. What a
  // library-only peer (the node of the driver's direct transport) sends
  // back is the library's: the driver gets it, the program does not.
  std::unordered_set<uint64_t> programPeers, libraryPeers;
  sockaddr_in local{};
  uint32_t lastSent = 0;       // sequence of the program's last reported datagram
  uint32_t resolved = 0;       // datagrams up to this one came back or were dealt with
  bool straightAfter = false;  // the driver let the flow go straight
  bool straight = false;       // ... and the library sends by itself now
  bool writeShut = false;      // shutdown(SHUT_WR) by the program
  // When the last datagram was reported, and whether anything arrived on the
  // socket since (an answer: what was sent has left).
  std::chrono::steady_clock::time_point lastReport{};
  bool answered = true;
  bool lingering = false;  // closed by the program, open for late datagrams
  std::chrono::steady_clock::time_point lingerUntil{};
  // TCP.
  bool decided = false;
  sockaddr_in original{}, target{};
  bool redirected = false;
  bool tracked = false;
  // ICMP.
  int realFd = -1;
  int feedFd = -1;
  bool hasIcmpPeer = false;
  sockaddr_in icmpPeer{};

  int fd() const { return fds.empty() ? -1 : fds.front(); }
};

struct Verdict {
  bool done = false;
  wire::TcpVerdict verdict{};
};

struct Globals {
  std::mutex sendLock;  // writes to the driver and connection attempts; before `lock`
  std::mutex lock;      // everything below
  std::condition_variable changed;
  std::atomic<int> state{kIdle};
  std::atomic<int> driverFd{-1};
  uint64_t generation = 0;
  int helperFd = -1;
  sockaddr_in helperAddress{};
  int epollFd = -1;
  int wakeFd = -1;  // wakes the reader to count with a new lingering socket
  bool readerRunning = false;
  bool announced = false;
  uint32_t nextNumber = 1;
  uint32_t nextRequest = 1;
  std::unordered_map<int, std::shared_ptr<Sock>> byFd;
  std::unordered_map<uint32_t, std::shared_ptr<Sock>> byNumber;  // this generation's
  std::unordered_map<int, std::shared_ptr<Sock>> icmpByReal;
  std::unordered_map<int, std::shared_ptr<Sock>> byShadow;  // shadow and catcher descriptors
  std::vector<std::shared_ptr<Sock>> lingering;
  std::map<uint32_t, Verdict*> verdicts;
};

// Never destroyed: the reader thread may run while the program exits.
Globals& g() {
  static Globals* globals = new Globals;
  return *globals;
}

std::atomic<uint8_t> kinds[kMaxFd];

void setKind(int fd, Kind kind) {
  if (fd >= 0 && fd < kMaxFd) kinds[fd].store(static_cast<uint8_t>(kind), std::memory_order_relaxed);
}

Kind storedKind(int fd) {
  if (fd < 0 || fd >= kMaxFd) return Kind::Other;
  return static_cast<Kind>(kinds[fd].load(std::memory_order_relaxed));
}

void say(const std::string& line) {
  const std::string text = "lumo-capture: " + line + "\n";
  (void)!real().write(2, text.data(), text.size());
}

// Once per process, the line that says the program is not steered.
void announce(Globals& G, const std::string& line) {
  bool first;
  {
    std::lock_guard<std::mutex> guard(G.lock);
    first = !std::exchange(G.announced, true);
  }
  if (first) say(line);
}

sockaddr_in toSockaddr(const wire::Endpoint& e) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = e.address;
  a.sin_port = e.port;
  return a;
}

wire::Endpoint toEndpoint(const sockaddr_in& a) { return wire::endpoint(a.sin_addr.s_addr, a.sin_port); }

uint64_t peerKey(const sockaddr_in& a) { return (uint64_t{a.sin_addr.s_addr} << 16) | a.sin_port; }

bool sameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

bool localOf(int fd, sockaddr_in& out) {
  socklen_t length = sizeof out;
  return real().getsockname(fd, reinterpret_cast<sockaddr*>(&out), &length) == 0 && out.sin_family == AF_INET;
}

// The source address the system picks for `destination`: a UDP socket
// connected there, which sends nothing. False with errno set.
bool sourceFor(const sockaddr_in& destination, sockaddr_in& source) {
  const int probe = real().socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  sockaddr_in to = destination;
  if (to.sin_port == 0) to.sin_port = htons(9);  // any port will do; 0 is refused
  const bool ok =
      real().connect(probe, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 && localOf(probe, source);
  const int error = errno;
  real().close(probe);
  errno = error;
  source.sin_port = 0;
  return ok;
}

// Binds `fd` to `address` with a port chosen here when it names none, as
// the system would choose it: a socket bound to a port by number keeps it
// when it is disconnected, one bound to port 0 does not. False with errno
// set.
bool bindWithPort(int fd, sockaddr_in address) {
  if (address.sin_port != 0)
    return real().bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int probe = real().socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in free = address;
    const bool found = probe >= 0 &&
                       real().bind(probe, reinterpret_cast<const sockaddr*>(&free), sizeof free) == 0 &&
                       localOf(probe, free);
    const int error = errno;
    if (probe >= 0) real().close(probe);
    if (!found) {
      errno = error;
      return false;
    }
    // Another socket may take the port between the probe and this bind.
    if (real().bind(fd, reinterpret_cast<const sockaddr*>(&free), sizeof free) == 0) return true;
    if (errno != EADDRINUSE) return false;
  }
  return false;
}

size_t totalLength(const msghdr* m) {
  size_t n = 0;
  for (size_t i = 0; i < m->msg_iovlen; ++i) n += m->msg_iov[i].iov_len;
  return n;
}

size_t copyOut(const char* data, size_t length, const msghdr* m) {
  size_t done = 0;
  for (size_t i = 0; i < m->msg_iovlen && done < length; ++i) {
    const size_t n = std::min(length - done, m->msg_iov[i].iov_len);
    std::memcpy(m->msg_iov[i].iov_base, data + done, n);
    done += n;
  }
  return done;
}

void putName(msghdr* m, const sockaddr_in& from) {
  if (m->msg_name == nullptr) return;
  std::memcpy(m->msg_name, &from, std::min<size_t>(m->msg_namelen, sizeof from));
  m->msg_namelen = sizeof from;
}

// Each thread's own, made on its first receive from a captured socket.
char* receiveBuffer() {
  thread_local std::vector<char> buffer;
  if (buffer.empty()) buffer.resize(kReceiveBuffer);
  return buffer.data();
}

std::shared_ptr<Sock> findSock(Globals& G, int fd) {
  auto it = G.byFd.find(fd);
  return it == G.byFd.end() ? nullptr : it->second;
}

// The socket object of a Udp or Tcp descriptor, made on first use (lock held).
std::shared_ptr<Sock> sockOf(Globals& G, int fd, Kind kind) {
  std::shared_ptr<Sock>& s = G.byFd[fd];
  if (!s || s->kind != kind) {
    s = std::make_shared<Sock>();
    s->kind = kind;
    s->fds.push_back(fd);
  }
  return s;
}

// --- the driver connection ---------------------------------------------------------

void markGone(Globals& G, const std::string& why) {
  int expected = kUp;
  if (!G.state.compare_exchange_strong(expected, kDown)) return;
  announce(G, why + "; this program's traffic is no longer steered");
  {
    std::lock_guard<std::mutex> guard(G.lock);
    G.changed.notify_all();
  }
  // Wakes the reader, which closes the connection once no writer uses it.
  const int fd = G.driverFd.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

// One message to the driver; sendLock held. False (the driver counts as
// gone) when it could not be written.
bool writeMessage(Globals& G, const void* fixed, size_t fixedSize, const iovec* payload = nullptr,
                  size_t payloadCount = 0) {
  const int fd = G.driverFd.load();
  if (G.state.load() != kUp || fd < 0) return false;
  if (payloadCount + 1 > IOV_MAX) return false;
  // Small on the stack: a program thread may have little of it.
  iovec small[8];
  std::unique_ptr<iovec[]> large;
  iovec* v = small;
  if (payloadCount + 1 > 8) v = (large = std::make_unique<iovec[]>(payloadCount + 1)).get();
  v[0] = {const_cast<void*>(fixed), fixedSize};
  for (size_t i = 0; i < payloadCount; ++i) v[i + 1] = payload[i];
  msghdr m{};
  m.msg_iov = v;
  m.msg_iovlen = payloadCount + 1;
  for (;;) {
    if (real().sendmsg(fd, &m, MSG_NOSIGNAL) >= 0) return true;
    if (errno == EINTR) continue;
    // A driver that did not take a report for the send time-out counts as
    // gone as much as one that closed the connection.
    markGone(G, errno == EAGAIN || errno == EWOULDBLOCK
                    ? "the driver took no report for " + std::to_string(kDriverSendTimeoutS) + " s"
                    : std::string("the driver went away"));
    return false;
  }
}

void* readerMain(void*);

void closeInternal(int& fd) {
  if (fd < 0) return;
  setKind(fd, Kind::Unknown);
  real().close(fd);
  fd = -1;
}

// Opens the connection; sendLock held, state kIdle. Leaves kUp or kDown.
void connectNow(Globals& G) {
  const std::string path = platform::captureSocketPath();
  int fd = -1, helper = -1;
  auto fail = [&](const std::string& why) {
    closeInternal(fd);
    closeInternal(helper);
    G.state = kDown;
    announce(G, why + "; this program's traffic is not steered");
  };
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return fail("the driver's capture socket path is too long");
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  fd = real().socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(std::string("no socket for the driver (") + std::strerror(errno) + ")");
  setKind(fd, Kind::Internal);
  if (real().connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return fail("cannot reach the driver at " + path + " (" + std::strerror(errno) + ")");
  const timeval sendLimit{kDriverSendTimeoutS, 0};
  real().setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
  const wire::Hello hello{wire::header(wire::kHello, 0), wire::kMagic, wire::kVersion, 0};
  wire::Hello welcome{};
  pollfd p{fd, POLLIN, 0};
  if (real().send(fd, &hello, sizeof hello, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof hello) ||
      ::poll(&p, 1, kHelloWaitMs) != 1 ||
      real().recv(fd, &welcome, sizeof welcome, MSG_DONTWAIT) != static_cast<ssize_t>(sizeof welcome) ||
      welcome.header.type != wire::kWelcome || welcome.magic != wire::kMagic ||
      welcome.version != wire::kVersion)
    return fail("the driver at " + path + " did not answer");
  // The helper that hands datagrams to the program's sockets.
  helper = real().socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in helperAddress{};
  helperAddress.sin_family = AF_INET;
  helperAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (helper < 0 ||
      real().bind(helper, reinterpret_cast<const sockaddr*>(&helperAddress), sizeof helperAddress) != 0 ||
      !localOf(helper, helperAddress))
    return fail(std::string("no loopback socket for the capture (") + std::strerror(errno) + ")");
  setKind(helper, Kind::Internal);

  std::lock_guard<std::mutex> guard(G.lock);
  epoll_event e{};
  e.events = EPOLLIN;
  if (G.epollFd < 0) {
    G.epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    G.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    setKind(G.epollFd, Kind::Internal);
    setKind(G.wakeFd, Kind::Internal);
    e.data.u64 = kWakeKey;
    if (G.epollFd >= 0 && G.wakeFd >= 0) ::epoll_ctl(G.epollFd, EPOLL_CTL_ADD, G.wakeFd, &e);
  }
  e.data.u64 = kDriverKey;
  if (G.epollFd < 0 || ::epoll_ctl(G.epollFd, EPOLL_CTL_ADD, fd, &e) != 0) {
    G.state = kDown;
    closeInternal(fd);
    closeInternal(helper);
    say("cannot wait for the driver; this program's traffic is not steered");
    return;
  }
  for (const auto& [realFd, sock] : G.icmpByReal) {
    e.data.u64 = static_cast<uint64_t>(realFd);
    ::epoll_ctl(G.epollFd, EPOLL_CTL_ADD, realFd, &e);
  }
  for (const auto& [shadowFd, sock] : G.byShadow) {
    e.data.u64 = kShadowKey | static_cast<uint64_t>(shadowFd);
    ::epoll_ctl(G.epollFd, EPOLL_CTL_ADD, shadowFd, &e);
  }
  G.helperFd = helper;
  G.helperAddress = helperAddress;
  G.driverFd = fd;
  ++G.generation;
  G.byNumber.clear();
  G.state = kUp;
  if (!G.readerRunning) {
    // Every signal blocked: the program's handlers never run on this thread.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    G.readerRunning = pthread_create(&thread, &attributes, readerMain, nullptr) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!G.readerRunning) {
      G.state = kDown;
      say("cannot start the capture's thread; this program's traffic is not steered");
    }
  }
}

// True when the driver is connected (connecting first when it was never
// tried).
bool ensureUp() {
  Globals& G = g();
  const int state = G.state.load();
  if (state != kIdle) return state == kUp;
  std::lock_guard<std::mutex> one(G.sendLock);
  if (G.state.load() == kIdle) connectNow(G);
  return G.state.load() == kUp;
}

// --- what the driver sends (the reader thread) --------------------------------------------

// Hands `data` to the program's end of an ICMP socket (lock held).
void feed(const Sock& s, const wire::Endpoint& peer, const char* data, size_t length) {
  if (s.feedFd < 0) return;
  Delivery d{kDeliveryMagic, s.number, peer};
  iovec v[2] = {{&d, sizeof d}, {const_cast<char*>(data), length}};
  msghdr m{};
  m.msg_iov = v;
  m.msg_iovlen = 2;
  // A program that lets replies pile up loses the newest, as its socket would.
  real().sendmsg(s.feedFd, &m, MSG_DONTWAIT | MSG_NOSIGNAL);
}

// One datagram out of a program's socket, from the reader. A socket whose
// send buffer is full gets a moment to drain (the reader serves every socket
// of the program, so it does not wait as long as a blocking send would);
// then the datagram is dropped, as UDP may.
void sendOut(int fd, std::string_view data, const sockaddr_in& to) {
  constexpr int kFullSocketWaitMs = 10;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (real().sendto(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0 ||
        (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS))
      return;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, kFullSocketWaitMs);
  }
}

void updateStraight(Sock& s) {
  if (s.straightAfter && static_cast<int32_t>(s.resolved - s.lastSent) >= 0) s.straight = true;
}

// False for a message the driver should not have sent.
bool act(Globals& G, const wire::Message& m) {
  std::unique_lock<std::mutex> guard(G.lock);
  auto found = G.byNumber.find(m.socket);
  Sock* s = found == G.byNumber.end() || found->second->closed ? nullptr : found->second.get();
  switch (m.type) {
    case wire::kTcpVerdict: {
      const wire::TcpVerdict v = m.as<wire::TcpVerdict>();
      auto it = G.verdicts.find(v.request);
      if (it != G.verdicts.end()) {
        it->second->verdict = v;
        it->second->done = true;
        G.changed.notify_all();
      }
      return true;
    }
    case wire::kUdpSend: {
      const wire::Datagram d = m.as<wire::Datagram>();
      if (s == nullptr || s->kind != Kind::Udp) return true;
      const sockaddr_in to = toSockaddr(d.peer);
      if (d.sequence == 0 && s->libraryPeers.size() < kMaxLibraryPeers &&
          s->programPeers.count(peerKey(to)) == 0 && s->programPeers.size() < kMaxProgramPeers)
        s->libraryPeers.insert(peerKey(to));
      // Out of the program's own socket; the lock keeps the descriptor from
      // being closed meanwhile.
      sendOut(s->fd(), m.payload, to);
      if (d.sequence != 0 && static_cast<int32_t>(d.sequence - s->resolved) > 0) s->resolved = d.sequence;
      updateStraight(*s);
      // Every datagram of a closed socket has left: it may go now.
      if (s->lingering && static_cast<int32_t>(s->resolved - s->lastSent) >= 0)
        s->lingerUntil = std::chrono::steady_clock::time_point{};
      G.changed.notify_all();
      return true;
    }
    case wire::kUdpDeliver: {
      const wire::Datagram d = m.as<wire::Datagram>();
      if (s == nullptr || s->kind != Kind::Udp || s->lingering) return true;
      if (s->shadowFd >= 0) {
        // From the shadow, which the socket is connected to: as from its
        // peer, with nothing in front.
        sendOut(s->shadowFd, m.payload, s->shadowSide);
        return true;
      }
      if (m.payload.size() > kMaxDelivered || G.helperFd < 0) return true;
      if (s->kernelConnected) {
        // The system would refuse the helper's datagram: the capture keeps
        // the connection from now on. Without a port bound by number the
        // disconnect would lose the socket's port; such a socket cannot take
        // what the driver hands it.
        if (!s->portLocked) return true;
        sockaddr unspecified{};
        unspecified.sa_family = AF_UNSPEC;
        if (real().connect(s->fd(), &unspecified, sizeof unspecified) != 0) return true;
        s->kernelConnected = false;
      }
      // To the address the program's socket is bound to (any address: its
      // loopback one).
      sockaddr_in to = s->local;
      if (to.sin_addr.s_addr == htonl(INADDR_ANY)) to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      Delivery header{kDeliveryMagic, s->number, d.peer};
      iovec v[2] = {{&header, sizeof header}, {const_cast<char*>(m.payload.data()), m.payload.size()}};
      msghdr out{};
      out.msg_name = &to;
      out.msg_namelen = sizeof to;
      out.msg_iov = v;
      out.msg_iovlen = 2;
      real().sendmsg(G.helperFd, &out, MSG_DONTWAIT | MSG_NOSIGNAL);
      return true;
    }
    case wire::kUdpStraight: {
      if (s == nullptr || s->kind != Kind::Udp) return true;
      const uint32_t after = m.as<wire::UdpStraight>().afterSequence;
      s->straightAfter = true;
      if (static_cast<int32_t>(after - s->resolved) > 0) s->resolved = after;
      updateStraight(*s);
      return true;
    }
    case wire::kIcmpSend: {
      if (s == nullptr || s->kind != Kind::Icmp) return true;
      sendOut(s->realFd, m.payload, toSockaddr(m.as<wire::IcmpPacket>().peer));
      return true;
    }
    case wire::kIcmpDeliver:
      if (s != nullptr && s->kind == Kind::Icmp)
        feed(*s, m.as<wire::IcmpPacket>().peer, m.payload.data(), m.payload.size());
      return true;
    default:
      return false;
  }
}

// Replies (and whatever else) the real ICMP socket received, to the program.
void forwardIcmp(Globals& G, int realFd, char* buffer) {
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = real().recvfrom(realFd, buffer, kReceiveBuffer, MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return;
    std::lock_guard<std::mutex> guard(G.lock);
    auto it = G.icmpByReal.find(realFd);
    if (it == G.icmpByReal.end() || it->second->closed) return;
    feed(*it->second, toEndpoint(from), buffer, static_cast<size_t>(n));
  }
}

void readDriver(Globals& G, char* buffer) {
  const int fd = G.driverFd.load();
  for (;;) {
    msghdr header{};
    iovec v{buffer, wire::kMaxMessage + 1};
    header.msg_iov = &v;
    header.msg_iovlen = 1;
    const ssize_t n = fd < 0 ? 0 : real().recvmsg(fd, &header, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    std::optional<wire::Message> m;
    if (n > 0 && (header.msg_flags & MSG_TRUNC) == 0)
      m = wire::readMessage(buffer, static_cast<size_t>(n), false);
    if (m && act(G, *m)) continue;
    markGone(G, n <= 0 ? "the driver went away" : "the driver sent a malformed message");
    // No writer uses the connection once it is marked gone; close it.
    {
      std::lock_guard<std::mutex> one(G.sendLock);
      std::lock_guard<std::mutex> guard(G.lock);
      if (G.epollFd >= 0 && fd >= 0) ::epoll_ctl(G.epollFd, EPOLL_CTL_DEL, fd, nullptr);
      int closing = G.driverFd.exchange(-1);
      closeInternal(closing);
    }
    return;
  }
}

bool report(Globals& G, const std::shared_ptr<Sock>& s, int fd, const iovec* data, size_t count,
            const sockaddr_in& to, bool& closed);

// The program sends to `to` from socket `s` (lock held): what comes from
// there is the program's.
void notePeer(Sock& s, const sockaddr_in& to) {
  const uint64_t key = peerKey(to);
  if (!s.libraryPeers.empty()) s.libraryPeers.erase(key);
  if (s.programPeers.size() < kMaxProgramPeers) s.programPeers.insert(key);
}

// A datagram that socket `s` received from a peer only the driver's library
// sent to from it (the node of the driver's direct transport) is the
// library's: it goes to the driver, which reports it as an inbound datagram
// of the flow, and not to the program. False for any other datagram, and
// when the driver cannot take it (the program gets it then, as it would
// without the capture).
bool handToLibrary(Globals& G, Sock& s, const sockaddr_in& from, std::string_view data) {
  // Its number with the driver if `from` is the library's peer, else 0.
  auto numberFor = [&]() -> uint32_t {
    std::lock_guard<std::mutex> guard(G.lock);
    if (s.closed || s.libraryPeers.empty() || s.libraryPeers.count(peerKey(from)) == 0 ||
        s.generation != G.generation)
      return 0;
    return s.number;
  };
  // Asked first without the writers' lock, which most datagrams need not wait for.
  if (numberFor() == 0) return false;
  std::lock_guard<std::mutex> one(G.sendLock);
  const uint32_t number = numberFor();
  if (number == 0) return false;
  const wire::Datagram d{wire::header(wire::kUdpReceived, number), 0, toEndpoint(from)};
  const iovec v{const_cast<char*>(data.data()), data.size()};
  return writeMessage(G, &d, sizeof d, &v, 1);
}

// A shadowed connection's traffic: what the program sent (to the shadow) is
// reported, or sent to the peer when it goes straight; what the peer
// answered (to the catcher) goes to the program from the shadow.
void forwardShadow(Globals& G, int fd, char* buffer) {
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = real().recvfrom(fd, buffer, kReceiveBuffer, MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return;
    const std::string_view data(buffer, static_cast<size_t>(n));
    std::shared_ptr<Sock> s;
    int programFd;
    sockaddr_in peer{};
    bool fromProgram;
    {
      std::lock_guard<std::mutex> guard(G.lock);
      auto it = G.byShadow.find(fd);
      if (it == G.byShadow.end() || it->second->closed) return;
      s = it->second;
      programFd = s->fd();
      peer = s->peer;
      fromProgram = fd == s->shadowFd;
      if (fromProgram && (!sameEndpoint(from, s->shadowSide) || s->writeShut)) continue;
      if (fromProgram) notePeer(*s, peer);
    }
    if (!fromProgram) {
      // A connected socket takes its peer's datagrams only, and those the
      // library's own peers send are the library's.
      if (handToLibrary(G, *s, from, data)) continue;
      std::lock_guard<std::mutex> guard(G.lock);
      if (!s->closed && s->shadowFd >= 0 && sameEndpoint(from, peer))
        sendOut(s->shadowFd, data, s->shadowSide);
      continue;
    }
    const iovec v{buffer, static_cast<size_t>(n)};
    bool closed = false;
    if (report(G, s, programFd, &v, 1, peer, closed) || closed) continue;
    std::lock_guard<std::mutex> guard(G.lock);
    if (!s->closed) sendOut(programFd, data, peer);
  }
}

// Closes the lingering sockets whose time is up; the milliseconds until the
// next one's, or -1.
int endLingering(Globals& G) {
  std::lock_guard<std::mutex> guard(G.lock);
  const auto now = std::chrono::steady_clock::now();
  int wait = -1;
  for (auto it = G.lingering.begin(); it != G.lingering.end();) {
    Sock& s = **it;
    if (s.lingerUntil > now) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(s.lingerUntil - now).count();
      wait = wait < 0 ? static_cast<int>(ms) : std::min(wait, static_cast<int>(ms));
      ++it;
      continue;
    }
    if (s.generation == G.generation) G.byNumber.erase(s.number);
    for (int fd : s.fds) closeInternal(fd);
    s.fds.clear();
    s.closed = true;
    s.lingering = false;
    it = G.lingering.erase(it);
  }
  return wait;
}

void* readerMain(void*) {
  Globals& G = g();
  std::unique_ptr<char[]> buffer(new char[std::max(kReceiveBuffer, wire::kMaxMessage + 1)]);
  int epollFd;
  {
    std::lock_guard<std::mutex> guard(G.lock);
    epollFd = G.epollFd;
  }
  epoll_event events[16];
  // Runs as long as the process: the real ICMP sockets' replies go on
  // reaching their programs also after the driver went away.
  for (;;) {
    const int n = ::epoll_wait(epollFd, events, 16, endLingering(G));
    if (n < 0 && errno != EINTR) return nullptr;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == kDriverKey) {
        readDriver(G, buffer.get());
      } else if (events[i].data.u64 == kWakeKey) {
        uint64_t count;
        (void)!real().read(G.wakeFd, &count, sizeof count);
      } else if ((events[i].data.u64 & kShadowKey) != 0) {
        forwardShadow(G, static_cast<int>(events[i].data.u64 & ~kShadowKey), buffer.get());
      } else {
        forwardIcmp(G, static_cast<int>(events[i].data.u64), buffer.get());
      }
    }
  }
}

// --- fork ------------------------------------------------------------------------------

void beforeFork() {
  Globals& G = g();
  G.sendLock.lock();
  G.lock.lock();
}

void afterForkInParent() {
  Globals& G = g();
  G.lock.unlock();
  G.sendLock.unlock();
}

// The child has only this thread: no reader, and the parent's connection is
// not its own. It opens one of its own on first need; its sockets report
// again under new numbers.
void afterForkInChild() {
  Globals& G = g();
  if (G.state.load() == kUp) G.state = kIdle;
  int fd = G.driverFd.exchange(-1);
  closeInternal(fd);
  closeInternal(G.helperFd);
  // The epoll instance is shared with the parent's: the child needs its own.
  closeInternal(G.epollFd);
  closeInternal(G.wakeFd);
  // The parent's lingering sockets are the parent's business.
  for (const auto& sock : G.lingering) {
    for (int keep : sock->fds) closeInternal(keep);
    sock->fds.clear();
    sock->closed = true;
  }
  G.lingering.clear();
  G.readerRunning = false;
  G.byNumber.clear();
  G.verdicts.clear();
  for (auto& [number, sock] : G.byFd) {
    sock->number = 0;
    sock->straight = sock->straightAfter = false;
    sock->libraryPeers.clear();  // the parent's driver connection sent to them
  }
  G.lock.unlock();
  G.sendLock.unlock();
}

__attribute__((constructor)) void installForkHandlers() {
  pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
}

// A program that exits right after sending (a one-shot sender whose
// datagrams nothing answers) would take its last datagrams with it while
// they are still on their way through the driver: exit() waits for them a
// moment, woken as they leave.
__attribute__((destructor)) void waitForLastDatagrams() {
  Globals& G = g();
  if (G.state.load() != kUp) return;
  std::unique_lock<std::mutex> guard(G.lock);
  auto pendingUntil = [&] {
    std::chrono::steady_clock::time_point until{};
    auto consider = [&](const Sock& s) {
      if (s.kind == Kind::Udp && !s.answered && static_cast<int32_t>(s.resolved - s.lastSent) < 0)
        until = std::max(until, s.lastReport + kExitWait);
    };
    for (const auto& [number, sock] : G.byNumber) consider(*sock);
    return until;
  };
  for (;;) {
    const auto until = pendingUntil();
    if (until <= std::chrono::steady_clock::now() || G.state.load() != kUp) return;
    G.changed.wait_until(guard, until);
  }
}

// --- UDP -------------------------------------------------------------------------------

ssize_t sendStraight(int fd, const msghdr* m, const sockaddr_in* to, int flags) {
  if (to == nullptr) return real().sendmsg(fd, m, flags);
  msghdr copy = *m;
  copy.msg_name = const_cast<sockaddr_in*>(to);
  copy.msg_namelen = sizeof *to;
  return real().sendmsg(fd, &copy, flags);
}

// Reports one datagram of socket `s` (descriptor `fd`) sent to `to`,
// registering the socket first. False when it is to go straight instead:
// the driver let the flow go, or cannot be written to. EBADF in `closed`
// for a socket closed meanwhile.
bool report(Globals& G, const std::shared_ptr<Sock>& s, int fd, const iovec* data, size_t count,
            const sockaddr_in& to, bool& closed) {
  closed = false;
  std::lock_guard<std::mutex> one(G.sendLock);
  uint32_t number = 0, sequence = 0;
  bool open = false;
  sockaddr_in local{};
  {
    std::lock_guard<std::mutex> guard(G.lock);
    if (s->closed) {
      closed = true;
      return false;
    }
    if (G.state.load() != kUp || (s->straight && s->generation == G.generation)) return false;
    if (s->number == 0 || s->generation != G.generation) {
      // Bound first, as the system's autobind would, so the driver learns
      // the real local address (a shadowed connection's as a connection to
      // the peer would have it).
      sockaddr_in any{};
      any.sin_family = AF_INET;
      const bool unbound = localOf(fd, local) && local.sin_port == 0;
      if (!localOf(fd, local) || (unbound && (!bindWithPort(fd, any) || !localOf(fd, local)))) return false;
      if (unbound) s->portLocked = true;
      if (s->shadowFd >= 0) local = s->shownLocal;
      s->number = G.nextNumber++;
      s->generation = G.generation;
      s->local = local;
      s->lastSent = s->resolved = 0;
      s->straight = s->straightAfter = false;
      s->mayDeliver = true;
      G.byNumber[s->number] = s;
      open = true;
    }
    number = s->number;
    sequence = ++s->lastSent;
    s->lastReport = std::chrono::steady_clock::now();
    s->answered = false;
  }
  if (open) {
    const wire::UdpOpen o{wire::header(wire::kUdpOpen, number), toEndpoint(local)};
    if (!writeMessage(G, &o, sizeof o)) return false;
  }
  const wire::Datagram d{wire::header(wire::kUdpDatagram, number), sequence, toEndpoint(to)};
  return writeMessage(G, &d, sizeof d, data, count);
}

ssize_t udpSend(Globals& G, int fd, const msghdr* m, int flags) {
  const bool named = m->msg_name != nullptr;
  const bool inet = named && m->msg_namelen >= sizeof(sockaddr_in) &&
                    static_cast<const sockaddr*>(m->msg_name)->sa_family == AF_INET;
  sockaddr_in to{};
  if (inet) std::memcpy(&to, m->msg_name, sizeof to);
  const sockaddr_in* toPeer = nullptr;
  std::shared_ptr<Sock> s;
  bool hasPeer, writeShut;
  {
    std::lock_guard<std::mutex> guard(G.lock);
    s = sockOf(G, fd, Kind::Udp);
    hasPeer = s->hasPeer;
    writeShut = s->writeShut;
    if (!named) to = s->peer;
    if ((inet || (!named && hasPeer)) && !writeShut) notePeer(*s, to);
  }
  if (writeShut) {
    if ((flags & MSG_NOSIGNAL) == 0) ::pthread_kill(::pthread_self(), SIGPIPE);
    errno = EPIPE;
    return -1;
  }
  if (!named) {
    if (!hasPeer) return real().sendmsg(fd, m, flags);
    toPeer = &to;
  } else if (!inet) {
    return real().sendmsg(fd, m, flags);
  }
  if (m->msg_controllen != 0 || (flags & (MSG_MORE | MSG_OOB)) != 0)
    return sendStraight(fd, m, toPeer, flags);
  const size_t total = totalLength(m);
  if (total > wire::kMaxPayload) {
    errno = EMSGSIZE;
    return -1;
  }
  if (!ensureUp()) return sendStraight(fd, m, toPeer, flags);
  bool closed = false;
  if (report(G, s, fd, m->msg_iov, m->msg_iovlen, to, closed)) return static_cast<ssize_t>(total);
  if (closed) {
    errno = EBADF;
    return -1;
  }
  return sendStraight(fd, m, toPeer, flags);
}

ssize_t udpReceive(Globals& G, int fd, msghdr* m, int flags) {
  bool filterPeer, mayDeliver, shadowed;
  sockaddr_in peer{}, helper{}, shadow{};
  std::shared_ptr<Sock> s;
  {
    std::lock_guard<std::mutex> guard(G.lock);
    s = sockOf(G, fd, Kind::Udp);
    shadowed = s->shadowFd >= 0;
    // The system passes a connected socket only its peer's datagrams (for
    // a shadowed one: the shadow's).
    filterPeer = s->hasPeer && !s->kernelConnected && !shadowed;
    peer = s->peer;
    shadow = s->shadowAddress;
    mayDeliver = s->mayDeliver && !shadowed;
    helper = G.helperAddress;
  }
  if ((!filterPeer && !mayDeliver && !shadowed) || (flags & MSG_ERRQUEUE) != 0)
    return real().recvmsg(fd, m, flags);
  char* buffer = receiveBuffer();
  for (;;) {
    sockaddr_in from{};
    iovec v{buffer, kReceiveBuffer};
    msghdr inner{};
    inner.msg_name = &from;
    inner.msg_namelen = sizeof from;
    inner.msg_iov = &v;
    inner.msg_iovlen = 1;
    inner.msg_control = m->msg_control;
    inner.msg_controllen = m->msg_controllen;
    const ssize_t n = real().recvmsg(fd, &inner, flags & ~MSG_TRUNC);
    if (n < 0) return n;
    const char* data = buffer;
    size_t length = static_cast<size_t>(n);
    Delivery d{};
    if (!shadowed && !sameEndpoint(from, helper) &&
        handToLibrary(G, *s, from, std::string_view(buffer, static_cast<size_t>(n)))) {
      // Not the program's: the call goes on as if it had not come (a
      // non-blocking one ends with EAGAIN). Peeked, it is taken off still.
      if ((flags & MSG_PEEK) != 0) real().recv(fd, buffer, 0, MSG_DONTWAIT);
      continue;
    }
    if (shadowed) {
      // Everything comes from the shadow, which stands for the peer.
      if (sameEndpoint(from, shadow)) from = peer;
    } else if (mayDeliver && sameEndpoint(from, helper) && length >= sizeof d) {
      std::memcpy(&d, buffer, sizeof d);
      if (d.magic == kDeliveryMagic) {
        from = toSockaddr(d.peer);
        data += sizeof d;
        length -= sizeof d;
      }
    } else if (filterPeer && !sameEndpoint(from, peer)) {
      // A connected socket never sees another sender's datagram. Peeked,
      // it is taken off the socket still.
      if ((flags & MSG_PEEK) != 0) real().recv(fd, buffer, 0, MSG_DONTWAIT);
      continue;
    }
    if ((flags & MSG_PEEK) == 0) {
      std::lock_guard<std::mutex> guard(G.lock);
      s->answered = true;
    }
    const size_t copied = copyOut(data, length, m);
    putName(m, from);
    m->msg_controllen = inner.msg_controllen;
    m->msg_flags = (inner.msg_flags & ~MSG_TRUNC) | (copied < length ? MSG_TRUNC : 0);
    return static_cast<ssize_t>((flags & MSG_TRUNC) != 0 ? length : copied);
  }
}

// Ends a shadowed connection's shadow and catcher (lock held).
void dropShadow(Globals& G, Sock& s) {
  for (int* fd : {&s.shadowFd, &s.catcherFd}) {
    if (*fd < 0) continue;
    if (G.epollFd >= 0) ::epoll_ctl(G.epollFd, EPOLL_CTL_DEL, *fd, nullptr);
    G.byShadow.erase(*fd);
    closeInternal(*fd);
  }
}

// Connects UDP socket `fd` to `destination` through a shadow peer: the
// socket is connected in the system to a socket of the capture's on
// loopback (the shadow), so that whatever the program sends, by any call,
// raw system calls of event libraries included, reaches the capture; a
// catcher socket on the same port (SO_REUSEPORT: the system gives a
// connected socket its peer's datagrams only, and the catcher the rest)
// takes what the real peer answers, and the shadow hands it to the program,
// as the peer. An unbound socket is bound first where a connect would bind
// it (the source address for the peer, a free port by number). False, with
// nothing changed that matters, when a step fails.
bool connectThroughShadow(Globals& G, int fd, const sockaddr_in& destination) {
  sockaddr_in local{}, source{};
  if (!localOf(fd, local) || !sourceFor(destination, source)) return false;
  const int on = 1;
  // Set before the socket is bound by the capture; on a socket the program
  // bound, the catcher's bind checks it as it is now.
  real().setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  bool boundHere = false;
  if (local.sin_port == 0) {
    sockaddr_in at = local.sin_addr.s_addr == htonl(INADDR_ANY) ? source : local;
    at.sin_port = 0;
    if (!bindWithPort(fd, at) || !localOf(fd, local)) return false;
    boundHere = true;
  }
  int catcher = real().socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int shadow = real().socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in shadowAddress{};
  shadowAddress.sin_family = AF_INET;
  shadowAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in shadowSide{};
  // The catcher joins the socket's port before the socket connects, so that
  // the system counts the port's group as holding a connected socket and
  // picks by address, not at random.
  const bool ready =
      catcher >= 0 && shadow >= 0 &&
      real().setsockopt(catcher, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0 &&
      real().bind(catcher, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
      real().bind(shadow, reinterpret_cast<const sockaddr*>(&shadowAddress), sizeof shadowAddress) == 0 &&
      localOf(shadow, shadowAddress) &&
      real().connect(fd, reinterpret_cast<const sockaddr*>(&shadowAddress), sizeof shadowAddress) == 0 &&
      localOf(fd, shadowSide);
  if (!ready) {
    if (catcher >= 0) real().close(catcher);
    if (shadow >= 0) real().close(shadow);
    return false;
  }
  sockaddr_in shown = local;
  if (shown.sin_addr.s_addr == htonl(INADDR_ANY)) shown.sin_addr = source.sin_addr;
  setKind(catcher, Kind::Internal);
  setKind(shadow, Kind::Internal);
  std::lock_guard<std::mutex> guard(G.lock);
  std::shared_ptr<Sock> s = sockOf(G, fd, Kind::Udp);
  s->shadowFd = shadow;
  s->catcherFd = catcher;
  s->shadowAddress = shadowAddress;
  s->shadowSide = shadowSide;
  s->shownLocal = shown;
  s->hasPeer = true;
  s->kernelConnected = false;
  s->peer = destination;
  if (boundHere) s->portLocked = true;
  G.byShadow[shadow] = s;
  G.byShadow[catcher] = s;
  epoll_event e{};
  e.events = EPOLLIN;
  for (int each : {shadow, catcher}) {
    e.data.u64 = kShadowKey | static_cast<uint64_t>(each);
    if (G.epollFd >= 0) ::epoll_ctl(G.epollFd, EPOLL_CTL_ADD, each, &e);
  }
  return true;
}

// A connected UDP socket goes through a shadow peer (connectThroughShadow).
// Where that cannot be arranged it is connected in the system to its peer,
// so that calls the capture does not see find it connected; the system
// refuses datagrams from anyone but the peer on it, the capture's helper
// included, so the first datagram the driver hands it disconnects it in the
// system and the capture keeps the connection from then on (kUdpDeliver).
int udpConnect(Globals& G, int fd, const sockaddr* address, socklen_t length) {
  if (address != nullptr && length >= sizeof(sa_family_t) && address->sa_family == AF_UNSPEC) {
    bool inSystem;
    {
      std::lock_guard<std::mutex> guard(G.lock);
      std::shared_ptr<Sock> s = sockOf(G, fd, Kind::Udp);
      inSystem = s->kernelConnected || s->shadowFd >= 0;
      const bool hadPeer = s->hasPeer;
      dropShadow(G, *s);
      s->hasPeer = s->kernelConnected = false;
      if (hadPeer && !inSystem) return 0;
    }
    return real().connect(fd, address, length);
  }
  if (address == nullptr || length < sizeof(sockaddr_in) || address->sa_family != AF_INET || !ensureUp())
    return real().connect(fd, address, length);
  sockaddr_in destination;
  std::memcpy(&destination, address, sizeof destination);
  {
    // Connected again: to a new peer, through a new shadow.
    std::lock_guard<std::mutex> guard(G.lock);
    dropShadow(G, *sockOf(G, fd, Kind::Udp));
  }
  if (connectThroughShadow(G, fd, destination)) return 0;
  sockaddr_in local{};
  if (!localOf(fd, local)) return real().connect(fd, address, length);
  bool boundHere = false;
  if (local.sin_port == 0) {
    sockaddr_in source = local;
    if (source.sin_addr.s_addr == htonl(INADDR_ANY) && !sourceFor(destination, source)) return -1;
    if (!bindWithPort(fd, source)) return -1;
    boundHere = true;
  }
  if (real().connect(fd, address, length) != 0) return -1;
  std::lock_guard<std::mutex> guard(G.lock);
  std::shared_ptr<Sock> s = sockOf(G, fd, Kind::Udp);
  s->hasPeer = s->kernelConnected = true;
  s->peer = destination;
  if (boundHere) s->portLocked = true;
  return 0;
}

// --- TCP -------------------------------------------------------------------------------

int tcpConnect(Globals& G, int fd, const sockaddr* address, socklen_t length) {
  sockaddr_in destination;
  std::memcpy(&destination, address, sizeof destination);
  std::shared_ptr<Sock> s;
  {
    std::lock_guard<std::mutex> guard(G.lock);
    s = sockOf(G, fd, Kind::Tcp);
    // Asked again (a non-blocking connect in progress, an interrupted one):
    // the answer stands.
    if (s->decided && sameEndpoint(s->original, destination)) {
      const sockaddr_in target = s->target;
      return real().connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    }
  }
  if (!ensureUp()) return real().connect(fd, address, length);
  sockaddr_in local{};
  if (!localOf(fd, local)) return real().connect(fd, address, length);
  if (local.sin_port == 0) {
    // The driver reports a connect with its real local port, so the socket
    // is bound before it connects: to the source address the system would
    // pick for the destination.
    sockaddr_in source{};
    if (local.sin_addr.s_addr != htonl(INADDR_ANY))
      source = local;
    else if (!sourceFor(destination, source))
      return real().connect(fd, address, length);
    source.sin_port = 0;
    if (real().bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0 ||
        !localOf(fd, local))
      return real().connect(fd, address, length);
  }
  Verdict slot;
  uint32_t request, number;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> guard(G.lock);
    request = G.nextRequest++;
    number = G.nextNumber++;
    generation = G.generation;
    G.verdicts[request] = &slot;
  }
  const wire::TcpConnect c{wire::header(wire::kTcpConnect, number), request, toEndpoint(local),
                           toEndpoint(destination)};
  {
    std::lock_guard<std::mutex> one(G.sendLock);
    writeMessage(G, &c, sizeof c);
  }
  std::unique_lock<std::mutex> guard(G.lock);
  G.changed.wait_until(guard, std::chrono::steady_clock::now() + kVerdictWait,
                       [&] { return slot.done || G.state.load() != kUp; });
  G.verdicts.erase(request);
  const bool answered = slot.done;
  const wire::TcpVerdict v = slot.verdict;
  sockaddr_in target = destination;
  if (answered && v.action == wire::kConnectTo) target = toSockaddr(v.target);
  s->decided = true;
  s->original = destination;
  s->target = target;
  s->redirected = !sameEndpoint(target, destination);
  s->tracked = answered && (v.flags & wire::kTracked) != 0;
  s->number = number;
  s->generation = generation;
  guard.unlock();
  if (answered && v.action == wire::kRefuse) {
    errno = ECONNREFUSED;
    return -1;
  }
  return real().connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
}

// --- ICMP ------------------------------------------------------------------------------

std::shared_ptr<Sock> icmpSock(Globals& G, int fd) {
  std::lock_guard<std::mutex> guard(G.lock);
  std::shared_ptr<Sock> s = findSock(G, fd);
  return s && s->kind == Kind::Icmp ? s : nullptr;
}

int icmpSocket(Globals& G, int type) {
  if (!ensureUp()) return real().socket(AF_INET, type, IPPROTO_ICMP);
  // The program could not ping without the capture either.
  const int realFd = real().socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (realFd < 0) return -1;
  int pair[2];
  if (real().socketpair(AF_UNIX, SOCK_DGRAM | (type & SOCK_CLOEXEC), 0, pair) != 0) {
    const int error = errno;
    real().close(realFd);
    errno = error;
    return -1;
  }
  ::fcntl(pair[1], F_SETFD, FD_CLOEXEC);
  ::fcntl(pair[1], F_SETFL, O_NONBLOCK);
  if ((type & SOCK_NONBLOCK) != 0) ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
  auto s = std::make_shared<Sock>();
  s->kind = Kind::Icmp;
  s->fds.push_back(pair[0]);
  s->realFd = realFd;
  s->feedFd = pair[1];
  setKind(realFd, Kind::Internal);
  setKind(pair[1], Kind::Internal);
  setKind(pair[0], Kind::Icmp);
  std::lock_guard<std::mutex> guard(G.lock);
  G.byFd[pair[0]] = s;
  G.icmpByReal[realFd] = s;
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.u64 = static_cast<uint64_t>(realFd);
  if (G.epollFd >= 0) ::epoll_ctl(G.epollFd, EPOLL_CTL_ADD, realFd, &e);
  return pair[0];
}

ssize_t icmpSend(Globals& G, const std::shared_ptr<Sock>& s, const msghdr* m, int flags) {
  sockaddr_in to{};
  {
    std::lock_guard<std::mutex> guard(G.lock);
    if (m->msg_name == nullptr && !s->hasIcmpPeer) return real().sendmsg(s->realFd, m, flags);
    to = s->icmpPeer;
  }
  if (m->msg_name != nullptr) {
    if (m->msg_namelen < sizeof(sockaddr_in) ||
        static_cast<const sockaddr*>(m->msg_name)->sa_family != AF_INET)
      return real().sendmsg(s->realFd, m, flags);
    std::memcpy(&to, m->msg_name, sizeof to);
  }
  std::string message(totalLength(m), '\0');
  if (message.size() > wire::kMaxPayload) {
    errno = EMSGSIZE;
    return -1;
  }
  size_t at = 0;
  for (size_t i = 0; i < m->msg_iovlen; ++i) {
    std::memcpy(message.data() + at, m->msg_iov[i].iov_base, m->msg_iov[i].iov_len);
    at += m->msg_iov[i].iov_len;
  }
  // Only echo requests are the driver's business; the system answers the
  // rest as it would (a ping socket refuses them).
  if (message.size() < 8 || static_cast<uint8_t>(message[0]) != 8 || G.state.load() != kUp)
    return sendStraight(s->realFd, m, &to, flags);
  sockaddr_in source{};
  if (!sourceFor(to, source)) return -1;
  // A ping socket's system puts the socket's own identifier (its "port") in
  // every request it sends, and replies are matched by it: the reported
  // request carries it too, so that a reply looks the same whichever way it
  // came. The real socket is bound first if it has none yet.
  sockaddr_in ident{};
  if (!localOf(s->realFd, ident) || ident.sin_port == 0) {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    real().bind(s->realFd, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    localOf(s->realFd, ident);
  }
  if (ident.sin_port != 0) std::memcpy(message.data() + 4, &ident.sin_port, 2);
  std::unique_lock<std::mutex> one(G.sendLock);
  uint32_t number;
  {
    std::lock_guard<std::mutex> guard(G.lock);
    if (s->closed) {
      errno = EBADF;
      return -1;
    }
    if (s->number == 0 || s->generation != G.generation) {
      s->number = G.nextNumber++;
      s->generation = G.generation;
      G.byNumber[s->number] = s;
    }
    number = s->number;
  }
  const wire::IcmpEcho echo{wire::header(wire::kIcmpEcho, number), toEndpoint(source), toEndpoint(to)};
  const iovec payload{message.data(), message.size()};
  if (!writeMessage(G, &echo, sizeof echo, &payload, 1)) {
    one.unlock();
    return sendStraight(s->realFd, m, &to, flags);
  }
  return static_cast<ssize_t>(message.size());
}

ssize_t icmpReceive(int fd, msghdr* m, int flags) {
  char* buffer = receiveBuffer();
  for (;;) {
    iovec v{buffer, kReceiveBuffer};
    msghdr inner{};
    inner.msg_iov = &v;
    inner.msg_iovlen = 1;
    const ssize_t n = real().recvmsg(fd, &inner, flags & ~MSG_TRUNC);
    if (n < 0) return n;
    Delivery d;
    if (static_cast<size_t>(n) < sizeof d) continue;  // only the capture writes here
    std::memcpy(&d, buffer, sizeof d);
    const size_t length = static_cast<size_t>(n) - sizeof d;
    const size_t copied = copyOut(buffer + sizeof d, length, m);
    putName(m, toSockaddr(d.peer));
    m->msg_controllen = 0;
    m->msg_flags = copied < length ? MSG_TRUNC : 0;
    return static_cast<ssize_t>((flags & MSG_TRUNC) != 0 ? length : copied);
  }
}

// --- closing ---------------------------------------------------------------------------

// Forgets `fd` as a descriptor of its socket; when it was the last one,
// tells the driver and lets the socket's own descriptors go.
void detach(Globals& G, int fd) {
  std::shared_ptr<Sock> last;
  {
    std::lock_guard<std::mutex> one(G.sendLock);
    {
      std::lock_guard<std::mutex> guard(G.lock);
      auto it = G.byFd.find(fd);
      setKind(fd, Kind::Unknown);
      if (it == G.byFd.end()) return;
      std::shared_ptr<Sock> s = it->second;
      G.byFd.erase(it);
      s->fds.erase(std::remove(s->fds.begin(), s->fds.end(), fd), s->fds.end());
      if (!s->fds.empty()) return;
      s->closed = true;
      last = s;
      dropShadow(G, *s);
      if (s->kind == Kind::Icmp) {
        G.icmpByReal.erase(s->realFd);
        if (G.epollFd >= 0) ::epoll_ctl(G.epollFd, EPOLL_CTL_DEL, s->realFd, nullptr);
      }
      const bool registered = s->number != 0 && s->generation == G.generation;
      // Datagrams on their way through the driver still leave from the
      // socket: it stays open for them a while, under a descriptor of the
      // capture's, woken for by the reader.
      const int keep = registered && s->kind == Kind::Udp && G.state.load() == kUp &&
                               static_cast<int32_t>(s->resolved - s->lastSent) < 0
                           ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0)
                           : -1;
      if (keep >= 0) {
        setKind(keep, Kind::Internal);
        s->closed = false;
        s->lingering = true;
        s->lingerUntil = std::chrono::steady_clock::now() + kLinger;
        s->fds.push_back(keep);
        G.lingering.push_back(s);
        // The reader's wait counts with this one from now on.
        const uint64_t one = 1;
        if (G.wakeFd >= 0) (void)!real().write(G.wakeFd, &one, sizeof one);
      } else if (registered) {
        G.byNumber.erase(s->number);
      }
      if (!registered || (s->kind == Kind::Tcp && !s->tracked)) s->number = 0;
    }
    if (last->number != 0) {
      const wire::Type type = last->kind == Kind::Udp   ? wire::kUdpClose
                              : last->kind == Kind::Tcp ? wire::kTcpClose
                                                        : wire::kIcmpClose;
      const wire::SocketClosed c{wire::header(type, last->number)};
      writeMessage(G, &c, sizeof c);
    }
  }
  if (last->kind == Kind::Icmp) {
    std::lock_guard<std::mutex> guard(G.lock);
    closeInternal(last->realFd);
    closeInternal(last->feedFd);
  }
}

// The kind of a descriptor the capture has not seen made: its socket options
// tell.
Kind classify(int fd) {
  int domain = 0, type = 0, protocol = 0;
  socklen_t length = sizeof domain;
  if (real().getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0)
    return errno == EBADF ? Kind::Unknown : Kind::Other;
  if (domain != AF_INET) return Kind::Other;
  length = sizeof type;
  real().getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length);
  length = sizeof protocol;
  real().getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length);
  if (type == SOCK_DGRAM && protocol == IPPROTO_UDP) return Kind::Udp;
  if (type == SOCK_STREAM && protocol == IPPROTO_TCP) return Kind::Tcp;
  return Kind::Other;
}

}  // namespace

// --- the calls ----------------------------------------------------------------------------

Kind kindOf(int fd) {
  if (fd < 0 || fd >= kMaxFd) return Kind::Other;
  const Kind stored = storedKind(fd);
  if (stored != Kind::Unknown) return stored;
  const Kind found = classify(fd);
  if (found == Kind::Unknown) return Kind::Other;  // not open: the call itself says so
  uint8_t expected = 0;
  kinds[fd].compare_exchange_strong(expected, static_cast<uint8_t>(found));
  return expected == 0 ? found : static_cast<Kind>(expected);
}

bool driverReachable() { return ensureUp(); }

int socketCall(int domain, int type, int protocol) {
  Globals& G = g();
  const int base = type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (domain == AF_INET && base == SOCK_DGRAM && protocol == IPPROTO_ICMP) return icmpSocket(G, type);
  const int fd = real().socket(domain, type, protocol);
  if (fd < 0 || fd >= kMaxFd) return fd;
  Kind kind = Kind::Other;
  if (domain == AF_INET && base == SOCK_DGRAM && (protocol == 0 || protocol == IPPROTO_UDP)) kind = Kind::Udp;
  if (domain == AF_INET && base == SOCK_STREAM && (protocol == 0 || protocol == IPPROTO_TCP))
    kind = Kind::Tcp;
  {
    // A socket object left by a descriptor the C library closed behind the
    // capture's back belongs to nobody now.
    std::lock_guard<std::mutex> guard(G.lock);
    G.byFd.erase(fd);
  }
  setKind(fd, kind);
  return fd;
}

int connectCall(int fd, const sockaddr* address, socklen_t length) {
  Globals& G = g();
  switch (kindOf(fd)) {
    case Kind::Tcp:
      if (address == nullptr || length < sizeof(sockaddr_in) || address->sa_family != AF_INET) break;
      return tcpConnect(G, fd, address, length);
    case Kind::Udp:
      return udpConnect(G, fd, address, length);
    case Kind::Icmp:
      if (std::shared_ptr<Sock> s = icmpSock(G, fd)) {
        const int result = real().connect(s->realFd, address, length);
        if (result == 0 && address != nullptr && length >= sizeof(sockaddr_in) &&
            address->sa_family == AF_INET) {
          std::lock_guard<std::mutex> guard(G.lock);
          s->hasIcmpPeer = true;
          std::memcpy(&s->icmpPeer, address, sizeof s->icmpPeer);
        }
        return result;
      }
      break;
    default:
      break;
  }
  return real().connect(fd, address, length);
}

int bindCall(int fd, const sockaddr* address, socklen_t length) {
  Globals& G = g();
  const Kind kind = kindOf(fd);
  if (kind == Kind::Icmp)
    if (std::shared_ptr<Sock> s = icmpSock(G, fd)) return real().bind(s->realFd, address, length);
  if (kind != Kind::Udp || address == nullptr || length < sizeof(sockaddr_in) ||
      address->sa_family != AF_INET)
    return real().bind(fd, address, length);
  // Port 0 is chosen here, as the system would choose it, so that the port
  // survives the disconnect a connected socket may need later.
  sockaddr_in at;
  std::memcpy(&at, address, sizeof at);
  if (!bindWithPort(fd, at)) return -1;
  std::lock_guard<std::mutex> guard(G.lock);
  sockOf(G, fd, Kind::Udp)->portLocked = true;
  return 0;
}

int getpeernameCall(int fd, sockaddr* address, socklen_t* length) {
  Globals& G = g();
  const Kind kind = kindOf(fd);
  if (kind == Kind::Icmp)
    if (std::shared_ptr<Sock> s = icmpSock(G, fd)) return real().getpeername(s->realFd, address, length);
  if (kind != Kind::Udp && kind != Kind::Tcp) return real().getpeername(fd, address, length);
  sockaddr_in shown{};
  {
    std::lock_guard<std::mutex> guard(G.lock);
    std::shared_ptr<Sock> s = findSock(G, fd);
    if (!s || !(s->hasPeer || s->redirected)) return real().getpeername(fd, address, length);
    shown = s->hasPeer ? s->peer : s->original;
  }
  // A redirected connection shows the destination the program asked for,
  // once it is connected at all.
  if (kind == Kind::Tcp) {
    sockaddr_in actual{};
    socklen_t actualLength = sizeof actual;
    if (real().getpeername(fd, reinterpret_cast<sockaddr*>(&actual), &actualLength) != 0) return -1;
  }
  if (address == nullptr || length == nullptr) {
    errno = EFAULT;
    return -1;
  }
  std::memcpy(address, &shown, std::min<size_t>(*length, sizeof shown));
  *length = sizeof shown;
  return 0;
}

int getsocknameCall(int fd, sockaddr* address, socklen_t* length) {
  Globals& G = g();
  const Kind kind = kindOf(fd);
  if (kind == Kind::Icmp)
    if (std::shared_ptr<Sock> s = icmpSock(G, fd)) return real().getsockname(s->realFd, address, length);
  if (kind == Kind::Udp && address != nullptr && length != nullptr) {
    // A shadowed connection shows the address a connection to its peer has.
    sockaddr_in shown{};
    {
      std::lock_guard<std::mutex> guard(G.lock);
      std::shared_ptr<Sock> s = findSock(G, fd);
      if (!s || s->shadowFd < 0) return real().getsockname(fd, address, length);
      shown = s->shownLocal;
    }
    std::memcpy(address, &shown, std::min<size_t>(*length, sizeof shown));
    *length = sizeof shown;
    return 0;
  }
  return real().getsockname(fd, address, length);
}

int setsockoptCall(int fd, int level, int name, const void* value, socklen_t length) {
  if (kindOf(fd) == Kind::Icmp) {
    if (std::shared_ptr<Sock> s = icmpSock(g(), fd)) {
      // Socket-level options also hold for the end the program reads
      // (time-outs, buffer sizes); the rest is the real socket's.
      const int result = real().setsockopt(s->realFd, level, name, value, length);
      if (level != SOL_SOCKET) return result;
      return real().setsockopt(fd, level, name, value, length);
    }
  }
  return real().setsockopt(fd, level, name, value, length);
}

int getsockoptCall(int fd, int level, int name, void* value, socklen_t* length) {
  if (kindOf(fd) == Kind::Icmp) {
    if (std::shared_ptr<Sock> s = icmpSock(g(), fd)) {
      const bool ownEnd = level == SOL_SOCKET && name != SO_TYPE && name != SO_DOMAIN &&
                          name != SO_PROTOCOL && name != SO_ERROR;
      return real().getsockopt(ownEnd ? fd : s->realFd, level, name, value, length);
    }
  }
  return real().getsockopt(fd, level, name, value, length);
}

ssize_t sendCall(int fd, const msghdr* message, int flags) {
  Globals& G = g();
  const Kind kind = kindOf(fd);
  if (kind == Kind::Udp) return udpSend(G, fd, message, flags);
  if (kind == Kind::Icmp)
    if (std::shared_ptr<Sock> s = icmpSock(G, fd)) return icmpSend(G, s, message, flags);
  return real().sendmsg(fd, message, flags);
}

ssize_t receiveCall(int fd, msghdr* message, int flags) {
  Globals& G = g();
  const Kind kind = kindOf(fd);
  if (kind == Kind::Udp) return udpReceive(G, fd, message, flags);
  if (kind == Kind::Icmp)
    if (icmpSock(G, fd)) return icmpReceive(fd, message, flags);
  return real().recvmsg(fd, message, flags);
}

int sendManyCall(int fd, mmsghdr* messages, unsigned int count, int flags) {
  unsigned int sent = 0;
  for (; sent < count; ++sent) {
    const ssize_t n = sendCall(fd, &messages[sent].msg_hdr, flags);
    if (n < 0) return sent == 0 ? -1 : static_cast<int>(sent);
    messages[sent].msg_len = static_cast<unsigned int>(n);
  }
  return static_cast<int>(sent);
}

int receiveManyCall(int fd, mmsghdr* messages, unsigned int count, int flags) {
  unsigned int received = 0;
  for (; received < count; ++received) {
    // After the first, only what is there already (MSG_WAITFORONE).
    int f = flags & ~MSG_WAITFORONE;
    if (received > 0 && (flags & MSG_WAITFORONE) != 0) f |= MSG_DONTWAIT;
    const ssize_t n = receiveCall(fd, &messages[received].msg_hdr, f);
    if (n < 0) return received == 0 ? -1 : static_cast<int>(received);
    messages[received].msg_len = static_cast<unsigned int>(n);
  }
  return static_cast<int>(received);
}

int shutdownCall(int fd, int how) {
  Globals& G = g();
  if (kindOf(fd) != Kind::Udp) return real().shutdown(fd, how);
  bool hasPeer;
  {
    std::lock_guard<std::mutex> guard(G.lock);
    std::shared_ptr<Sock> s = sockOf(G, fd, Kind::Udp);
    if (s->number == 0 && !s->hasPeer) return real().shutdown(fd, how);
    // The system would refuse the capture's own sends of datagrams the
    // program sent before: the capture keeps the sending half itself.
    if (how == SHUT_WR || how == SHUT_RDWR) s->writeShut = true;
    hasPeer = s->hasPeer;
  }
  if (how == SHUT_RD || how == SHUT_RDWR) real().shutdown(fd, SHUT_RD);
  if (how != SHUT_RD && how != SHUT_WR && how != SHUT_RDWR) {
    errno = EINVAL;
    return -1;
  }
  // As a connected socket answers, or an unconnected one.
  if (hasPeer) return 0;
  errno = ENOTCONN;
  return -1;
}

int closeCall(int fd) {
  const Kind kind = storedKind(fd);
  // The capture's own descriptors stay open: a program that closes every
  // descriptor it does not know (a daemon, say) keeps its capture.
  if (kind == Kind::Internal) return 0;
  if (kind == Kind::Udp || kind == Kind::Tcp || kind == Kind::Icmp) detach(g(), fd);
  setKind(fd, Kind::Unknown);
  return real().close(fd);
}

int dupCall(int fd, int newFd, int flags, bool isDup3) {
  Globals& G = g();
  if (newFd >= 0 && newFd != fd) {
    if (storedKind(newFd) == Kind::Internal) {
      // Taking over a descriptor of the capture would break it: refused.
      errno = EBUSY;
      return -1;
    }
    if (storedKind(newFd) != Kind::Unknown) detach(G, newFd);
  }
  const int result = newFd < 0 ? real().dup(fd)
                     : isDup3  ? real().dup3(fd, newFd, flags)
                               : real().dup2(fd, newFd);
  if (result < 0 || result == fd || result >= kMaxFd) return result;
  const Kind kind = storedKind(fd);
  setKind(result, Kind::Unknown);
  if (kind == Kind::Udp || kind == Kind::Tcp || kind == Kind::Icmp) {
    std::lock_guard<std::mutex> guard(G.lock);
    if (std::shared_ptr<Sock> s = findSock(G, fd)) {
      s->fds.push_back(result);
      G.byFd[result] = s;
      setKind(result, kind);
    }
  }
  return result;
}

}  // namespace capture::preload
