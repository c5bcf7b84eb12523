// Linux events, with the wake-ups of Windows event objects. Every wait, of
// one event or of several, is a waiter with one atomic word that registers
// with each event it watches. set() hands the signal over inside the event's
// lock: an automatic-reset event gives it to the first waiter still waiting
// (which is then released and nobody else is woken) and stays unsignalled, or
// keeps it when nobody waits; a manual-reset event stays signalled and
// releases every waiter. A waiter takes at most one signal: the word moves
// once, from "still waiting" to the index of the event that released it or to
// "gave up", by compare-and-swap, so a waiter of several events that one of
// them released is passed over by the others and a set() racing a time-out
// either releases the waiter or keeps its signal.
//
// Waiters sleep on their word with a futex. The one waiter an automatic-reset
// event releases is woken after the event's lock is let go, so that it does
// not wake into a lock still held and sleep again (it takes that lock to leave
// the event's list). It may have left and returned by then: a futex wake of a
// word no longer waited on wakes nobody or, the memory being reused, causes a
// spurious wake-up, which every futex waiter tolerates. Waiters of a
// manual-reset event are woken under its lock.
#include "platform/event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

namespace platform {
namespace {

constexpr int kStillWaiting = -1;
constexpr int kGaveUp = -2;

struct Waiter {
  // Index of the event that released it, kGaveUp, or kStillWaiting.
  std::atomic<int> released{kStillWaiting};
};
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

int* wordOf(std::atomic<int>& a) { return reinterpret_cast<int*>(&a); }

void futexWake(std::atomic<int>* word) {
  syscall(SYS_futex, wordOf(*word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Sleeps while `word` holds `expected`, at most `timeout` (null: no limit).
void futexWait(std::atomic<int>& word, int expected, const timespec* timeout) {
  syscall(SYS_futex, wordOf(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

// Releases `waiter` for event `index`; false when it was released already or
// gave up.
bool release(Waiter& waiter, int index) {
  int expected = kStillWaiting;
  return waiter.released.compare_exchange_strong(expected, index, std::memory_order_acq_rel);
}

int64_t monotonicNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

}  // namespace

struct Event::State {
  std::mutex mutex;
  bool signalled = false;
  bool manual = false;
  // Waiting threads in arrival order, with the index this event has in
  // each one's wait.
  std::vector<std::pair<Waiter*, int>> waiters;
};

Event::Event(Reset reset, bool initiallySet) : state_(std::make_unique<State>()) {
  state_->manual = reset == Reset::Manual;
  state_->signalled = initiallySet;
}

Event::~Event() = default;

bool Event::valid() const { return true; }

void Event::set() {
  State& s = *state_;
  std::atomic<int>* wake = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& [waiter, index] : s.waiters) {
      if (!release(*waiter, index)) continue;
      if (!s.manual) {
        wake = &waiter->released;  // handed over: the event stays unsignalled
        break;
      }
      futexWake(&waiter->released);
    }
    if (wake == nullptr) s.signalled = true;
  }
  if (wake != nullptr) futexWake(wake);
}

void Event::reset() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->signalled = false;
}

bool Event::wait(uint32_t timeoutMs) {
  Event* self = this;
  return waitAny(&self, 1, timeoutMs) == 0;
}

void* Event::nativeHandle() const { return nullptr; }

int waitAny(Event* const* events, int count, uint32_t timeoutMs) {
  if (events == nullptr || count < 1 || count > 64) return -2;
  for (int i = 0; i < count; ++i)
    if (events[i] == nullptr) return -2;

  // Register in index order, taking a signal that is already there: the
  // lowest signalled index wins, as on Windows. An event registered with
  // earlier may release the waiter meanwhile; then registration stops.
  Waiter waiter;
  int registered = 0;
  for (; registered < count; ++registered) {
    Event::State& s = *events[registered]->state_;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (waiter.released.load(std::memory_order_acquire) != kStillWaiting) break;
    if (s.signalled) {
      if (release(waiter, registered) && !s.manual) s.signalled = false;
      break;
    }
    s.waiters.emplace_back(&waiter, registered);
  }

  const int64_t deadline =
      timeoutMs == kInfinite ? 0 : monotonicNs() + static_cast<int64_t>(timeoutMs) * 1000000;
  for (;;) {
    if (waiter.released.load(std::memory_order_acquire) != kStillWaiting) break;
    if (timeoutMs == kInfinite) {
      futexWait(waiter.released, kStillWaiting, nullptr);
      continue;
    }
    const int64_t left = deadline - monotonicNs();
    if (left <= 0) {
      // Giving up by the same compare-and-swap: a set() after this passes the
      // waiter over and keeps its signal; one before it released the waiter.
      int expected = kStillWaiting;
      waiter.released.compare_exchange_strong(expected, kGaveUp, std::memory_order_acq_rel);
      break;
    }
    const timespec span{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    futexWait(waiter.released, kStillWaiting, &span);
  }

  for (int i = 0; i < registered; ++i) {
    Event::State& s = *events[i]->state_;
    std::lock_guard<std::mutex> lock(s.mutex);
    auto& w = s.waiters;
    w.erase(std::remove_if(w.begin(), w.end(), [&](const auto& entry) { return entry.first == &waiter; }),
            w.end());
  }
  const int released = waiter.released.load(std::memory_order_acquire);
  return released >= 0 ? released : kWaitTimeout;
}

}  // namespace platform
