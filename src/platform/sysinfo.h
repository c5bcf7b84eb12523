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

// The machine's native processor architecture as Windows numbers it
// (wProcessorArchitecture: 0 x86, 6 IA64, 9 AMD64, 12 ARM64). Windows asks
// GetNativeSystemInfo when kernel32 offers it (a 32-bit program on a 64-bit
// system then still sees 9), else GetSystemInfo. Linux maps uname's machine
// name (x86_64 9, aarch64 12, i386..i686 0, anything else 0xFFFF). Any thread.
uint16_t nativeArchitecture();

// Id of the calling process.
uint32_t currentProcessId();

}  // namespace platform
