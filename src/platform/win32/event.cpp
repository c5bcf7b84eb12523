// Windows events are kernel event objects; waitAny is WaitForMultipleObjects.
#include "platform/event.h"

#include <windows.h>

namespace platform {

struct Event::State {
  HANDLE handle = nullptr;
};

Event::Event(Reset reset, bool initiallySet) : state_(std::make_unique<State>()) {
  state_->handle = CreateEventW(nullptr, reset == Reset::Manual, initiallySet, nullptr);
}

Event::~Event() {
  if (state_->handle != nullptr) CloseHandle(state_->handle);
}

bool Event::valid() const { return state_->handle != nullptr; }
void Event::set() { SetEvent(state_->handle); }
void Event::reset() { ResetEvent(state_->handle); }

bool Event::wait(uint32_t timeoutMs) {
  return WaitForSingleObject(state_->handle, timeoutMs) == WAIT_OBJECT_0;
}

void* Event::nativeHandle() const { return state_->handle; }

int waitAny(Event* const* events, int count, uint32_t timeoutMs) {
  if (events == nullptr || count < 1 || count > 64) return -2;
  HANDLE handles[64];
  for (int i = 0; i < count; ++i) handles[i] = events[i]->state_->handle;
  DWORD r = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, timeoutMs);
  if (r < WAIT_OBJECT_0 + static_cast<DWORD>(count)) return static_cast<int>(r - WAIT_OBJECT_0);
  return r == WAIT_TIMEOUT ? kWaitTimeout : -2;
}

}  // namespace platform
