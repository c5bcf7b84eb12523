// Linux file installation: std::filesystem for the file operations, the
// portable PE reader for versions. Nothing can be deleted at a restart that
// this process will not see, so those marks are only remembered.
#include "platform/file_install.h"

#include <cstdlib>
#include <fstream>
#include <mutex>

namespace platform {
namespace {

// Driver images are small; anything larger than this is not read for its
// version (the sizes then decide).
constexpr uint64_t kMaxImageSize = 64u * 1024 * 1024;

std::mutex restartLock;
std::vector<std::filesystem::path> restartList;

}  // namespace

bool readFileVersion(const std::filesystem::path& file, FileVersion& version) {
  uint64_t size = 0;
  if (!fileSize(file, size) || size > kMaxImageSize) return false;
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) return false;
  return readPeFixedVersion(bytes.data(), bytes.size(), version);
}

bool fileSize(const std::filesystem::path& file, uint64_t& size) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  if (!in || !std::filesystem::is_regular_file(file)) return false;
  auto end = in.tellg();
  if (end < 0) return false;
  size = static_cast<uint64_t>(end);
  return true;
}

bool regularFileExists(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

bool copyFile(const std::filesystem::path& from, const std::filesystem::path& to, bool overwrite) {
  std::error_code ec;
  auto options = overwrite ? std::filesystem::copy_options::overwrite_existing : std::filesystem::copy_options::none;
  return std::filesystem::copy_file(from, to, options, ec) && !ec;
}

bool moveFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code ec;
  // rename() would replace an existing target; MoveFileW refuses to.
  if (std::filesystem::exists(to, ec) || !std::filesystem::exists(from, ec)) return false;
  std::filesystem::rename(from, to, ec);
  return !ec;
}

bool deleteFile(const std::filesystem::path& file) {
  std::error_code ec;
  return regularFileExists(file) && std::filesystem::remove(file, ec) && !ec;
}

bool deleteFileAtRestart(const std::filesystem::path& file) {
  std::lock_guard<std::mutex> guard(restartLock);
  restartList.push_back(file);
  return true;
}

std::vector<std::filesystem::path> restartDeletions() {
  std::lock_guard<std::mutex> guard(restartLock);
  return restartList;
}

bool windowsFolder(std::filesystem::path& folder) {
  std::error_code ec;
  const char* configured = std::getenv("LUMO_WINDOWS_DIR");
  std::filesystem::path path;
  if (configured != nullptr && configured[0] != '\0') {
    path = configured;
  } else {
    path = std::filesystem::temp_directory_path(ec) / "lumo-windows";
    if (ec) return false;
  }
  std::filesystem::create_directories(path / "system32" / "drivers", ec);
  if (!std::filesystem::is_directory(path, ec)) return false;
  folder = path;
  return true;
}

FileSystemRedirectionOff::FileSystemRedirectionOff() {}
FileSystemRedirectionOff::~FileSystemRedirectionOff() {}

}  // namespace platform
