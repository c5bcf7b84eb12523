// The built library itself: loaded by path, its nine entry points found by
// name, the before-Init contract checked through them, and an unload with an
// engine still alive must neither hang nor crash.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "driverless_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <malloc.h>
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocators keep their own count (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#define LUMO_SANITIZER_HEAP 1
#endif

namespace {

struct Library {
#ifdef _WIN32
  HMODULE handle = LoadLibraryA(lumotest::driverlessLibrary().c_str());
  void* find(const char* name) const { return reinterpret_cast<void*>(GetProcAddress(handle, name)); }
  void close() {
    if (handle) FreeLibrary(handle);
    handle = nullptr;
  }
#else
  void* handle = dlopen(lumotest::driverlessLibrary().c_str(), RTLD_NOW | RTLD_LOCAL);
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
  ASSERT_NE(lib.handle, nullptr) << lumotest::driverlessLibrary();
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

#ifndef _WIN32
namespace {

// Bytes of heap in use (the sanitizer's allocator has its own count).
size_t heapInUse() {
#ifdef LUMO_SANITIZER_HEAP
  return __sanitizer_get_current_allocated_bytes();
#else
  // Blocks in use from the heap's arenas, and the large ones it mapped apart.
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

void loadInitAndUnload() {
  Library lib;
  ASSERT_NE(lib.handle, nullptr);
  reinterpret_cast<BoolOfWordFn>(lib.find("Init"))(0);
  // Closed with the engine alive: the unload shuts it down.
}

}  // namespace

TEST(LibraryLoad, RepeatedLoadAndUnloadDoesNotGrowTheHeap) {
  loadInitAndUnload();  // what the first load leaves for good (the loader's own tables)
  const size_t before = heapInUse();
  constexpr int kCycles = 10;
  for (int i = 0; i < kCycles; ++i) loadInitAndUnload();
  const size_t grown = heapInUse() > before ? heapInUse() - before : 0;
  // The collector's record pools alone are about half a megabyte per load,
  // the UDP proxy's more than a megabyte.
  EXPECT_LT(grown, size_t{256} * 1024) << "grew " << grown << " bytes over " << kCycles << " loads";
}
#endif
