// Windows: the folder of the module handle that DllMain received; when no
// handle was given (the engine linked into a test program), the module that
// holds this function.
#include "platform/module.h"

#include <windows.h>

#include <atomic>

namespace platform {
namespace {
std::atomic<HMODULE> libraryModule{nullptr};
}

void setLibraryModule(void* module) { libraryModule = static_cast<HMODULE>(module); }

std::filesystem::path libraryFolder() {
  HMODULE module = libraryModule;
  if (module == nullptr &&
      !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&libraryFolder), &module))
    return {};
  wchar_t path[MAX_PATH + 1] = {};
  DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return std::filesystem::path(path).parent_path();
}

}  // namespace platform
