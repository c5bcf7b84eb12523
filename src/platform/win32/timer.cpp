// Windows periodic timer: a multimedia timer. TIME_KILL_SYNCHRONOUS makes
// timeKillEvent wait for a callback in progress, so no callback can reach the
// owner after stop() returns.
#include "platform/timer.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>

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

}  // namespace

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
