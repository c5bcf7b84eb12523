// The built library as the tests that load it by path load it: one that
// reaches no driver. On Linux the library starts the lumo-driver it finds in
// its own folder, and the build puts one beside it; these tests load a copy
// from a folder of their own instead, so that Init fails at the driver step
// (before the relay's fixed ports) and no driver process outlives them. The
// loader of any library by path, for the tests and the programs they start.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#define LUMO_CALL __stdcall
#else
#include <dlfcn.h>
#define LUMO_CALL
#endif

namespace lumotest {

#ifdef LUMO_LIBRARY_PATH  // the tests'; a program they start is given its path
inline const std::string& driverlessLibrary() {
#ifdef _WIN32
  static const std::string path = LUMO_LIBRARY_PATH;
#else
  static TempDir folder;  // removed at exit
  static const std::string path = [] {
    const std::filesystem::path copy = folder.path() / std::filesystem::path(LUMO_LIBRARY_PATH).filename();
    std::filesystem::copy_file(LUMO_LIBRARY_PATH, copy);
    return copy.string();
  }();
#endif
  return path;
}
#endif

// A library loaded by path, unloaded when the object goes.
struct LoadedLibrary {
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
#ifdef _WIN32
  explicit LoadedLibrary(const std::string& path) : handle(LoadLibraryA(path.c_str())) {}
  void* find(const char* name) const { return reinterpret_cast<void*>(GetProcAddress(handle, name)); }
  ~LoadedLibrary() {
    if (handle) FreeLibrary(handle);
  }
  HMODULE handle;
#else
  explicit LoadedLibrary(const std::string& path) : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
  void* find(const char* name) const { return dlsym(handle, name); }
  ~LoadedLibrary() {
    if (handle) dlclose(handle);
  }
  void* handle;
#endif
  // An export of the shape of Init, Stop and UnInit.
  using BoolOfWordFn = bool(LUMO_CALL*)(uint32_t);
  BoolOfWordFn boolOfWord(const char* name) const { return reinterpret_cast<BoolOfWordFn>(find(name)); }
};

}  // namespace lumotest
