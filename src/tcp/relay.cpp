#include "tcp/relay.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "hostnet/local_addresses.h"
#include "platform/time.h"
#include "tcp/blur.h"
#include "tcp/socks5_client.h"

namespace tcp {

namespace {

constexpr uint16_t kHighestPort = 50888;
constexpr uint16_t kLowestPort = 50001;
constexpr int kChunk = 4096;
constexpr int kSocketBufferBytes = 12 * 1024 * 1024;
constexpr uint32_t kRelayWaitMs = 5000;
constexpr uint32_t kAcceptWaitMs = 1000;


// Sends all `length` bytes, call after call: a short send never loses the
// rest of the stream. Returns the bytes sent, or a value <= 0 when the
// connection failed before anything was sent.
int sendWhole(platform::Socket socket, const uint8_t* data, int length) {
  int sent = 0;
  while (sent < length) {
    const int n = platform::sendBytes(socket, data + sent, static_cast<size_t>(length - sent));
    if (n <= 0) return sent > 0 ? -1 : n;
    sent += n;
  }
  return sent;
}

}  // namespace

struct Relay::RELAY_CONTEXT {
  uint32_t family = 2;  // of the listener that accepted the connection
  platform::Socket clientSocket = platform::kInvalidSocket;
  platform::Socket nodeSocket = platform::kInvalidSocket;
  platform::SocketAddress localAddress;  // the application's own address
  platform::SocketAddress destination;   // always IPv4
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
  closing_ = true;
  // Shutting a socket down wakes a thread blocked on it (a handshake waiting
  // for the node included); each thread closes its own sockets as it leaves.
  for (platform::Socket s : allSockets_) platform::shutdownSocket(s, platform::ShutdownHow::Both);
  threadsDone_.wait(lock, [this] { return liveThreads_ == 0; });
}

bool Relay::OpenRelayListener(int family) {
  Listener& l = listener(family);
  closeListener(family);
  for (uint32_t port = kHighestPort; port >= kLowestPort; --port) {
    const platform::Socket s = platform::openSocket(static_cast<uint16_t>(family), platform::SocketType::Stream);
    if (s == platform::kInvalidSocket) return false;
    // The listener owns its port: a port that another program listens on is
    // skipped, never shared, so the two cannot steal each other's connections.
    platform::setListenerAddressReuse(s);
    platform::SocketAddress address;
    hostnet::MakeLoopbackAddress(static_cast<uint16_t>(family), platform::hostToNet16(static_cast<uint16_t>(port)),
                                 address);
    if (!platform::bindSocket(s, address)) {
      platform::closeSocket(s);
      continue;
    }
    if (!platform::listenSocket(s, 5)) {
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
  if (l.socket != platform::kInvalidSocket) platform::closeSocket(l.socket);
  l.socket = platform::kInvalidSocket;
  l.port = 0xFFFF;
}

bool Relay::listenerOpen(int family) const { return listener(family).socket != platform::kInvalidSocket; }

uint16_t Relay::port(int family) const { return listener(family).port; }

void Relay::CloseActiveRelays() {
  // Shut down rather than close: the relay thread still uses the descriptor,
  // and closing it here would let a new socket reuse the number under it.
  std::lock_guard<SpinFlag> lock(activeLock_);
  for (platform::Socket s : activeRelays_) platform::shutdownSocket(s, platform::ShutdownHow::Both);
  activeRelays_.clear();
}

int Relay::liveConnections() const {
  std::lock_guard<std::mutex> lock(threadsLock_);
  return liveThreads_;
}

void Relay::RelayAcceptLoop(int family) {
  Listener& l = listener(family);
  while (running_.load() != 0) {
    const int ready = platform::waitReadable(l.socket, kAcceptWaitMs);
    if (ready <= 0) {
      // Time-out, or a listener that failed: look at `running` again soon.
      platform::sleepMs(10);
      continue;
    }
    platform::SocketAddress peer;
    const platform::Socket client = platform::acceptSocket(l.socket, &peer);
    if (client == platform::kInvalidSocket) {
      OpenRelayListener(family);  // may choose another port
      continue;
    }
    std::optional<REDIRECT_INFO> entry = redirects_.TakeRedirect(peer);
    if (!entry) {
      platform::closeSocket(client);
      continue;
    }

    auto context = std::make_unique<RELAY_CONTEXT>();
    context->family = static_cast<uint32_t>(family);
    context->clientSocket = client;
    context->id = entry->id;
    context->processName = entry->processName;
    platform::SocketAddress remote;
    std::memcpy(remote.bytes, entry->info.remoteAddress, drvapi::kSockAddrSize);
    if (family == platform::kFamilyIpv4) {
      context->destination = platform::makeIpv4Address(remote.ipv4(), remote.port());
      platform::SocketAddress local;
      std::memcpy(local.bytes, entry->info.localAddress, drvapi::kSockAddrSize);
      context->localAddress = platform::makeIpv4Address(local.ipv4(), local.port());
    } else {
      if (!hostnet::ToIpv4SocketAddress(remote, context->destination)) {
        platform::closeSocket(client);
        continue;
      }
      std::memcpy(context->localAddress.bytes, entry->info.localAddress, 4);  // family 23 and the port
    }
    hostnet::GetAddressAndPort(context->destination.family(), context->destination, context->destinationAddress,
                               context->destinationPort);
    hostnet::GetAddressAndPort(context->localAddress.family(), context->localAddress, context->localAddress16,
                               context->localPort);

    context->nodeSocket = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    if (context->nodeSocket == platform::kInvalidSocket) {
      platform::closeSocket(client);
      continue;
    }
    RELAY_CONTEXT* raw = context.get();
    {
      std::lock_guard<std::mutex> lock(threadsLock_);
      ++liveThreads_;
      allSockets_.insert(raw->clientSocket);
      allSockets_.insert(raw->nodeSocket);
    }
    try {
      std::thread([this, raw] { RelayConnection(raw); }).detach();
      context.release();  // the thread owns it now
    } catch (...) {
      std::lock_guard<std::mutex> lock(threadsLock_);
      allSockets_.erase(raw->clientSocket);
      allSockets_.erase(raw->nodeSocket);
      --liveThreads_;
      platform::closeSocket(raw->clientSocket);
      platform::closeSocket(raw->nodeSocket);
    }
  }
}

void Relay::RelayConnection(RELAY_CONTEXT* raw) {
  std::unique_ptr<RELAY_CONTEXT> context(raw);
  RELAY_CONTEXT& c = *context;
  const uint64_t start = platform::monotonicMs();
  bool proxied = false;
  uint32_t upTotal = 0, downTotal = 0;

  auto* begin = collector::newEvent<collector::DCTcpProxyBeginEvent>(collector_, c.id, platform::kFamilyIpv4);
  if (begin != nullptr) {
    std::memcpy(begin->destinationAddress, c.destinationAddress, 16);
    begin->destinationPort = c.destinationPort;
    std::memcpy(begin->localAddress, c.localAddress16, 16);
    begin->localPort = c.localPort;
    begin->processName.assign(c.processName);
  }

  const RelayNode node = node_();
  int32_t detail = 0;
  const uint32_t result = Socks5Connect(platform::kFamilyIpv4, c.nodeSocket, c.destination, node.address, node.port,
                                        node.user, node.password, detail);
  bool connected = true;
  if (result != kSocks5Ok) {
    if (begin != nullptr) {
      char message[64];
      std::snprintf(message, sizeof message, "shack err: %d %d", static_cast<int32_t>(result), detail);
      begin->message.assign(message);
      begin->errorDetail = static_cast<uint32_t>(detail);
    }
    // A failed handshake never fails the connection: it goes straight to
    // the destination, relayed but neither blurred nor counted.
    const platform::Socket before = c.nodeSocket;
    connected = ConnectDirect(platform::kFamilyIpv4, c.nodeSocket, c.destination);
    std::lock_guard<std::mutex> lock(threadsLock_);
    allSockets_.erase(before);
    if (c.nodeSocket != platform::kInvalidSocket) allSockets_.insert(c.nodeSocket);
  } else {
    proxied = true;
  }

  if (begin != nullptr) {
    begin->proxied = proxied ? 1 : 0;
    collector_.post(begin);
  }

  if (connected) {
    relay(c, proxied, upTotal, downTotal);
  }

  {
    std::lock_guard<std::mutex> lock(threadsLock_);
    allSockets_.erase(c.clientSocket);
    allSockets_.erase(c.nodeSocket);
  }
  platform::closeSocket(c.clientSocket);
  if (c.nodeSocket != platform::kInvalidSocket) platform::closeSocket(c.nodeSocket);

  if (auto* end = collector::newEvent<collector::DCTcpProxyEndEvent>(collector_, c.id, platform::kFamilyIpv4)) {
    end->proxied = proxied ? 1 : 0;
    std::memcpy(end->destinationAddress, c.destinationAddress, 16);
    end->destinationPort = c.destinationPort;
    end->bytesUp = upTotal;
    end->bytesDown = downTotal;
    end->durationMs = static_cast<uint32_t>(platform::monotonicMs() - start);
    end->processName.assign(c.processName);
    collector_.post(end);
  }

  context.reset();
  std::lock_guard<std::mutex> lock(threadsLock_);
  --liveThreads_;
  threadsDone_.notify_all();
}

// One flow record (up or down) of `bytes` for the connection.
template <typename Record>
void Relay::postFlow(const RELAY_CONTEXT& c, bool proxied, int bytes) {
  auto* e = collector::newEvent<Record>(collector_, c.id, platform::kFamilyIpv4);
  if (e == nullptr) return;
  e->proxied = proxied ? 1 : 0;
  std::memcpy(e->remoteAddress, c.destinationAddress, 16);
  e->remotePort = c.destinationPort;
  std::memcpy(e->localAddress, c.localAddress16, 16);
  e->localPort = c.localPort;
  e->byteCount = static_cast<uint32_t>(bytes);
  collector_.post(e);
}

// Copies bytes both ways until either side ends or fails.
void Relay::relay(RELAY_CONTEXT& c, bool proxied, uint32_t& upTotal, uint32_t& downTotal) {
  {
    std::lock_guard<SpinFlag> lock(activeLock_);
    activeRelays_.insert(c.clientSocket);
  }
  {
    // A destruction that began during the handshake must not be missed.
    std::lock_guard<std::mutex> lock(threadsLock_);
    if (closing_) platform::shutdownSocket(c.clientSocket, platform::ShutdownHow::Both);
  }
  platform::setNoDelay(c.nodeSocket, true);
  platform::setNoDelay(c.clientSocket, true);
  platform::setReceiveBufferSize(c.clientSocket, kSocketBufferBytes);
  platform::setSendBufferSize(c.clientSocket, kSocketBufferBytes);
  platform::setReceiveBufferSize(c.nodeSocket, kSocketBufferBytes);
  platform::setSendBufferSize(c.nodeSocket, kSocketBufferBytes);
  ping_.Register(c.id, c.clientSocket, c.destination);

  uint8_t buffer[kChunk];
  for (;;) {
    platform::SocketWait waits[2];
    waits[0].socket = c.clientSocket;
    waits[1].socket = c.nodeSocket;
    const int ready = platform::waitSockets(waits, 2, kRelayWaitMs);
    if (ready < 0) break;
    if (ready == 0) continue;

    if (waits[0].ready != 0) {
      const int n = platform::receiveBytes(c.clientSocket, buffer, sizeof buffer);
      if (n <= 0) break;
      const bool blurred = proxied && blurEnabled_.load(std::memory_order_relaxed) != 0;
      if (blurred) BlurInPlace(buffer, static_cast<size_t>(n));
      const int s = sendWhole(c.nodeSocket, buffer, n);
      if (s <= 0) break;
      ping_.OnUpstream(c.id, buffer, s, blurred);
      if (proxied) upTotal += static_cast<uint32_t>(s);
      postFlow<collector::DCTcpProxyFlowUpEvent>(c, proxied, s);
      if (s < n) break;  // the node stopped taking bytes part-way
    }

    if (waits[1].ready != 0) {
      const int n = platform::receiveBytes(c.nodeSocket, buffer, sizeof buffer);
      if (n <= 0) break;
      int d = n;
      if (!ping_.OnDownstream(c.id, buffer, n)) {
        d = sendWhole(c.clientSocket, buffer, n);
        if (d <= 0) break;
      }
      if (proxied) downTotal += static_cast<uint32_t>(d);
      postFlow<collector::DCTcpProxyFlowDownEvent>(c, proxied, d);
      if (d < n) break;
    }
  }

  {
    std::lock_guard<SpinFlag> lock(activeLock_);
    activeRelays_.erase(c.clientSocket);
  }
  ping_.Unregister(c.id);
}

}  // namespace tcp
