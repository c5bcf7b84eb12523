// Linux periodic timer: one thread per timer that sleeps to the next deadline
// of a steady clock (so the period does not drift) and calls the callback.
#include "platform/timer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform {

struct PeriodicTimer::State {
  std::mutex mutex;
  std::condition_variable cv;
  bool stopping = false;
  std::thread thread;
  std::atomic<bool> running{false};
};

namespace {
std::atomic<uint32_t> nextTimerId{1};
}

PeriodicTimer::PeriodicTimer() : state_(std::make_unique<State>()) {}
PeriodicTimer::~PeriodicTimer() { stop(); }

uint32_t PeriodicTimer::start(uint32_t periodMs, TimerCallback callback, void* context) {
  if (callback == nullptr || periodMs == 0 || state_->thread.joinable()) return 0;
  state_->stopping = false;
  State* s = state_.get();
  try {
    s->thread = std::thread([s, periodMs, callback, context] {
      auto next = std::chrono::steady_clock::now();
      std::unique_lock<std::mutex> lock(s->mutex);
      for (;;) {
        next += std::chrono::milliseconds(periodMs);
        if (s->cv.wait_until(lock, next, [s] { return s->stopping; })) return;
        lock.unlock();
        callback(context);
        lock.lock();
      }
    });
  } catch (...) {
    return 0;
  }
  s->running = true;
  uint32_t id = nextTimerId.fetch_add(1);
  return id == 0 ? nextTimerId.fetch_add(1) : id;
}

void PeriodicTimer::stop() {
  if (!state_->thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->cv.notify_all();
  state_->thread.join();
  state_->running = false;
}

bool PeriodicTimer::running() const { return state_->running; }

bool timerCapabilities(uint32_t& minPeriodMs, uint32_t& maxPeriodMs) {
  minPeriodMs = 1;
  maxPeriodMs = 1000000;
  return true;
}

void timerBeginPeriod(uint32_t) {}
void timerEndPeriod(uint32_t) {}

}  // namespace platform
