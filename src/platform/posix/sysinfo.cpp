// Linux machine facts: sysconf for processors; the version is fixed (see the
// header) because the engine's version tests are about Windows releases.
#include "platform/sysinfo.h"

#include <unistd.h>

namespace platform {

uint32_t processorCount() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<uint32_t>(n) : 1u;
}

OsVersion osVersion() { return OsVersion{10, 0, 0}; }

uint32_t currentProcessId() { return static_cast<uint32_t>(getpid()); }

}  // namespace platform
