// The built library itself: loaded by path, its nine entry points found by
// name, and loads and unloads with an engine alive that leave no heap behind.
// (The before-Init contract is in exports_test.cpp; an unload with a live
// engine that hangs or crashes fails exit_test.cpp too.)
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
  ~Library() {
    if (handle) FreeLibrary(handle);
  }
#else
  void* handle = dlopen(lumotest::driverlessLibrary().c_str(), RTLD_NOW | RTLD_LOCAL);
  void* find(const char* name) const { return dlsym(handle, name); }
  ~Library() {
    if (handle) dlclose(handle);
  }
#endif
};

#ifdef _WIN32
#define CALL __stdcall
#else
#define CALL
#endif
using BoolOfWordFn = bool(CALL*)(uint32_t);

}  // namespace

TEST(LibraryLoad, ExportsTheNineEntryPointsByName) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << lumotest::driverlessLibrary();
  for (const char* name : {"GetFlow", "Init", "InstallDriver", "SetBlur", "SetConfig", "Start", "Stop", "UnInit",
                           "UnInstallDriver"})
    EXPECT_NE(lib.find(name), nullptr) << name;
  EXPECT_EQ(lib.find("ZuEngine"), nullptr);
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
