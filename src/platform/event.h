// Waitable events: a signalled/unsignalled flag that threads can wait on,
// with the semantics of Windows event objects.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

// Result of a wait that ran out of time.
inline constexpr int kWaitTimeout = -1;
// Wait without a time limit.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Event {
 public:
  enum class Reset { Automatic, Manual };

  // An automatic-reset event lets exactly one waiter through per set() and
  // turns unsignalled again; a manual-reset one stays signalled until reset().
  explicit Event(Reset reset = Reset::Automatic, bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // False only when the system object could not be created (Windows).
  bool valid() const;

  void set();
  void reset();

  // Waits up to `timeoutMs` (kInfinite: no limit). True when the event was
  // signalled (and, for automatic reset, consumed by this waiter).
  bool wait(uint32_t timeoutMs = kInfinite);

  // The Windows HANDLE behind the event, for calls that take one (overlapped
  // I/O); null on Linux.
  void* nativeHandle() const;

  struct State;

 private:
  friend int waitAny(Event* const* events, int count, uint32_t timeoutMs);
  std::unique_ptr<State> state_;
};

// Waits until one of `count` events (1 to 64) is signalled or the time runs
// out. Returns the index of the signalled event (the lowest one when several
// are; an automatic-reset event is consumed), kWaitTimeout on time-out, or -2
// for invalid arguments. Any thread.
int waitAny(Event* const* events, int count, uint32_t timeoutMs);

}  // namespace platform
