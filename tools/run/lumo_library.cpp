#include "lumo_library.h"

#include <dlfcn.h>

namespace run {
namespace {

// Looks up one export into `slot`; adds its name to `missing` when absent.
template <typename Function>
void lookUp(void* handle, const char* name, Function& slot, std::string& missing) {
  // dlsym hands back a data pointer; POSIX guarantees that it converts to the
  // function's type.
  slot = reinterpret_cast<Function>(dlsym(handle, name));
  if (slot == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(name);
}

}  // namespace

LumoLibrary::~LumoLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

bool LumoLibrary::load(const std::string& path, std::string& error) {
  // RTLD_NOW: a library with an unresolved symbol fails here, not in the
  // middle of a run. RTLD_LOCAL: its symbols stay out of the programs' way.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = "cannot load the engine library: " + std::string(reason != nullptr ? reason : path);
    return false;
  }
  std::string missing;
  lookUp(handle, "GetFlow", GetFlow, missing);
  lookUp(handle, "Init", Init, missing);
  lookUp(handle, "InstallDriver", InstallDriver, missing);
  lookUp(handle, "SetBlur", SetBlur, missing);
  lookUp(handle, "SetConfig", SetConfig, missing);
  lookUp(handle, "Start", Start, missing);
  lookUp(handle, "Stop", Stop, missing);
  lookUp(handle, "UnInit", UnInit, missing);
  lookUp(handle, "UnInstallDriver", UnInstallDriver, missing);
  if (!missing.empty()) {
    dlclose(handle);
    GetFlow = nullptr;
    Init = nullptr;
    InstallDriver = nullptr;
    SetBlur = nullptr;
    SetConfig = nullptr;
    Start = nullptr;
    Stop = nullptr;
    UnInit = nullptr;
    UnInstallDriver = nullptr;
    error = path + " is not the engine library: it lacks the export" +
            (missing.find(',') != std::string::npos ? "s " : " ") + missing;
    return false;
  }
  handle_ = handle;
  return true;
}

}  // namespace run
