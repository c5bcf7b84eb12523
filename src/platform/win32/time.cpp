// Windows clocks: GetTickCount for the wrapping tick, GetTickCount64 for the
// monotonic one, the C run-time's time() for calendar seconds.
#include "platform/time.h"

#include <windows.h>

#include <ctime>

namespace platform {

uint32_t tickCount() { return GetTickCount(); }
uint64_t monotonicMs() { return GetTickCount64(); }
uint32_t calendarSeconds() { return static_cast<uint32_t>(std::time(nullptr)); }
void sleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace platform
