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

uint16_t nativeArchitecture() {
  // GetNativeSystemInfo exists from Windows XP on; looked up by name so that
  // the library still loads where it does not.
  using NativeInfoFn = void(WINAPI*)(LPSYSTEM_INFO);
  SYSTEM_INFO info{};
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto native = kernel ? reinterpret_cast<NativeInfoFn>(
                             reinterpret_cast<void*>(GetProcAddress(kernel, "GetNativeSystemInfo")))
                       : nullptr;
  if (native != nullptr)
    native(&info);
  else
    GetSystemInfo(&info);
  return info.wProcessorArchitecture;
}

uint32_t currentProcessId() { return GetCurrentProcessId(); }

}  // namespace platform
