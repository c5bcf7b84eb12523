// Windows: a process's image name comes from QueryFullProcessImageNameW where
// kernel32 has it (Vista and later), else from the main module's file name
// (GetModuleFileNameExW, found in kernel32 as K32GetModuleFileNameExW or in
// psapi.dll). Both are looked up by name once so the library loads everywhere.
#include "platform/process.h"

#include <windows.h>

namespace platform {
namespace {

using QueryFullProcessImageNameFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
using GetModuleFileNameExFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);

struct ImageNameCalls {
  QueryFullProcessImageNameFn fullImageName = nullptr;
  GetModuleFileNameExFn moduleFileName = nullptr;
};

const ImageNameCalls& imageNameCalls() {
  static const ImageNameCalls calls = [] {
    ImageNameCalls c;
    if (HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll")) {
      c.fullImageName = reinterpret_cast<QueryFullProcessImageNameFn>(
          reinterpret_cast<void*>(GetProcAddress(kernel32, "QueryFullProcessImageNameW")));
      c.moduleFileName = reinterpret_cast<GetModuleFileNameExFn>(
          reinterpret_cast<void*>(GetProcAddress(kernel32, "K32GetModuleFileNameExW")));
    }
    if (c.moduleFileName == nullptr) {
      if (HMODULE psapi = LoadLibraryW(L"psapi.dll"))
        c.moduleFileName = reinterpret_cast<GetModuleFileNameExFn>(
            reinterpret_cast<void*>(GetProcAddress(psapi, "GetModuleFileNameExW")));
    }
    return c;
  }();
  return calls;
}

}  // namespace

std::u16string processImagePath(uint32_t processId) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
  if (process == nullptr) return {};
  const ImageNameCalls& calls = imageNameCalls();
  wchar_t path[MAX_PATH * 4];
  DWORD length = 0;
  if (calls.fullImageName != nullptr) {
    DWORD size = static_cast<DWORD>(std::size(path));
    if (calls.fullImageName(process, 0, path, &size)) length = size;
  } else if (calls.moduleFileName != nullptr) {
    length = calls.moduleFileName(process, nullptr, path, static_cast<DWORD>(std::size(path)));
    if (length >= std::size(path)) length = 0;  // cut short: no trustworthy name
  }
  CloseHandle(process);
  return std::u16string(reinterpret_cast<const char16_t*>(path), length);
}

void enableDebugPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid))
    AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
  CloseHandle(token);
}

}  // namespace platform
