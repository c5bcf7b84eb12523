// Clocks and sleeping.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start, 32 bits, wrapping after about 49.7
// days (GetTickCount on Windows, CLOCK_MONOTONIC on Linux). Compare two ticks
// by unsigned subtraction. Any thread.
uint32_t tickCount();

// Milliseconds of a monotonic clock that never wraps. Any thread.
uint64_t monotonicMs();

// Calendar time: seconds since 1970-01-01 UTC, low 32 bits. Any thread.
uint32_t calendarSeconds();

// Suspends the calling thread for at least `ms` milliseconds; 0 gives up the
// rest of the time slice (Sleep(0)).
void sleepMs(uint32_t ms);

}  // namespace platform
