// The periodic timer of the one-second notification and the system timer
// resolution.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

using TimerCallback = void (*)(void* context);

// A periodic timer whose callback runs on a timer thread of its own.
// Windows: a multimedia timer (timeSetEvent, periodic, resolution 0, killed
// synchronously so that no callback runs after stop() returns). Linux: a
// thread that waits out each period on a steady clock.
class PeriodicTimer {
 public:
  PeriodicTimer();
  ~PeriodicTimer();  // stops the timer
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // Starts calling `callback(context)` every `periodMs` milliseconds, the first
  // time one period from now. Returns the timer id (non-zero), or 0 when the
  // timer could not be created or is already running.
  uint32_t start(uint32_t periodMs, TimerCallback callback, void* context);

  // Stops the timer and waits for a callback in progress to return. Must not
  // be called from the callback itself. Safe when not running.
  void stop();

  bool running() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// A set of one-shot timers: each scheduled callback runs once, after its
// delay, on a timer thread, unless it is cancelled first. Callbacks of one set
// may run concurrently with each other.
// Windows: one multimedia timer per set (timeSetEvent, TIME_ONESHOT, killed
// synchronously), armed for the set's earliest deadline. Linux: one thread
// per set that waits on a steady clock for the earliest deadline (started
// with the first timer).
// What a callback may reach is guarded by the set: once cancel() or stop()
// returns, the callbacks concerned have either never started or finished.
class OneShotTimers {
 public:
  using Callback = std::function<void()>;

  OneShotTimers();
  ~OneShotTimers();  // stop(), then the set's thread ends
  OneShotTimers(const OneShotTimers&) = delete;
  OneShotTimers& operator=(const OneShotTimers&) = delete;

  // Calls `callback` once, `delayMs` milliseconds from now. Returns the
  // timer's id (non-zero), or 0 when the timer could not be created (the
  // callback is then never called). Any thread, also a callback of the set.
  uint32_t schedule(uint32_t delayMs, Callback callback);

  // Cancels timer `id`: true when it had not started (it never will); false
  // when it already ran, is running (cancel then waits for it to finish,
  // unless called from that very callback) or is unknown. Any thread.
  bool cancel(uint32_t id);

  // Cancels every timer of the set and waits for every callback of the set
  // that is running (other than the caller itself, when a callback calls
  // it). The set stays usable. Any thread.
  void stop();

  // Timers scheduled and neither run, running nor cancelled.
  size_t pendingCount() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The system timer's capabilities (timeGetDevCaps). Linux answers 1 and
// 1000000 ms. False when the query fails.
bool timerCapabilities(uint32_t& minPeriodMs, uint32_t& maxPeriodMs);

// Raises / lowers the system timer resolution (timeBeginPeriod /
// timeEndPeriod). Nothing to do on Linux.
void timerBeginPeriod(uint32_t periodMs);
void timerEndPeriod(uint32_t periodMs);

}  // namespace platform
