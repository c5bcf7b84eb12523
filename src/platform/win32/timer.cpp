// Windows periodic timer: a multimedia timer. TIME_KILL_SYNCHRONOUS makes
// timeKillEvent wait for a callback in progress, so no callback can reach the
// owner after stop() returns. One-shot timers: a multimedia timer in
// TIME_ONESHOT mode per set of timers, for the set's earliest deadline.
#include "platform/timer.h"

#include "platform/one_shot_backend.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <queue>
#include <utility>
#include <vector>

namespace platform {

struct PeriodicTimer::State {
  std::atomic<UINT> id{0};
  TimerCallback callback = nullptr;
  void* context = nullptr;
};

namespace {

// A named WINAPI function: on i686 a captureless lambda does not convert to
// the stdcall function pointer that timeSetEvent wants.
void CALLBACK onTimerTick(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  auto* state = reinterpret_cast<PeriodicTimer::State*>(user);
  state->callback(state->context);
}

// One multimedia one-shot timer per set, armed for the set's earliest
// deadline and armed again from its callback for the next one: the system
// (and wine, which keeps only a few multimedia timers at once) holds one
// timer per set however many callbacks wait.
class MultimediaOneShotBackend final : public detail::OneShotBackend {
 public:
  ~MultimediaOneShotBackend() override {
    UINT id;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      quit_ = true;
      id = armedId_;
      armedId_ = 0;
    }
    // Synchronous: a callback of that timer has returned when this does.
    if (id != 0) timeKillEvent(id);
    // A callback whose timer was already spent may still be firing.
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return !inCallback_; });
  }

  bool arm(uint32_t token, uint32_t delayMs, uintptr_t& handle) override {
    handle = token;
    std::unique_lock<std::mutex> lock(mutex_);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(delayMs);
    due_.emplace(deadline, token);
    if (inCallback_) return true;  // the callback arms for the earliest when it is done
    if (armedId_ != 0) {
      if (deadline >= armedDeadline_) return true;
      // An earlier deadline: the armed timer goes (outside the lock, since
      // its callback takes it) and one for the new earliest comes.
      const UINT id = armedId_;
      armedId_ = 0;
      lock.unlock();
      timeKillEvent(id);
      lock.lock();
      if (inCallback_ || armedId_ != 0) return true;
    }
    return armLocked();
  }

  // Cancelled timers stay queued and fire into nothing.
  void disarm(uintptr_t) override {}

 private:
  using Clock = std::chrono::steady_clock;
  using Entry = std::pair<Clock::time_point, uint32_t>;

  static void CALLBACK onTimer(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    reinterpret_cast<MultimediaOneShotBackend*>(user)->fire();
  }

  void fire() {
    std::vector<uint32_t> tokens;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      armedId_ = 0;  // a one-shot timer is spent once it fired
      if (quit_) return;
      inCallback_ = true;
      const Clock::time_point now = Clock::now();
      while (!due_.empty() && due_.top().first <= now) {
        tokens.push_back(due_.top().second);
        due_.pop();
      }
    }
    for (uint32_t token : tokens) detail::fireOneShot(token);
    std::lock_guard<std::mutex> lock(mutex_);
    inCallback_ = false;
    if (!quit_ && armedId_ == 0 && !due_.empty()) armLocked();
    idle_.notify_all();
  }

  bool armLocked() {
    if (due_.empty()) return true;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due_.top().first - Clock::now()).count();
    // 1 ms at least; at most 65535 ms at a time (wine's limit), after which
    // the callback finds nothing due and arms again.
    const UINT delay = static_cast<UINT>(wait < 1 ? 1 : (wait > 65535 ? 65535 : wait));
    armedId_ = timeSetEvent(delay, 1, &MultimediaOneShotBackend::onTimer, reinterpret_cast<DWORD_PTR>(this),
                            TIME_ONESHOT | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    armedDeadline_ = due_.top().first;
    return armedId_ != 0;
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> due_;
  UINT armedId_ = 0;
  Clock::time_point armedDeadline_{};
  bool inCallback_ = false;
  bool quit_ = false;
};

}  // namespace

namespace detail {
std::unique_ptr<OneShotBackend> makeOneShotBackend() { return std::make_unique<MultimediaOneShotBackend>(); }
}  // namespace detail

PeriodicTimer::PeriodicTimer() : state_(std::make_unique<State>()) {}
PeriodicTimer::~PeriodicTimer() { stop(); }

uint32_t PeriodicTimer::start(uint32_t periodMs, TimerCallback callback, void* context) {
  if (callback == nullptr || periodMs == 0 || state_->id != 0) return 0;
  state_->callback = callback;
  state_->context = context;
  UINT id = timeSetEvent(periodMs, 0, &onTimerTick, reinterpret_cast<DWORD_PTR>(state_.get()),
                         TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
  state_->id = id;
  return id;
}

void PeriodicTimer::stop() {
  UINT id = state_->id.exchange(0);
  if (id != 0) timeKillEvent(id);
}

bool PeriodicTimer::running() const { return state_->id != 0; }

bool timerCapabilities(uint32_t& minPeriodMs, uint32_t& maxPeriodMs) {
  TIMECAPS caps{};
  if (timeGetDevCaps(&caps, sizeof caps) != MMSYSERR_NOERROR) return false;
  minPeriodMs = caps.wPeriodMin;
  maxPeriodMs = caps.wPeriodMax;
  return true;
}

void timerBeginPeriod(uint32_t periodMs) { timeBeginPeriod(periodMs); }
void timerEndPeriod(uint32_t periodMs) { timeEndPeriod(periodMs); }

}  // namespace platform

// The portable half of the one-shot timers.
#include "platform/one_shot_timers.inc"
