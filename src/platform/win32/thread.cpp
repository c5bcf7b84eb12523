// Windows: _beginthreadex (so the C run-time sets the thread up) with
// STACK_SIZE_PARAM_IS_A_RESERVATION, which makes the size the stack's
// reservation rather than its initial commit; without the flag the
// reservation stays the executable's default (1 MiB). The system rounds the
// reservation up to its allocation granularity (64 KiB). The handle is closed
// at once: the thread is detached.
#include "platform/thread.h"

#include <process.h>
#include <windows.h>

#include <new>

namespace platform {
namespace {

struct Start {
  ThreadEntry entry;
  void* argument;
};

unsigned __stdcall threadMain(void* raw) {
  const Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  start.entry(start.argument);
  return 0;
}

}  // namespace

bool startDetachedThread(ThreadEntry entry, void* argument, size_t stackBytes) {
  Start* start = new (std::nothrow) Start{entry, argument};
  if (start == nullptr) return false;
  const uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), threadMain, start,
                                          STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) {
    delete start;
    return false;
  }
  CloseHandle(reinterpret_cast<HANDLE>(handle));
  return true;
}

}  // namespace platform
