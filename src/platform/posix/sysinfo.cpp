// Linux machine facts: sysconf for processors; the version is fixed (see the
// header) because the engine's version tests are about Windows releases.
#include "platform/sysinfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>

namespace platform {

uint32_t processorCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<uint32_t>(n) : 1u;
}

OsVersion osVersion() { return OsVersion{10, 0, 0}; }

uint16_t nativeArchitecture() {
  utsname name{};
  if (uname(&name) != 0) return 0xFFFF;
  if (std::strcmp(name.machine, "x86_64") == 0) return 9;
  if (std::strcmp(name.machine, "aarch64") == 0) return 12;
  if (name.machine[0] == 'i' && std::strcmp(name.machine + 2, "86") == 0) return 0;
  return 0xFFFF;
}

uint32_t currentProcessId() { return static_cast<uint32_t>(getpid()); }

}  // namespace platform
