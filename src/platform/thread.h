// Threads with a stack reservation of the caller's choosing, for code that
// runs one thread per connection: the default reservation (1 MiB on Windows,
// 8 MiB on Linux) would take far more address space than such a thread uses,
// and a 32-bit process has only 2 GiB of it.
#pragma once

#include <cstddef>

namespace platform {

using ThreadEntry = void (*)(void* argument);

// Starts `entry(argument)` on a new detached thread whose stack reserves
// `stackBytes` of address space (rounded up to the system's granularity and
// raised to its minimum; address space is reserved, memory is committed only
// as the stack grows). True when the thread was started: from then on
// `argument` is the thread's. False when it could not be started: nothing
// runs and `argument` stays the caller's. `entry` must not let an exception
// escape. Any thread.
bool startDetachedThread(ThreadEntry entry, void* argument, size_t stackBytes);

}  // namespace platform
