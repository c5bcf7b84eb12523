// Inside the platform layer only: how OneShotTimers (one_shot_timers.cpp,
// portable) meets each system's timer facility (timer.cpp of each tree).
#pragma once

#include <cstdint>
#include <memory>

namespace platform::detail {

// Arms and disarms single system timers. The portable part keeps every
// callback and decides whether a firing still counts; a backend only makes
// fireOneShot(token) happen once, after the delay, on a timer thread.
class OneShotBackend {
 public:
  virtual ~OneShotBackend() = default;  // no fireOneShot starts after it returns
  // False when the system refused the timer.
  virtual bool arm(uint32_t token, uint32_t delayMs, uintptr_t& handle) = 0;
  // Best effort: a firing that has begun may still arrive (the portable part
  // then finds the token gone). Never called with the portable lock held.
  virtual void disarm(uintptr_t handle) = 0;
};

std::unique_ptr<OneShotBackend> makeOneShotBackend();

// Called by a backend when a timer is due.
void fireOneShot(uint32_t token);

}  // namespace platform::detail
