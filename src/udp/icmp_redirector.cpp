#include "udp/icmp_redirector.h"

#include <cstring>
#include <new>

#include "platform/time.h"

namespace udp {

namespace {
// Delays come from rules of at most one second.
constexpr uint32_t kMaxDelayMs = 1000;
// The scheduler's step: a reply is late by at most about this much.
constexpr uint32_t kStepMs = 1;
}  // namespace

IcmpRedirector::IcmpRedirector(Clock clock) : clock_(clock != nullptr ? clock : &platform::tickCount) {}

IcmpRedirector::~IcmpRedirector() { Stop(); }

int IcmpRedirector::Enqueue(const uint8_t* packet, size_t length, uint32_t delayMs) {
  if (delayMs == 0) return kNothingToQueue;
  if (delayMs > kMaxDelayMs) return kRefused;
  // A request that the copy cannot hold is not taken at all: its reply could
  // not be delivered either.
  if (length > kIcmpPacketRoom || !IsEchoRequest(packet, length)) return kRefused;
  std::unique_ptr<QueuedEcho> echo(new (std::nothrow) QueuedEcho);
  if (!echo) return kRefused;
  echo->enqueuedAt = clock_();
  echo->delayMs = delayMs;
  echo->length = static_cast<uint16_t>(length);
  std::memcpy(echo->packet, packet, length);
  try {
    std::lock_guard<std::mutex> lock(queueLock_);
    queue_.push_back(std::move(echo));
  } catch (const std::bad_alloc&) {
    return kRefused;
  }
  return kQueued;
}

bool IcmpRedirector::Start() {
  if (running_.load()) return true;
  std::lock_guard<std::mutex> lock(startStopLock_);
  if (running_.load()) return true;
  running_.store(1);
  try {
    worker_ = std::thread([this] { run(); });
  } catch (...) {
    running_.store(0);
    return false;
  }
  return true;
}

void IcmpRedirector::Stop() {
  std::lock_guard<std::mutex> lock(startStopLock_);
  running_.store(0);
  if (worker_.joinable()) worker_.join();
}

bool IcmpRedirector::Running() const { return running_.load() != 0; }

size_t IcmpRedirector::QueuedCount() const {
  std::lock_guard<std::mutex> lock(queueLock_);
  return queue_.size();
}

void IcmpRedirector::run() {
  while (running_.load()) {
    platform::sleepMs(kStepMs);
    DeliverDue(clock_());
  }
}

void IcmpRedirector::DeliverDue(uint32_t now) {
  std::lock_guard<std::mutex> lock(queueLock_);
  for (auto it = queue_.begin(); it != queue_.end();) {
    QueuedEcho& echo = **it;
    // The clock wraps: the age is the difference read as a signed value.
    const int32_t age = static_cast<int32_t>(now - echo.enqueuedAt);
    if (age < static_cast<int32_t>(echo.delayMs)) {
      ++it;
      continue;
    }
    if (IsEchoRequest(echo.packet, echo.length)) {
      TurnIntoReply(echo.packet, echo.length);
      OnEchoReply(echo.packet, echo.length);
    }
    it = queue_.erase(it);
  }
}

}  // namespace udp
