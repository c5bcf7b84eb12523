// Whole files: reading, existence, writing without ever leaving a
// half-written file, and the system hosts file's location.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// Reads the whole file at `path` into `contents` (bytes as they are).
// False when the file cannot be opened or read; `contents` is then empty.
// Windows: CreateFileW (read, open existing), GetFileSizeEx, ReadFile.
// Any thread.
bool readWholeFile(const std::filesystem::path& path, std::string& contents);

// True when something exists at `path` (Windows: PathFileExistsW, which also
// answers true for a folder). Any thread.
bool fileExists(const std::filesystem::path& path);

// Writes `contents` to a new file beside `path` under a temporary name,
// flushes it to the disk and renames it over `path` in one step. Readers see
// either the old file or the complete new one, never a partial file; on any
// failure the temporary file is removed, `path` is left as it was and the
// answer is false. The folder must exist. Any thread.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view contents);

// The system hosts file: the Windows folder (SHGetSpecialFolderPathW, folder
// 36) followed by "\system32\drivers\etc\hosts" on Windows; /etc/hosts on
// Linux. Empty when the Windows folder cannot be found.
std::filesystem::path systemHostsPath();

}  // namespace platform
