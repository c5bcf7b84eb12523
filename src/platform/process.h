// Other processes: their image file by id, and the debug privilege that lets
// this process open them.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The full path of the executable image of process `processId`, UTF-16.
// Windows: opens the process for query and memory read and asks
// QueryFullProcessImageNameW when kernel32 offers it (looked up by name once),
// else the main module's file name. Linux: the target of /proc/<pid>/exe.
// Empty on failure (no such process, no access). Any thread.
std::u16string processImagePath(uint32_t processId);

// Enables the debug privilege in this process's token (Windows); nothing to
// do on Linux. Failures are ignored. Any thread.
void enableDebugPrivilege();

}  // namespace platform
