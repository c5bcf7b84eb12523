// Facts about the machine and the running process.
#pragma once

#include <cstdint>

namespace platform {

// Number of logical processors, at least 1 (GetSystemInfo; sysconf on Linux).
uint32_t processorCount();

struct OsVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

// The system version as GetVersionExW reports it on Windows (a program without
// a compatibility manifest sees at most 6.2). Linux answers 10.0: the engine's
// version-dependent choices (IPv6 relay listener, IPv6 prefix policy, driver
// kind) then take their modern branch.
OsVersion osVersion();

// Id of the calling process.
uint32_t currentProcessId();

}  // namespace platform
