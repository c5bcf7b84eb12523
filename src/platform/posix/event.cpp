// Linux events: a flag under a mutex with a condition variable. waitAny()
// registers one waiter with every event it watches; set() wakes the waiters,
// and each woken waiter re-checks the events in order and consumes an
// automatic-reset signal under that event's mutex, so one set() lets exactly
// one waiter through.
#include "platform/event.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace platform {
namespace {

struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool woken = false;
};

}  // namespace

struct Event::State {
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;
  bool manual = false;
  std::vector<Waiter*> waiters;

  // Caller holds `mutex`.
  bool tryConsume() {
    if (!signalled) return false;
    if (!manual) signalled = false;
    return true;
  }
};

Event::Event(Reset reset, bool initiallySet) : state_(std::make_unique<State>()) {
  state_->manual = reset == Reset::Manual;
  state_->signalled = initiallySet;
}

Event::~Event() = default;

bool Event::valid() const { return true; }

void Event::set() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->signalled = true;
  if (state_->manual)
    state_->cv.notify_all();
  else
    state_->cv.notify_one();
  for (Waiter* w : state_->waiters) {
    std::lock_guard<std::mutex> wl(w->mutex);
    w->woken = true;
    w->cv.notify_one();
  }
}

void Event::reset() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->signalled = false;
}

bool Event::wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (timeoutMs == kInfinite) {
    state_->cv.wait(lock, [this] { return state_->signalled; });
  } else if (!state_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [this] { return state_->signalled; })) {
    return false;
  }
  return state_->tryConsume();
}

void* Event::nativeHandle() const { return nullptr; }

int waitAny(Event* const* events, int count, uint32_t timeoutMs) {
  if (events == nullptr || count < 1 || count > 64) return -2;
  if (count == 1) return events[0]->wait(timeoutMs) ? 0 : kWaitTimeout;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  Waiter waiter;
  auto consumeAny = [&]() -> int {
    for (int i = 0; i < count; ++i) {
      Event::State& s = *events[i]->state_;
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.tryConsume()) return i;
    }
    return kWaitTimeout;
  };
  for (int i = 0; i < count; ++i) {
    Event::State& s = *events[i]->state_;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.waiters.push_back(&waiter);
  }
  int result = kWaitTimeout;
  for (;;) {
    {
      std::lock_guard<std::mutex> wl(waiter.mutex);
      waiter.woken = false;
    }
    result = consumeAny();
    if (result != kWaitTimeout) break;
    std::unique_lock<std::mutex> wl(waiter.mutex);
    if (timeoutMs == kInfinite) {
      waiter.cv.wait(wl, [&] { return waiter.woken; });
    } else if (!waiter.cv.wait_until(wl, deadline, [&] { return waiter.woken; })) {
      wl.unlock();
      result = consumeAny();  // a last look: a set() may have raced the deadline
      break;
    }
  }
  for (int i = 0; i < count; ++i) {
    Event::State& s = *events[i]->state_;
    std::lock_guard<std::mutex> lock(s.mutex);
    auto& w = s.waiters;
    w.erase(std::remove(w.begin(), w.end(), &waiter), w.end());
  }
  return result;
}

}  // namespace platform
