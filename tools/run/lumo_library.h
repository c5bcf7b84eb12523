// The engine library loaded at run time: liblumo.so opened with dlopen and
// its nine exports looked up by name. lumo-run uses the engine through these
// pointers only, exactly as a client that ships beside the library would.
#pragma once

#include <string>

#include "lumo/lumo.h"

namespace run {

class LumoLibrary {
 public:
  LumoLibrary() = default;
  // Closes the library. Call UnInit first: unloading a library that still
  // holds an engine shuts the engine down on this thread.
  ~LumoLibrary();
  LumoLibrary(const LumoLibrary&) = delete;
  LumoLibrary& operator=(const LumoLibrary&) = delete;

  // Opens the library at `path` and looks up the nine exports. False with a
  // line in `error` that names the file and dlopen's reason, or every export
  // it lacks; nothing stays loaded then.
  bool load(const std::string& path, std::string& error);

  // The exports, named as lumo.h names them; null until load succeeds.
  decltype(&::GetFlow) GetFlow = nullptr;
  decltype(&::Init) Init = nullptr;
  decltype(&::InstallDriver) InstallDriver = nullptr;
  decltype(&::SetBlur) SetBlur = nullptr;
  decltype(&::SetConfig) SetConfig = nullptr;
  decltype(&::Start) Start = nullptr;
  decltype(&::Stop) Stop = nullptr;
  decltype(&::UnInit) UnInit = nullptr;
  decltype(&::UnInstallDriver) UnInstallDriver = nullptr;

 private:
  void* handle_ = nullptr;
};

}  // namespace run
