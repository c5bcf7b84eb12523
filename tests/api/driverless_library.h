// The built library as the tests that load it by path load it: one that
// reaches no driver. On Linux the library starts the lumo-driver it finds in
// its own folder, and the build puts one beside it; these tests load a copy
// from a folder of their own instead, so that Init fails at the driver step
// (before the relay's fixed ports) and no driver process outlives them.
#pragma once

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace lumotest {

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

}  // namespace lumotest
