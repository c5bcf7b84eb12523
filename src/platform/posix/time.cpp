// Linux clocks: CLOCK_MONOTONIC for ticks, time() for calendar seconds.
#include "platform/time.h"

#include <sched.h>
#include <time.h>

namespace platform {

uint64_t monotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t tickCount() { return static_cast<uint32_t>(monotonicMs()); }

uint32_t calendarSeconds() { return static_cast<uint32_t>(::time(nullptr)); }

void sleepMs(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
    // Interrupted by a signal: sleep the remainder.
  }
}

}  // namespace platform
