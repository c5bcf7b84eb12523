// The built library itself: loaded by path, its nine entry points found by
// name, and loads and unloads with an engine alive that leave no heap behind.
// (The before-Init contract is in exports_test.cpp; an unload with a live
// engine that hangs or crashes fails exit_test.cpp too.)
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "driverless_library.h"

#ifndef _WIN32
#include <malloc.h>
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocators keep their own count (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#define LUMO_SANITIZER_HEAP 1
#endif

TEST(LibraryLoad, ExportsTheNineEntryPointsByName) {
  const lumotest::LoadedLibrary lib(lumotest::driverlessLibrary());
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
  const lumotest::LoadedLibrary lib(lumotest::driverlessLibrary());
  ASSERT_NE(lib.handle, nullptr);
  lib.boolOfWord("Init")(0);
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
