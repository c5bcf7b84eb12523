// Linux events, with the wake-ups of Windows event objects. Every wait, of
// one event or of several, is a waiter with its own condition variable that
// registers with each event it watches. set() hands the signal over inside
// the event's lock: an automatic-reset event gives it to the first waiter
// still waiting (which is then released and nobody else is woken) and stays
// unsignalled, or keeps it when nobody waits; a manual-reset event stays
// signalled and releases every waiter. A waiter takes at most one signal,
// so a waiter of several events that one of them released is passed over by
// the others. Locks are taken event first, then waiter, never the other way.
#include "platform/event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace platform {
namespace {

constexpr int kStillWaiting = -1;
constexpr int kGaveUp = -2;

struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  int released = kStillWaiting;  // index of the event that released it, or kGaveUp
};

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
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto& [waiter, index] : s.waiters) {
    std::lock_guard<std::mutex> wl(waiter->mutex);
    if (waiter->released != kStillWaiting) continue;
    waiter->released = index;
    waiter->cv.notify_one();
    if (!s.manual) return;  // handed over: the event stays unsignalled
  }
  s.signalled = true;
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
    std::lock_guard<std::mutex> wl(waiter.mutex);
    if (waiter.released != kStillWaiting) break;
    if (s.signalled) {
      if (!s.manual) s.signalled = false;
      waiter.released = registered;
      break;
    }
    s.waiters.emplace_back(&waiter, registered);
  }

  {
    std::unique_lock<std::mutex> wl(waiter.mutex);
    auto released = [&] { return waiter.released != kStillWaiting; };
    if (timeoutMs == kInfinite) {
      waiter.cv.wait(wl, released);
    } else if (!waiter.cv.wait_for(wl, std::chrono::milliseconds(timeoutMs), released)) {
      // Giving up inside the waiter's lock: a set() after this passes the
      // waiter over and keeps its signal.
      waiter.released = kGaveUp;
    }
  }

  for (int i = 0; i < registered; ++i) {
    Event::State& s = *events[i]->state_;
    std::lock_guard<std::mutex> lock(s.mutex);
    auto& w = s.waiters;
    w.erase(std::remove_if(w.begin(), w.end(), [&](const auto& entry) { return entry.first == &waiter; }),
            w.end());
  }
  return waiter.released >= 0 ? waiter.released : kWaitTimeout;
}

}  // namespace platform
