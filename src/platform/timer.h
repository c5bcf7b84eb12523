// The periodic timer of the one-second notification and the system timer
// resolution.
#pragma once

#include <cstdint>
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

// The system timer's capabilities (timeGetDevCaps). Linux answers 1 and
// 1000000 ms. False when the query fails.
bool timerCapabilities(uint32_t& minPeriodMs, uint32_t& maxPeriodMs);

// Raises / lowers the system timer resolution (timeBeginPeriod /
// timeEndPeriod). Nothing to do on Linux.
void timerBeginPeriod(uint32_t periodMs);
void timerEndPeriod(uint32_t periodMs);

}  // namespace platform
