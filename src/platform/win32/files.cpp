// Windows: wide-character file calls. The atomic write goes through a
// temporary file in the same folder and MoveFileExW with replace and
// write-through, which swaps the name in one step.
#include "platform/files.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <windows.h>

#include <atomic>
#include <string>

namespace platform {

bool readWholeFile(const std::filesystem::path& path, std::string& contents) {
  contents.clear();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Closed on every way out, a failed allocation of the buffer included: a
  // handle left open would keep others from writing the file.
  struct Closer {
    HANDLE handle;
    ~Closer() { CloseHandle(handle); }
  } closer{file};
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 || size.QuadPart > 0x7FFFFFFF) return false;
  std::string data(static_cast<size_t>(size.QuadPart), '\0');
  size_t done = 0;
  while (done < data.size()) {
    DWORD n = 0;
    if (!ReadFile(file, data.data() + done, static_cast<DWORD>(data.size() - done), &n, nullptr))
      return false;
    if (n == 0) break;  // the file shrank while it was read
    done += n;
  }
  data.resize(done);
  contents = std::move(data);
  return true;
}

bool fileExists(const std::filesystem::path& path) { return PathFileExistsW(path.c_str()) != FALSE; }

bool writeFileAtomically(const std::filesystem::path& path, std::string_view contents) {
  static std::atomic<unsigned> counter{0};
  std::wstring temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = path.wstring() + L".tmp." + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(counter++);
    file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  size_t done = 0;
  while (ok && done < contents.size()) {
    DWORD n = 0;
    DWORD want =
        static_cast<DWORD>(contents.size() - done > 0x10000000 ? 0x10000000 : contents.size() - done);
    if (!WriteFile(file, contents.data() + done, want, &n, nullptr) || n == 0) ok = false;
    done += n;
  }
  if (ok && !FlushFileBuffers(file)) ok = false;
  if (!CloseHandle(file)) ok = false;
  if (ok && !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    ok = false;
  if (!ok) DeleteFileW(temp.c_str());
  return ok;
}

std::filesystem::path systemHostsPath() {
  wchar_t folder[MAX_PATH + 1] = {};
  if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_WINDOWS, FALSE)) return {};
  return std::filesystem::path(std::wstring(folder) + L"\\system32\\drivers\\etc\\hosts");
}

}  // namespace platform
