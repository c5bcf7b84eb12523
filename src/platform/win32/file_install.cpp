// Windows file installation. The version comes from the file's version
// resource (GetFileVersionInfoW, VerQueryValueW "\"). The WOW64 redirection
// switch is looked up by name in kernel32 because it does not exist on
// 32-bit systems older than XP SP2 and is meaningless on them.
#include "platform/file_install.h"

#include <windows.h>

namespace platform {

bool readFileVersion(const std::filesystem::path& file, FileVersion& version) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<uint8_t> block(size);
  if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD)
    return false;
  version.major = HIWORD(fixed->dwFileVersionMS);
  version.minor = LOWORD(fixed->dwFileVersionMS);
  version.build = HIWORD(fixed->dwFileVersionLS);
  version.revision = LOWORD(fixed->dwFileVersionLS);
  return true;
}

bool fileSize(const std::filesystem::path& file, uint64_t& size) {
  HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER length{};
  BOOL ok = GetFileSizeEx(h, &length);
  CloseHandle(h);
  if (!ok) return false;
  size = static_cast<uint64_t>(length.QuadPart);
  return true;
}

bool regularFileExists(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool copyFile(const std::filesystem::path& from, const std::filesystem::path& to, bool overwrite) {
  return CopyFileW(from.c_str(), to.c_str(), overwrite ? FALSE : TRUE) != 0;
}

bool moveFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileW(from.c_str(), to.c_str()) != 0;
}

bool deleteFile(const std::filesystem::path& file) { return DeleteFileW(file.c_str()) != 0; }

bool deleteFileAtRestart(const std::filesystem::path& file) {
  return MoveFileExW(file.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

std::vector<std::filesystem::path> restartDeletions() { return {}; }

bool windowsFolder(std::filesystem::path& folder) {
  wchar_t buffer[MAX_PATH + 1] = {};
  UINT n = GetWindowsDirectoryW(buffer, MAX_PATH);
  if (n == 0 || n > MAX_PATH) return false;
  folder = buffer;
  return true;
}

namespace {
using RedirectionFn = BOOL(WINAPI*)(PVOID*);
using RevertFn = BOOL(WINAPI*)(PVOID);

template <typename Fn>
Fn kernelFunction(const char* name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel, name))) : nullptr;
}
}  // namespace

FileSystemRedirectionOff::FileSystemRedirectionOff() {
  auto disable = kernelFunction<RedirectionFn>("Wow64DisableWow64FsRedirection");
  if (disable == nullptr) return;
  available_ = true;
  switched_ = disable(&previous_) != 0;
  // A 64-bit process (or a 32-bit one on a 32-bit system) has nothing to
  // switch off; the call then fails with ERROR_INVALID_FUNCTION, which is not
  // a refusal.
  failed_ = !switched_ && GetLastError() != ERROR_INVALID_FUNCTION;
}

FileSystemRedirectionOff::~FileSystemRedirectionOff() {
  if (!switched_) return;
  auto revert = kernelFunction<RevertFn>("Wow64RevertWow64FsRedirection");
  if (revert != nullptr) revert(previous_);
}

}  // namespace platform
