// The built library itself: loaded by path, its nine entry points found by
// name, the before-Init contract checked through them, and an unload with an
// engine still alive must neither hang nor crash.
#include <gtest/gtest.h>

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

struct Library {
#ifdef _WIN32
  HMODULE handle = LoadLibraryA(LUMO_LIBRARY_PATH);
  void* find(const char* name) const { return reinterpret_cast<void*>(GetProcAddress(handle, name)); }
  void close() {
    if (handle) FreeLibrary(handle);
    handle = nullptr;
  }
#else
  void* handle = dlopen(LUMO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  void* find(const char* name) const { return dlsym(handle, name); }
  void close() {
    if (handle) dlclose(handle);
    handle = nullptr;
  }
#endif
  ~Library() { close(); }
};

#ifdef _WIN32
#define CALL __stdcall
#else
#define CALL
#endif
using GetFlowFn = void(CALL*)(uint32_t*, uint32_t*);
using BoolOfWordFn = bool(CALL*)(uint32_t);
using BoolFn = bool(CALL*)(void);
using StartFn = bool(CALL*)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);

}  // namespace

TEST(LibraryLoad, ExportsTheNineEntryPointsByName) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << LUMO_LIBRARY_PATH;
  for (const char* name : {"GetFlow", "Init", "InstallDriver", "SetBlur", "SetConfig", "Start", "Stop", "UnInit",
                           "UnInstallDriver"})
    EXPECT_NE(lib.find(name), nullptr) << name;
  EXPECT_EQ(lib.find("ZuEngine"), nullptr);

  auto getFlow = reinterpret_cast<GetFlowFn>(lib.find("GetFlow"));
  auto stop = reinterpret_cast<BoolOfWordFn>(lib.find("Stop"));
  auto unInit = reinterpret_cast<BoolOfWordFn>(lib.find("UnInit"));
  auto install = reinterpret_cast<BoolFn>(lib.find("InstallDriver"));
  auto start = reinterpret_cast<StartFn>(lib.find("Start"));
  uint32_t sent = 17, received = 18;
  getFlow(&sent, &received);
  EXPECT_EQ(sent, 17u);
  EXPECT_EQ(received, 18u);
  EXPECT_TRUE(stop(1));
  EXPECT_TRUE(unInit(1));
  EXPECT_FALSE(install());
  EXPECT_FALSE(start(1, 1, 0, 0, 0, 0));
}

TEST(LibraryLoad, UnloadWithALiveEngineNeitherHangsNorCrashes) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr);
  auto init = reinterpret_cast<BoolOfWordFn>(lib.find("Init"));
  init(0);  // creates the engine whatever its initialisation returns
  lib.close();  // the engine is shut down (Linux) or keeps the library (Windows)
  Library again;
  ASSERT_NE(again.handle, nullptr);
  auto unInit = reinterpret_cast<BoolOfWordFn>(again.find("UnInit"));
  EXPECT_TRUE(unInit(1));
}
