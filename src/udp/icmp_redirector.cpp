#include "udp/icmp_redirector.h"

#include <chrono>
#include <cstring>
#include <new>

namespace udp {

namespace {
// Delays come from rules of at most one second.
constexpr uint32_t kMaxDelayMs = 1000;
constexpr uint64_t kMicrosecondsPerMs = 1000;
}  // namespace

uint64_t IcmpRedirector::SteadyMicroseconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

IcmpRedirector::IcmpRedirector(Clock clock) : clock_(clock != nullptr ? clock : &SteadyMicroseconds) {}

IcmpRedirector::~IcmpRedirector() { Stop(); }

int IcmpRedirector::Enqueue(const uint8_t* packet, size_t length, uint32_t delayMs) {
  if (delayMs == 0) return kNothingToQueue;
  if (delayMs > kMaxDelayMs) return kRefused;
  // A request that the copy cannot hold is not taken at all: its reply could
  // not be delivered either.
  if (length > kIcmpPacketRoom || !IsEchoRequest(packet, length)) return kRefused;
  std::unique_ptr<QueuedEcho> echo(new (std::nothrow) QueuedEcho);
  if (!echo) return kRefused;
  echo->dueAt = clock_() + delayMs * kMicrosecondsPerMs;
  echo->length = static_cast<uint16_t>(length);
  std::memcpy(echo->packet, packet, length);
  try {
    std::lock_guard<std::mutex> lock(queueLock_);
    queue_.push_back(std::move(echo));
  } catch (const std::bad_alloc&) {
    return kRefused;
  }
  // The new echo may fall due before the one the thread waits for.
  queueChanged_.notify_one();
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
  {
    // Under the queue lock, so the thread cannot miss the wake between its
    // look at the flag and its wait.
    std::lock_guard<std::mutex> queueLock(queueLock_);
    running_.store(0);
  }
  queueChanged_.notify_all();
  if (worker_.joinable()) worker_.join();
}

bool IcmpRedirector::Running() const { return running_.load() != 0; }

size_t IcmpRedirector::QueuedCount() const {
  std::lock_guard<std::mutex> lock(queueLock_);
  return queue_.size();
}

void IcmpRedirector::run() {
  std::unique_lock<std::mutex> lock(queueLock_);
  while (running_.load()) {
    const uint64_t now = clock_();
    deliverDueLocked(now);
    if (queue_.empty()) {
      queueChanged_.wait(lock);
      continue;
    }
    uint64_t earliest = UINT64_MAX;
    for (const auto& echo : queue_) earliest = echo->dueAt < earliest ? echo->dueAt : earliest;
    // Waits out the earliest delay; a new echo or Stop wakes it sooner, and
    // an early wake only leads to another look.
    if (earliest > now) queueChanged_.wait_for(lock, std::chrono::microseconds(earliest - now));
  }
}

void IcmpRedirector::DeliverDue(uint64_t nowUs) {
  std::lock_guard<std::mutex> lock(queueLock_);
  deliverDueLocked(nowUs);
}

void IcmpRedirector::deliverDueLocked(uint64_t now) {
  for (auto it = queue_.begin(); it != queue_.end();) {
    QueuedEcho& echo = **it;
    if (now < echo.dueAt) {
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
