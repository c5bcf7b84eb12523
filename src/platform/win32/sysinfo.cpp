// Windows machine facts. GetVersionExW is deprecated but is what the engine's
// version tests were written against: without a manifest it reports at most
// 6.2, which is enough for every decision the engine makes.
#include "platform/sysinfo.h"

#include <windows.h>

namespace platform {

uint32_t processorCount() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1u;
}

OsVersion osVersion() {
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  if (!GetVersionExW(&v)) return {};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  return OsVersion{v.dwMajorVersion, v.dwMinorVersion, v.dwBuildNumber};
}

uint32_t currentProcessId() { return GetCurrentProcessId(); }

}  // namespace platform
