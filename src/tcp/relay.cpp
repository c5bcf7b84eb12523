#include "tcp/relay.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/owned_socket.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "tcp/blur.h"
#include "tcp/socks5_client.h"

namespace tcp {

namespace {

constexpr uint16_t kHighestPort = 50888;
constexpr uint16_t kLowestPort = 50001;
constexpr int kSocketBufferBytes = 12 * 1024 * 1024;
constexpr uint32_t kRelayWaitMs = 5000;
constexpr uint32_t kAcceptWaitMs = 1000;
constexpr uint32_t kAcceptIdleMs = 10;

bool retryable(platform::NetError e) {
  return e == platform::NetError::WouldBlock || e == platform::NetError::Interrupted;
}

// Sends all `length` bytes on a non-blocking socket, call after call,
// waiting for room while the peer is slow: a short send never loses the rest
// of the stream. The sockets are non-blocking because a stop must be able to
// end the wait: shutting a socket down wakes a wait for it everywhere, while
// on Windows it does not end a blocking send in progress. Returns the bytes
// sent, or a value <= 0 when the connection failed.
int sendWhole(platform::Socket socket, const uint8_t* data, int length) {
  int sent = 0;
  while (sent < length) {
    const int n = platform::sendBytes(socket, data + sent, static_cast<size_t>(length - sent));
    if (n > 0) {
      sent += n;
      continue;
    }
    if (n < 0 && retryable(platform::lastSocketError()) &&
        platform::waitWritable(socket, platform::kNoTimeLimit) > 0)
      continue;
    return sent > 0 ? -1 : n;
  }
  return sent;
}

}  // namespace

struct Relay::RELAY_CONTEXT {
  Relay* relay = nullptr;
  uint32_t family = 2;      // of the listener that accepted the connection
  uint64_t generation = 0;  // the relay's stop generation at the accept
  platform::Socket clientSocket = platform::kInvalidSocket;
  platform::Socket nodeSocket = platform::kInvalidSocket;  // changed only under threadsLock_
  platform::SocketAddress localAddress;                    // the application's own address
  platform::SocketAddress destination;                     // always IPv4
  uint64_t id = 0;
  std::string processName;
  // Address fields of the collector records, worked out once.
  uint8_t destinationAddress[16] = {};
  uint16_t destinationPort = 0;
  uint8_t localAddress16[16] = {};
  uint16_t localPort = 0;
};

Relay::Relay(RedirectTable& redirects, PingResponder& ping, collector::DataCollectorEvent& collector,
             const std::atomic<uint8_t>& running, const std::atomic<uint32_t>& blurEnabled,
             std::function<RelayNode()> node)
    : redirects_(redirects),
      ping_(ping),
      collector_(collector),
      running_(running),
      blurEnabled_(blurEnabled),
      node_(std::move(node)) {}

Relay::~Relay() {
  joinAcceptLoop(platform::kFamilyIpv4);
  joinAcceptLoop(platform::kFamilyIpv6);
  closeListener(platform::kFamilyIpv4);
  closeListener(platform::kFamilyIpv6);
  std::unique_lock<std::mutex> lock(threadsLock_);
  stopping_ = true;
  ++generation_;
  shutDownConnections();
  // The threads use this object to the end: wait for every one.
  threadsDone_.wait(lock, [this] { return liveThreads_ == 0; });
}

bool Relay::familyAvailable(int family) {
  const platform::Socket s =
      platform::openSocket(static_cast<uint16_t>(family), platform::SocketType::Stream);
  if (s == platform::kInvalidSocket) return false;
  platform::SocketAddress loopback;
  platform::MakeLoopbackAddress(static_cast<uint16_t>(family), 0, loopback);
  const bool bound = platform::bindSocket(s, loopback);
  platform::closeSocket(s);
  return bound;
}

bool Relay::OpenRelayListener(int family) {
  Listener& l = listener(family);
  if (l.thread.joinable()) {
    // Its accept thread polls the listener: re-opening it under the thread
    // would pull the socket away from it. A thread that has seen `running`
    // cleared is done and is collected first.
    if (running_.load() != 0 && l.socket.load() != platform::kInvalidSocket) return true;
    l.thread.join();
  }
  return openListener(family);
}

// Closes the family's listener and opens a new one. Runs on the controlling
// thread while no accept thread runs, or on the accept thread itself.
bool Relay::openListener(int family) {
  Listener& l = listener(family);
  platform::closeSocket(l.socket.exchange(platform::kInvalidSocket));
  l.port = 0xFFFF;
  for (uint32_t port = kHighestPort; port >= kLowestPort; --port) {
    const platform::Socket s =
        platform::openSocket(static_cast<uint16_t>(family), platform::SocketType::Stream);
    if (s == platform::kInvalidSocket) return false;
    // The listener owns its port: a port that another program listens on is
    // skipped, never shared, so the two cannot steal each other's connections.
    platform::setListenerAddressReuse(s);
    platform::SocketAddress address;
    platform::MakeLoopbackAddress(static_cast<uint16_t>(family),
                                  platform::hostToNet16(static_cast<uint16_t>(port)), address);
    if (!platform::bindSocket(s, address)) {
      platform::closeSocket(s);
      continue;
    }
    // A game may open many connections at once while the accept thread is
    // busy; a short backlog would drop their SYNs and make each wait out a
    // one-second retransmission.
    if (!platform::listenSocket(s, platform::maxListenBacklog())) {
      platform::closeSocket(s);
      return false;
    }
    l.socket = s;
    l.port = static_cast<uint16_t>(port);
    return true;
  }
  return false;
}

bool Relay::startAcceptLoop(int family) {
  Listener& l = listener(family);
  if (l.thread.joinable()) return true;
  {
    std::lock_guard<std::mutex> lock(threadsLock_);
    stopping_ = false;
  }
  try {
    l.thread = std::thread([this, family] { RelayAcceptLoop(family); });
  } catch (...) {
    return false;
  }
  return true;
}

void Relay::joinAcceptLoop(int family) {
  Listener& l = listener(family);
  if (l.thread.joinable()) l.thread.join();
}

void Relay::closeListener(int family) {
  Listener& l = listener(family);
  if (l.thread.joinable()) return;
  platform::closeSocket(l.socket.exchange(platform::kInvalidSocket));
  l.port = 0xFFFF;
}

bool Relay::listenerOpen(int family) const {
  return listener(family).socket.load() != platform::kInvalidSocket;
}

uint16_t Relay::port(int family) const { return listener(family).port; }

// Shut down rather than close: each thread still uses its descriptors, and
// closing them here would let a new socket reuse a number under it. Shutting
// a socket down wakes a thread blocked on it: a wait for the node's reply, a
// connect, or a send to a node that stopped reading. Caller holds
// threadsLock_.
void Relay::shutDownConnections() {
  for (RELAY_CONTEXT* c : connections_) {
    platform::shutdownSocket(c->clientSocket, platform::ShutdownHow::Both);
    if (c->nodeSocket != platform::kInvalidSocket)
      platform::shutdownSocket(c->nodeSocket, platform::ShutdownHow::Both);
  }
}

void Relay::CloseActiveRelays() {
  std::unique_lock<std::mutex> lock(threadsLock_);
  stopping_ = true;
  ++generation_;
  shutDownConnections();
  threadsDone_.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [this] { return liveThreads_ == 0; });
}

int Relay::liveConnections() const {
  std::lock_guard<std::mutex> lock(threadsLock_);
  return liveThreads_;
}

bool Relay::waitForConnections(uint32_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(threadsLock_);
  return threadsDone_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return liveThreads_ == 0; });
}

// Whether the connection may still go on: no stop came since its accept.
bool Relay::stillWanted(const RELAY_CONTEXT& c) const { return c.generation == generation_; }

void Relay::RelayAcceptLoop(int family) {
  while (running_.load() != 0) {
    try {
      acceptOne(family);
    } catch (...) {
      // Out of memory while setting a connection up: its holders have closed
      // it; the loop goes on with the next one.
    }
  }
}

void Relay::acceptOne(int family) {
  Listener& l = listener(family);
  const int ready = platform::waitReadable(l.socket.load(), kAcceptWaitMs);
  if (ready <= 0) {
    // Time-out, or a listener that failed: look at `running` again soon.
    platform::sleepMs(kAcceptIdleMs);
    return;
  }
  platform::SocketAddress peer;
  platform::OwnedSocket client(platform::acceptSocket(l.socket.load(), &peer));
  if (!client.valid()) {
    openListener(family);  // may choose another port
    return;
  }
  std::optional<REDIRECT_INFO> entry = redirects_.TakeRedirect(peer);
  if (!entry) return;

  auto context = std::make_unique<RELAY_CONTEXT>();
  context->relay = this;
  context->family = static_cast<uint32_t>(family);
  context->id = entry->id;
  context->processName = entry->processName;
  platform::SocketAddress remote;
  std::memcpy(remote.bytes, entry->info.remoteAddress.bytes.data(), sizeof entry->info.remoteAddress);
  if (family == platform::kFamilyIpv4) {
    context->destination = platform::makeIpv4Address(remote.ipv4(), remote.port());
    platform::SocketAddress local;
    std::memcpy(local.bytes, entry->info.localAddress.bytes.data(), sizeof entry->info.localAddress);
    context->localAddress = platform::makeIpv4Address(local.ipv4(), local.port());
  } else {
    if (!platform::ToIpv4SocketAddress(remote, context->destination)) return;
    std::memcpy(context->localAddress.bytes, entry->info.localAddress.bytes.data(),
                4);  // family 23 and the port
  }
  platform::GetAddressAndPort(context->destination.family(), context->destination,
                              context->destinationAddress, context->destinationPort);
  platform::GetAddressAndPort(context->localAddress.family(), context->localAddress, context->localAddress16,
                              context->localPort);

  platform::OwnedSocket node(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream));
  if (!node.valid()) return;

  RELAY_CONTEXT* raw = context.get();
  {
    std::lock_guard<std::mutex> lock(threadsLock_);
    // Accepted after a stop began (before the accept loop has seen it):
    // closed at once, never relayed.
    if (stopping_) return;
    raw->generation = generation_;
    raw->clientSocket = client.release();
    raw->nodeSocket = node.release();
    connections_.insert(raw);
    ++liveThreads_;
  }
  if (platform::startDetachedThread(&Relay::connectionEntry, raw, kConnectionStackBytes)) {
    static_cast<void>(context.release());  // the thread owns it now
    return;
  }
  std::lock_guard<std::mutex> lock(threadsLock_);
  connections_.erase(raw);
  --liveThreads_;
  platform::closeSocket(raw->clientSocket);
  platform::closeSocket(raw->nodeSocket);
  threadsDone_.notify_all();
}

void Relay::connectionEntry(void* context) {
  auto* c = static_cast<RELAY_CONTEXT*>(context);
  c->relay->RelayConnection(c);
}

void Relay::RelayConnection(RELAY_CONTEXT* raw) {
  std::unique_ptr<RELAY_CONTEXT> context(raw);
  try {
    serve(*context);
  } catch (...) {
    // Out of memory (or any other failure) ends this connection only.
  }
  {
    std::lock_guard<std::mutex> lock(threadsLock_);
    connections_.erase(raw);
  }
  // Out of the set, nobody else touches the sockets: close them now.
  platform::closeSocket(context->clientSocket);
  platform::closeSocket(context->nodeSocket);
  context.reset();
  std::lock_guard<std::mutex> lock(threadsLock_);
  --liveThreads_;
  threadsDone_.notify_all();
}

// A record of the connection with its header filled, or null while the
// collector is stopped or when no record can be had: a missing record is
// skipped, never a reason to end the connection.
template <typename Record>
Record* Relay::newRecord(const RELAY_CONTEXT& c) {
  try {
    return collector::newEvent<Record>(collector_, c.id, platform::kFamilyIpv4);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void Relay::serve(RELAY_CONTEXT& c) {
  const uint64_t start = platform::monotonicMs();
  bool proxied = false;
  uint32_t upTotal = 0, downTotal = 0;
  const RelayNode node = node_();

  auto* begin = newRecord<collector::DCTcpProxyBeginEvent>(c);
  if (begin != nullptr) {
    std::memcpy(begin->destinationAddress, c.destinationAddress, 16);
    begin->destinationPort = c.destinationPort;
    std::memcpy(begin->localAddress, c.localAddress16, 16);
    begin->localPort = c.localPort;
    begin->processName.assign(c.processName);
  }

  int32_t detail = 0;
  ConnectLimits limits;
  limits.application = c.clientSocket;
  // A stop shuts the sockets down, which does not wake a wait everywhere
  // (not under wine); the attempt also looks for it between short waits.
  limits.stopped = [this, &c] {
    std::lock_guard<std::mutex> lock(threadsLock_);
    return !stillWanted(c);
  };
  const uint32_t result = Socks5Connect(platform::kFamilyIpv4, c.nodeSocket, c.destination, node.address,
                                        node.port, node.user, node.password, detail, limits);
  bool connected = true;
  if (result != kSocks5Ok) {
    if (begin != nullptr) {
      char message[64];
      std::snprintf(message, sizeof message, "shack err: %d %d", static_cast<int32_t>(result), detail);
      begin->message.assign(message);
      begin->errorDetail = static_cast<uint32_t>(detail);
    }
    // A failed handshake never fails the connection by itself: it goes
    // straight to the destination, relayed but neither blurred nor counted.
    // An application that gave up meanwhile, or a stop, ends it instead.
    connected = result != kSocks5ApplicationGone && connectDirect(c);
  } else {
    proxied = true;
  }

  if (begin != nullptr) {
    begin->proxied = proxied ? 1 : 0;
    collector_.post(begin);
  }

  if (connected) relay(c, proxied, upTotal, downTotal);

  if (auto* end = newRecord<collector::DCTcpProxyEndEvent>(c)) {
    end->proxied = proxied ? 1 : 0;
    std::memcpy(end->destinationAddress, c.destinationAddress, 16);
    end->destinationPort = c.destinationPort;
    end->bytesUp = upTotal;
    end->bytesDown = downTotal;
    end->durationMs = static_cast<uint32_t>(platform::monotonicMs() - start);
    end->processName.assign(c.processName);
    collector_.post(end);
  }
}

// The fallback: a new socket straight to the destination takes the node
// socket's place, under the lock, so that a stop reaches it while it
// connects; never once a stop has begun.
bool Relay::connectDirect(RELAY_CONTEXT& c) {
  platform::OwnedSocket direct(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream));
  if (!direct.valid()) return false;
  platform::Socket old;
  {
    std::lock_guard<std::mutex> lock(threadsLock_);
    if (!stillWanted(c)) return false;
    old = c.nodeSocket;
    c.nodeSocket = direct.release();
  }
  platform::closeSocket(old);
  int32_t detail = 0;
  const std::function<bool()> stopped = [this, &c] {
    std::lock_guard<std::mutex> lock(threadsLock_);
    return !stillWanted(c);
  };
  return ConnectWithin(c.nodeSocket, c.destination, kDirectConnectTimeoutMs, c.clientSocket, detail,
                       stopped) == kSocks5Ok;
}

// One flow record (up or down) of `bytes` for the connection.
template <typename Record>
void Relay::postFlow(const RELAY_CONTEXT& c, bool proxied, int bytes) {
  auto* e = newRecord<Record>(c);
  if (e == nullptr) return;
  e->proxied = proxied ? 1 : 0;
  std::memcpy(e->remoteAddress, c.destinationAddress, 16);
  e->remotePort = c.destinationPort;
  std::memcpy(e->localAddress, c.localAddress16, 16);
  e->localPort = c.localPort;
  e->byteCount = static_cast<uint32_t>(bytes);
  collector_.post(e);
}

// Copies bytes both ways. An end of stream from one side is passed on (the
// other side's sending is shut down) while the other direction goes on, so
// an application that has finished sending still gets its reply; the copying
// ends when both directions have ended, or at the first failure.
void Relay::relay(RELAY_CONTEXT& c, bool proxied, uint32_t& upTotal, uint32_t& downTotal) {
  {
    // A stop that came during the handshake or the direct connect must not
    // be missed: its shutdown may have come before the sockets were final.
    std::lock_guard<std::mutex> lock(threadsLock_);
    if (!stillWanted(c)) return;
  }
  // The copy buffer is large for bulk transfers and so lives on the heap:
  // the thread's stack is small. No buffer, no connection.
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kCopyBufferBytes]);
  if (!buffer) return;
  // Taken once: a connection is transformed wholly or not at all, since the
  // node undoes the transformation for the whole stream or not at all.
  const bool blurred = proxied && blurEnabled_.load() != 0;

  platform::setNoDelay(c.nodeSocket, true);
  platform::setNoDelay(c.clientSocket, true);
  platform::setReceiveBufferSize(c.clientSocket, kSocketBufferBytes);
  platform::setSendBufferSize(c.clientSocket, kSocketBufferBytes);
  platform::setReceiveBufferSize(c.nodeSocket, kSocketBufferBytes);
  platform::setSendBufferSize(c.nodeSocket, kSocketBufferBytes);
  if (!platform::setNonBlocking(c.clientSocket, true) || !platform::setNonBlocking(c.nodeSocket, true))
    return;
  ping_.Register(c.id, c.clientSocket, c.destination);

  bool upOpen = true;    // the application still sends
  bool downOpen = true;  // the node still sends
  while (upOpen || downOpen) {
    platform::SocketWait waits[2];
    int count = 0;
    int up = -1, down = -1;
    if (upOpen) {
      up = count;
      waits[count++].socket = c.clientSocket;
    }
    if (downOpen) {
      down = count;
      waits[count++].socket = c.nodeSocket;
    }
    const int ready = platform::waitSockets(waits, count, kRelayWaitMs);
    if (ready < 0) break;
    if (ready == 0) continue;

    if (up >= 0 && waits[up].ready != 0) {
      const int n = platform::receiveBytes(c.clientSocket, buffer.get(), kCopyBufferBytes);
      if (n < 0 && !retryable(platform::lastSocketError())) break;
      if (n == 0) {
        upOpen = false;
        platform::shutdownSocket(c.nodeSocket, platform::ShutdownHow::Send);
      } else if (n > 0) {
        if (blurred) BlurInPlace(buffer.get(), static_cast<size_t>(n));
        const int s = sendWhole(c.nodeSocket, buffer.get(), n);
        if (s <= 0) break;
        ping_.OnUpstream(c.id, buffer.get(), s, blurred);
        if (proxied) upTotal += static_cast<uint32_t>(s);
        postFlow<collector::DCTcpProxyFlowUpEvent>(c, proxied, s);
        if (s < n) break;  // the node stopped taking bytes part-way
      }
    }

    if (down >= 0 && waits[down].ready != 0) {
      const int n = platform::receiveBytes(c.nodeSocket, buffer.get(), kCopyBufferBytes);
      if (n < 0 && !retryable(platform::lastSocketError())) break;
      if (n == 0) {
        downOpen = false;
        platform::shutdownSocket(c.clientSocket, platform::ShutdownHow::Send);
      } else if (n > 0) {
        int d = n;
        if (!ping_.OnDownstream(c.id, buffer.get(), n)) {
          d = sendWhole(c.clientSocket, buffer.get(), n);
          if (d <= 0) break;
        }
        if (proxied) downTotal += static_cast<uint32_t>(d);
        postFlow<collector::DCTcpProxyFlowDownEvent>(c, proxied, d);
        if (d < n) break;
      }
    }
  }

  ping_.Unregister(c.id);
}

}  // namespace tcp
