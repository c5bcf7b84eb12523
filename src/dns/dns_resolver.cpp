#include "dns/dns_resolver.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "platform/debug.h"
#include "platform/time.h"

namespace dns {
namespace {

using platform::SocketAddress;

constexpr uint32_t kReceiveTimeoutMs = 500;
constexpr uint32_t kBackupDelayMs = 500;
constexpr uint32_t kForgetAfterMs = 3000;
constexpr uint32_t kRetrySleepMs = 10;
constexpr size_t kReceiveBuffer = 1024;
// The worker also looks at the running flag this often while the queue is
// empty; a stop wakes it at once with an empty request.
constexpr std::chrono::milliseconds kWorkerWake{200};

void debugLine(const char* format, ...) {
  char text[8192];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  platform::debugOutput(text);
}

const char* kindTag(bool isA) { return isA ? "A   " : "AAAA"; }

bool sameServer(const SocketAddress& a, const SocketAddress& b) {
  return a.family() == platform::kFamilyIpv4 && b.family() == platform::kFamilyIpv4 && a.ipv4() == b.ipv4() &&
         a.port() == b.port();
}

}  // namespace

DnsResolver::DnsResolver() {
  configuredBackup_ = platform::makeIpv4Address(platform::ipv4(8, 8, 8, 8), platform::hostToNet16(53));
}

DnsResolver::~DnsResolver() { stopResolver(); }

void DnsResolver::setBackupServer(uint32_t addressNet, uint16_t portNet) {
  std::lock_guard<std::mutex> lock(startLock_);
  // The running threads keep the server they started with.
  configuredBackup_ = platform::makeIpv4Address(addressNet, portNet);
}

SocketAddress DnsResolver::backupServer() const {
  std::lock_guard<std::mutex> lock(startLock_);
  return configuredBackup_;
}

bool DnsResolver::startResolver(uint32_t addressNet, uint16_t portNet) {
  std::lock_guard<std::mutex> lock(startLock_);
  if (started_) return true;
  platform::Socket a = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
  platform::Socket aaaa = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
  if (a == platform::kInvalidSocket || aaaa == platform::kInvalidSocket) {
    debugLine("[DNS][DnsResolver] 申请转发socket失败: sock_a: %d, sock_4a: %d", static_cast<int>(a),
              static_cast<int>(aaaa));
    platform::closeSocket(a);
    platform::closeSocket(aaaa);
    return false;
  }
  sockets_[kKindA] = a;
  sockets_[kKindAaaa] = aaaa;
  primaryServer_ = platform::makeIpv4Address(addressNet, portNet);
  backupServer_ = configuredBackup_;
  // A resolver that talks to loopback servers (tests, a node on this host)
  // keeps to loopback; otherwise the system picks the source as for any
  // unbound socket.
  const bool loopbackOnly = (platform::netToHost32(addressNet) >> 24) == 127 &&
                            (platform::netToHost32(backupServer_.ipv4()) >> 24) == 127;
  for (int kind = kKindA; kind <= kKindAaaa; ++kind) {
    platform::Socket s = sockets_[kind];
    // An ICMP port-unreachable from a silent server must not surface as a
    // receive error that would end the receive thread.
    platform::setUdpConnectionReset(s, false);
    timeoutFailed_[kind] = !platform::setReceiveTimeout(s, kReceiveTimeoutMs);
    if (timeoutFailed_[kind])
      debugLine("[DNS][DnsResolver][%s] setsockopt(sock=%d,time=%dms)", kind == kKindA ? "A   " : "AAAA",
                static_cast<int>(s), static_cast<int>(kReceiveTimeoutMs));
    if (loopbackOnly) platform::bindSocket(s, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0));
  }

  running_ = true;
  try {
    receivers_[kKindA] = std::thread([this] { receiver(kKindA); });
    receivers_[kKindAaaa] = std::thread([this] { receiver(kKindAaaa); });
    worker_ = std::thread([this] { worker(); });
  } catch (...) {
    stopLocked();  // undoes exactly what was started
    return false;
  }
  started_ = true;
  return true;
}

void DnsResolver::stopResolver() {
  std::lock_guard<std::mutex> lock(startLock_);
  if (started_) stopLocked();
}

void DnsResolver::stopLocked() {
  started_ = false;
  running_ = false;
  // Closing a socket under a thread blocked in it neither wakes the thread
  // reliably on Linux nor is safe (the descriptor number can be reused by an
  // open elsewhere while the call still refers to it): shut the sockets down,
  // which ends a blocked receive, join, and only then close.
  for (platform::Socket s : sockets_) platform::shutdownSocket(s, platform::ShutdownHow::Both);
  queue_.enqueue(DNS_REQ{});  // wakes the worker
  for (std::thread& t : receivers_)
    if (t.joinable()) t.join();
  if (worker_.joinable()) worker_.join();
  // No new timer can start now; wait for resends and removals in flight,
  // which use the sockets and the pending map.
  timers_.stop();
  for (platform::Socket& s : sockets_) {
    platform::closeSocket(s);
    s = platform::kInvalidSocket;
  }
  {
    std::lock_guard<std::mutex> pendingLock(pendingLock_);
    pending_.clear();
  }
  DNS_REQ discarded;
  while (queue_.try_dequeue(discarded)) {
  }
}

void DnsResolver::resolveAsync(const DNS_REQ& request) {
  if (!started_) return;
  if (!queue_.enqueue(request)) debugLine("[DNS][DnsResolver][%s] 加入队列失败", kindTag(request.isA));
}

size_t DnsResolver::pendingQueryCount() const {
  std::lock_guard<std::mutex> lock(pendingLock_);
  return pending_.size();
}

void DnsResolver::worker() {
  DNS_REQ request;
  while (running_) {
    // Wakes as soon as a request is queued, instead of polling the queue.
    if (!queue_.wait_dequeue_timed(request, kWorkerWake)) continue;
    if (!running_) break;
    if (request.ruleClass == rules::DomainClass::ViaProxy) send(request);
  }
}

void DnsResolver::send(DNS_REQ request) {
  const Kind kind = request.isA ? kKindA : kKindAaaa;
  const platform::Socket s = sockets_[kind];
  onDnsRequest(request);

  const std::string key = PendingKey(request.dnsId, request.isA, request.name);
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(pendingLock_);
    generation = ++nextGeneration_;
    pending_[key] = Waiting{request, generation};
  }
  timers_.schedule(kForgetAfterMs, [this, key, generation] { removeWaiting(key, generation); });

  // Upstream the question is always A: AAAA questions are answered from IPv4
  // addresses, and each kind has its own socket to tell the answers apart.
  auto query =
      std::make_shared<const std::vector<uint8_t>>(BuildDnsQuery(request.dnsId, request.name, kTypeA));
  if (query->empty()) return;
  platform::sendTo(s, query->data(), query->size(), primaryServer_);
  const SocketAddress backup = backupServer_;
  const uint32_t resend = timers_.schedule(
      kBackupDelayMs, [s, query, backup] { platform::sendTo(s, query->data(), query->size(), backup); });
  if (resend == 0)
    debugLine("[DNS][DnsResolver][%s] 转发到备用DNS 失败 err: timeSetEvent失败", kindTag(request.isA));
}

void DnsResolver::removeWaiting(const std::string& key, uint64_t generation) {
  std::lock_guard<std::mutex> lock(pendingLock_);
  auto it = pending_.find(key);
  if (it != pending_.end() && it->second.generation == generation) pending_.erase(it);
}

void DnsResolver::receiver(Kind kind) {
  const platform::Socket s = sockets_[kind];
  uint8_t buffer[kReceiveBuffer];
  while (running_) {
    SocketAddress from;
    const int n = platform::receiveFrom(s, buffer, sizeof buffer, &from);
    if (!running_) break;
    if (n < 0) {
      const platform::NetError error = platform::lastSocketError();
      if (error == platform::NetError::TimedOut || error == platform::NetError::WouldBlock) {
        if (timeoutFailed_[kind]) platform::sleepMs(kRetrySleepMs);
        continue;
      }
      if (error == platform::NetError::InvalidArgument) {
        platform::sleepMs(kRetrySleepMs);
        continue;
      }
      break;
    }
    // Only the two servers asked may answer.
    if (!sameServer(from, primaryServer_) && !sameServer(from, backupServer_)) continue;
    const DnsMessage answer = ParseDnsMessage(buffer, static_cast<size_t>(n));
    if (!answer.isResponse || answer.name.empty()) continue;
    const std::string key = PendingKey(answer.id, kind == kKindA, answer.name);
    DNS_REQ request;
    {
      std::lock_guard<std::mutex> lock(pendingLock_);
      auto it = pending_.find(key);
      if (it == pending_.end()) continue;  // answered already, or forgotten
      request = std::move(it->second.request);
      pending_.erase(it);
    }
    onDnsAnswer(request, answer.answers);
  }
}

}  // namespace dns
