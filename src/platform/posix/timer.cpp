// Linux periodic timer: one thread per timer that sleeps to the next deadline
// of a steady clock (so the period does not drift) and calls the callback.
// One-shot timers: one thread per set, sleeping to the earliest deadline of
// the set's queue; a cancelled timer's entry stays queued and fires into
// nothing (the portable half has forgotten its token).
#include "platform/timer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <utility>
#include <vector>

#include "platform/one_shot_backend.h"

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

namespace detail {
namespace {

class ThreadOneShotBackend final : public OneShotBackend {
 public:
  ~ThreadOneShotBackend() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  bool arm(uint32_t token, uint32_t delayMs, uintptr_t& handle) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { run(); });
      } catch (...) {
        return false;
      }
    }
    due_.emplace(Clock::now() + std::chrono::milliseconds(delayMs), token);
    handle = token;
    wake_.notify_all();
    return true;
  }

  void disarm(uintptr_t) override {}

 private:
  using Clock = std::chrono::steady_clock;
  using Entry = std::pair<Clock::time_point, uint32_t>;

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<uint32_t> fired;
    while (!quit_) {
      if (due_.empty()) {
        wake_.wait(lock);
        continue;
      }
      const Clock::time_point next = due_.top().first;
      if (Clock::now() < next) {
        wake_.wait_until(lock, next);
        continue;
      }
      while (!due_.empty() && due_.top().first <= Clock::now()) {
        fired.push_back(due_.top().second);
        due_.pop();
      }
      lock.unlock();
      for (uint32_t token : fired) fireOneShot(token);
      fired.clear();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> due_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<OneShotBackend> makeOneShotBackend() { return std::make_unique<ThreadOneShotBackend>(); }

}  // namespace detail

bool timerCapabilities(uint32_t& minPeriodMs, uint32_t& maxPeriodMs) {
  minPeriodMs = 1;
  maxPeriodMs = 1000000;
  return true;
}

void timerBeginPeriod(uint32_t) {}
void timerEndPeriod(uint32_t) {}

}  // namespace platform

// The portable half of the one-shot timers.
#include "platform/one_shot_timers.inc"
