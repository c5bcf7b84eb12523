// Linux has no completion port, so this builds the Windows contract on epoll.
// Associated sockets are non-blocking and registered edge-triggered for
// reading; writing is watched only while a send waits on the socket, since a
// datagram socket raises a write edge for nearly every datagram it sends.
// Starting an operation tries the system call at once when nothing is queued
// before it on that socket; when the socket is not ready (EAGAIN) the
// operation waits on the socket's queue, and the edge that epoll reports when
// the socket becomes ready runs the queue in order. Every operation that ends,
// at once or later, puts its completion on the port's own queue, which wait()
// serves before it asks epoll again; a posted completion, or one that ended
// later, goes on the same queue and wakes a thread blocked in epoll_wait
// through an eventfd. A send that went at once does not wake a thread that
// waits with a time limit: its completion is taken when that thread next
// wakes (for a datagram, a post or its time-out), or the wake comes once
// kUnwokenLimit such completions wait. A thread waiting without a limit is
// woken for it at once.
// One mutex guards the port's tables and queue; the non-blocking calls made
// under it never wait.
//
// The pending operation's bookkeeping lives in the caller's record header
// (Overlapped), and the completion queue is a ring that only ever grows, so
// steady traffic allocates nothing here.
#include "platform/completion.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

// What a started operation needs until it can run, kept in the record.
struct PendingOp {
  PendingOp* next;
  void* buffer;                    // receive target or send source
  SocketAddress* from;             // receive: the source address
  int* fromLength;                 // receive: its length
  uint32_t length;                 // send length or receive capacity
  uint8_t to[kIpv6AddressLength];  // send: destination in the engine layout
};
static_assert(sizeof(PendingOp) <= sizeof(Overlapped::systemStorage));
static_assert(alignof(PendingOp) <= alignof(Overlapped));

PendingOp* opOf(Overlapped& record) {
  std::memset(record.systemStorage, 0, sizeof record.systemStorage);
  return reinterpret_cast<PendingOp*>(record.systemStorage);
}
Overlapped* recordOf(PendingOp* op) { return reinterpret_cast<Overlapped*>(op); }

// First-in first-out list threaded through the records themselves.
struct OpQueue {
  PendingOp* head = nullptr;
  PendingOp* tail = nullptr;
  bool empty() const { return head == nullptr; }
  void push(PendingOp* op) {
    op->next = nullptr;
    if (tail)
      tail->next = op;
    else
      head = op;
    tail = op;
  }
  PendingOp* pop() {
    PendingOp* op = head;
    head = op->next;
    if (!head) tail = nullptr;
    return op;
  }
};

struct SocketEntry {
  uintptr_t key = 0;
  uint32_t serial = 0;  // tells a late epoll event of a closed descriptor from its reuse
  bool watchingWrites = false;
  OpQueue receives;
  OpQueue sends;
};

// epoll data of the wake-up eventfd; sockets carry (serial << 32 | fd), and
// serials start at 1.
constexpr uint64_t kWakeTag = 0;
constexpr int kEventsPerWait = 64;
// Completions of sends that went at once that may wait for a blocked
// thread's next wake before one is forced.
constexpr int kUnwokenLimit = 8;

bool wouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

// A received source address in the engine's layout (zeroed for a family the
// engine does not know).
SocketAddress engineAddress(const sockaddr_storage& source) {
  if (source.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&source);
    return makeIpv4Address(v4->sin_addr.s_addr, v4->sin_port);
  }
  if (source.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&source);
    SocketAddress a = makeIpv6Address(v6->sin6_addr.s6_addr, v6->sin6_port, v6->sin6_scope_id);
    std::memcpy(a.bytes + 4, &v6->sin6_flowinfo, 4);
    return a;
  }
  return SocketAddress{};
}

}  // namespace

struct CompletionPort::State {
  std::mutex lock;
  int epoll = -1;
  int wake = -1;
  bool wakeSignalled = false;  // the eventfd holds a count that no waiter has read yet
  int waiters = 0;             // threads inside epoll_wait
  int unwoken = 0;             // completions queued since they last woke, without a wake
  int unlimitedWaiters = 0;    // those of the waiters that wait without a time limit
  uint32_t nextSerial = 0;
  std::unordered_map<int, SocketEntry> sockets;
  // Ready completions: a ring of ready.size() slots, `count` of them used from `head`.
  std::vector<Completion> ready = std::vector<Completion>(64);
  size_t head = 0;
  size_t count = 0;

  // `wakeWaiter` false: the completion of a send that went at once, whose
  // record the caller needs back only eventually.
  void complete(uint32_t bytes, uintptr_t key, Overlapped* record, uint32_t error, bool wakeWaiter = true) {
    if (count == ready.size()) {
      std::vector<Completion> grown(ready.size() * 2);
      for (size_t i = 0; i < count; ++i) grown[i] = ready[(head + i) % ready.size()];
      ready.swap(grown);
      head = 0;
    }
    ready[(head + count) % ready.size()] = Completion{bytes, key, record, error};
    ++count;
    // Only a thread blocked in epoll_wait needs the eventfd; one that is
    // about to block looks at the queue first, under the same lock.
    if (waiters == 0 || wakeSignalled) return;
    if (!wakeWaiter && unlimitedWaiters == 0 && ++unwoken < kUnwokenLimit) return;
    wakeWaiters();
  }

  void wakeWaiters() {
    const uint64_t one = 1;
    if (::write(wake, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) wakeSignalled = true;
  }

  bool take(Completion& out) {
    if (count == 0) return false;
    out = ready[head];
    head = (head + 1) % ready.size();
    --count;
    return true;
  }

  // Runs the socket's queued receives while datagrams are there.
  void runReceives(int fd, SocketEntry& entry) {
    while (!entry.receives.empty()) {
      PendingOp* op = entry.receives.head;
      // MSG_TRUNC makes recvfrom return the datagram's real length, so a cut
      // datagram fails as it does on Windows instead of passing as whole.
      sockaddr_storage source{};
      socklen_t sourceLength = sizeof source;
      const ssize_t n = ::recvfrom(fd, op->buffer, op->length, MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&source), &sourceLength);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && wouldBlock(errno)) return;
      entry.receives.pop();
      if (n < 0) {
        complete(0, entry.key, recordOf(op), static_cast<uint32_t>(errno));
        continue;
      }
      *op->from = engineAddress(source);
      *op->fromLength = static_cast<int>(op->from->length());
      const bool cut = static_cast<size_t>(n) > op->length;
      complete(cut ? op->length : static_cast<uint32_t>(n), entry.key, recordOf(op), cut ? EMSGSIZE : 0);
    }
  }

  // Watches the socket for writing while sends wait on it, and only then.
  void watchWrites(int fd, SocketEntry& entry, bool watch) {
    if (entry.watchingWrites == watch) return;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLET | (watch ? EPOLLOUT : 0u);
    event.data.u64 = (uint64_t{entry.serial} << 32) | static_cast<uint32_t>(fd);
    // The change also reports a write edge if the socket is writable already,
    // so a send queued just as room appeared is not stranded.
    if (epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &event) == 0) entry.watchingWrites = watch;
  }

  void runSends(int fd, SocketEntry& entry) {
    if (entry.sends.empty()) watchWrites(fd, entry, false);
    while (!entry.sends.empty()) {
      PendingOp* op = entry.sends.head;
      SocketAddress to;
      std::memcpy(to.bytes, op->to, sizeof op->to);
      const int n = sendTo(static_cast<Socket>(fd), op->buffer, op->length, to);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && wouldBlock(errno)) return;
      const int error = n < 0 ? errno : 0;
      entry.sends.pop();
      complete(n < 0 ? 0 : static_cast<uint32_t>(n), entry.key, recordOf(op), static_cast<uint32_t>(error));
      if (entry.sends.empty()) watchWrites(fd, entry, false);
    }
  }

  void handle(const epoll_event& event) {
    if (event.data.u64 == kWakeTag) {
      uint64_t value;
      while (::read(wake, &value, sizeof value) > 0) {
      }
      wakeSignalled = false;
      return;
    }
    const int fd = static_cast<int>(event.data.u64 & 0xFFFFFFFFu);
    auto it = sockets.find(fd);
    if (it == sockets.end() || it->second.serial != static_cast<uint32_t>(event.data.u64 >> 32)) return;
    // An error or hang-up is reported to whichever operation runs next.
    if (event.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) runReceives(fd, it->second);
    if (event.events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) runSends(fd, it->second);
  }
};

bool isAbortedCompletion(uint32_t error) { return error == ECANCELED; }

CompletionPort::CompletionPort() : state_(std::make_unique<State>()) {}
CompletionPort::~CompletionPort() { close(); }

bool CompletionPort::open() {
  State& s = *state_;
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.epoll >= 0) return false;
  s.epoll = epoll_create1(EPOLL_CLOEXEC);
  s.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeTag;
  if (s.epoll < 0 || s.wake < 0 || epoll_ctl(s.epoll, EPOLL_CTL_ADD, s.wake, &event) != 0) {
    if (s.epoll >= 0) ::close(s.epoll);
    if (s.wake >= 0) ::close(s.wake);
    s.epoll = s.wake = -1;
    return false;
  }
  s.wakeSignalled = false;
  return true;
}

void CompletionPort::close() {
  State& s = *state_;
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.epoll < 0) return;
  ::close(s.epoll);
  ::close(s.wake);
  s.epoll = s.wake = -1;
  s.sockets.clear();
  s.head = s.count = 0;
}

bool CompletionPort::isOpen() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->epoll >= 0;
}

bool CompletionPort::associate(Socket socket, uintptr_t key) {
  State& s = *state_;
  const int fd = static_cast<int>(socket);
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.epoll < 0 || socket == kInvalidSocket || s.sockets.count(fd) != 0) {
    errno = EINVAL;
    return false;
  }
  if (!setNonBlocking(socket, true)) return false;
  const uint32_t serial = ++s.nextSerial == 0 ? ++s.nextSerial : s.nextSerial;
  epoll_event event{};
  event.events = EPOLLIN | EPOLLET;
  event.data.u64 = (uint64_t{serial} << 32) | static_cast<uint32_t>(fd);
  if (epoll_ctl(s.epoll, EPOLL_CTL_ADD, fd, &event) != 0) return false;
  SocketEntry& entry = s.sockets[fd];
  entry.key = key;
  entry.serial = serial;
  return true;
}

bool CompletionPort::startSend(Socket socket, const void* data, uint32_t length, const SocketAddress& to,
                               Overlapped& record) {
  State& s = *state_;
  const size_t toLength = to.length();
  if (toLength == 0) {
    errno = EINVAL;
    return false;
  }
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.sockets.find(static_cast<int>(socket));
  if (it == s.sockets.end()) {
    errno = ENOTSOCK;
    return false;
  }
  PendingOp* op = opOf(record);
  op->buffer = const_cast<void*>(data);
  op->length = length;
  std::memcpy(op->to, to.bytes, toLength);
  SocketEntry& entry = it->second;
  if (entry.sends.empty()) {
    // Nothing queued ahead of it: try now. A send that fails outright starts
    // nothing, as a failing WSASendTo queues no completion.
    for (;;) {
      const int n = sendTo(socket, data, length, to);
      if (n >= 0) {
        s.complete(static_cast<uint32_t>(n), entry.key, &record, 0, false);
        return true;
      }
      if (errno == EINTR) continue;
      if (!wouldBlock(errno)) return false;
      break;
    }
  }
  entry.sends.push(op);
  s.watchWrites(static_cast<int>(socket), entry, true);
  return true;
}

bool CompletionPort::startReceive(Socket socket, void* buffer, uint32_t capacity, SocketAddress* from,
                                  int* fromLength, Overlapped& record) {
  State& s = *state_;
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.sockets.find(static_cast<int>(socket));
  if (it == s.sockets.end() || from == nullptr || fromLength == nullptr) {
    errno = it == s.sockets.end() ? ENOTSOCK : EINVAL;
    return false;
  }
  PendingOp* op = opOf(record);
  op->buffer = buffer;
  op->length = capacity;
  op->from = from;
  op->fromLength = fromLength;
  SocketEntry& entry = it->second;
  const bool first = entry.receives.empty();
  entry.receives.push(op);
  // A datagram that is already waiting raised its edge before this receive
  // was queued; take it now rather than wait for the next one. A failure
  // other than EAGAIN completes the receive with that error.
  if (first) s.runReceives(static_cast<int>(socket), entry);
  return true;
}

bool CompletionPort::post(uint32_t bytes, uintptr_t key, Overlapped* record) {
  State& s = *state_;
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.epoll < 0) return false;
  s.complete(bytes, key, record, 0);
  return true;
}

CompletionWait CompletionPort::wait(uint32_t timeoutMs, Completion& out) {
  State& s = *state_;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  epoll_event events[kEventsPerWait];
  std::unique_lock<std::mutex> guard(s.lock);
  out = Completion{};
  for (;;) {
    if (s.take(out)) return CompletionWait::Completed;
    if (s.epoll < 0) {
      out.error = EBADF;
      return CompletionWait::Failed;
    }
    int waitMs = -1;
    if (timeoutMs != kNoTimeLimit) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      waitMs = left > 0 ? static_cast<int>(left) : 0;
    }
    const int epoll = s.epoll;
    ++s.waiters;
    if (waitMs < 0) ++s.unlimitedWaiters;
    guard.unlock();
    const int n = epoll_wait(epoll, events, kEventsPerWait, waitMs);
    const int error = errno;
    guard.lock();
    --s.waiters;
    if (waitMs < 0) --s.unlimitedWaiters;
    s.unwoken = 0;
    if (n < 0 && error != EINTR) {
      out.error = static_cast<uint32_t>(error);
      return CompletionWait::Failed;
    }
    for (int i = 0; i < n; ++i) s.handle(events[i]);
    if (s.take(out)) return CompletionWait::Completed;
    if (waitMs == 0) return CompletionWait::TimedOut;
  }
}

void CompletionPort::closeSocket(Socket socket) {
  State& s = *state_;
  const int fd = static_cast<int>(socket);
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.sockets.find(fd);
  if (it != s.sockets.end()) {
    // Closing the descriptor would drop it from epoll silently; the pending
    // operations are ended here instead, as Windows ends them at closesocket.
    epoll_ctl(s.epoll, EPOLL_CTL_DEL, fd, nullptr);
    SocketEntry& entry = it->second;
    while (!entry.receives.empty()) s.complete(0, entry.key, recordOf(entry.receives.pop()), ECANCELED);
    while (!entry.sends.empty()) s.complete(0, entry.key, recordOf(entry.sends.pop()), ECANCELED);
    s.sockets.erase(it);
    // Whoever closes a socket wants its records back soon (a flow's end, a
    // stop): completions of earlier sends that have not woken anyone go now.
    if (s.unwoken > 0 && s.waiters > 0 && !s.wakeSignalled) s.wakeWaiters();
  }
  platform::closeSocket(socket);
}

}  // namespace platform
