// Small helpers shared by the tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>

namespace lumotest {

// Polls `condition` every millisecond until it holds or `timeout` passes.
// Returns its last value. For waiting on other threads, never for timing.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace lumotest
