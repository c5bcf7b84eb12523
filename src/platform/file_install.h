// Putting a system file in place: versions and sizes of files, copying,
// moving, deletion at the next restart, the Windows folder, and the switch
// that lets a 32-bit program see the real system folder on a 64-bit system.
//
// Windows: GetFileVersionInfoW/VerQueryValueW, CopyFileW, MoveFileW,
// MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT, GetWindowsDirectoryW, and
// Wow64DisableWow64FsRedirection/Wow64RevertWow64FsRedirection looked up by
// name in kernel32.
// Linux: the same file operations on the real file system. The version is
// read from the file's own PE resources by readPeFixedVersion (a small,
// bounded reader of the fixed version record; a file that is not a PE image
// or has no version resource has no valid version, and the sizes decide).
// There is no restart that could delete a file, so deletions at restart are
// only remembered (restartDeletions); there is no file-system redirection.
// Paths are std::filesystem paths; every function may be called from any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace platform {

// The four numbers of a file's fixed version record (VS_FIXEDFILEINFO's
// dwFileVersionMS/LS: major.minor.build.revision).
struct FileVersion {
  uint16_t major = 0;
  uint16_t minor = 0;
  uint16_t build = 0;
  uint16_t revision = 0;
};

// Reads the fixed file version of `file`. False when the file cannot be read
// or carries no version record.
bool readFileVersion(const std::filesystem::path& file, FileVersion& version);

// Reads the fixed version record from the bytes of a PE image (32- or
// 64-bit): DOS header → PE headers → resource directory → the first entry of
// type 16 (RT_VERSION), its first name and first language → the VS_VERSIONINFO
// block → VS_FIXEDFILEINFO with its signature 0xFEEF04BD. Every offset and
// length is checked against `size`; malformed input gives false, never a read
// outside the buffer. Portable; used by the Linux readFileVersion.
bool readPeFixedVersion(const uint8_t* image, size_t size, FileVersion& version);

// The file's length in bytes; false when it cannot be opened.
bool fileSize(const std::filesystem::path& file, uint64_t& size);

// True when `path` names an existing file (not a folder).
bool regularFileExists(const std::filesystem::path& path);

// Copies `from` to `to`; with `overwrite` false an existing `to` is a failure
// (CopyFileW's bFailIfExists). Does not create folders.
bool copyFile(const std::filesystem::path& from, const std::filesystem::path& to, bool overwrite);

// Renames `from` to `to` on the same volume; fails when `to` exists.
bool moveFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Deletes the file; false when it could not be deleted.
bool deleteFile(const std::filesystem::path& file);

// Marks `file` for deletion at the next restart of the system. Windows: the
// session manager's pending operations (needs administrator rights). Linux:
// remembered in this process only (see restartDeletions); always true.
bool deleteFileAtRestart(const std::filesystem::path& file);

// Linux: the files marked by deleteFileAtRestart in this process, in order.
// Windows: empty (the system keeps the list).
std::vector<std::filesystem::path> restartDeletions();

// The Windows folder (GetWindowsDirectoryW). Linux: the folder named by the
// environment variable LUMO_WINDOWS_DIR, else "lumo-windows" in the temporary
// folder (created on first use, with "system32/drivers" inside it). False
// when it cannot be found.
bool windowsFolder(std::filesystem::path& folder);

// Switches off the file-system redirection of a 32-bit program on a 64-bit
// Windows for the calling thread while the object lives, and back on when it
// goes (the switch is per thread and would otherwise change every later file
// access of the caller's thread, the loading of system libraries included).
// available(): kernel32 offers the call (never on Linux); failed(): it was
// offered and refused.
class FileSystemRedirectionOff {
 public:
  FileSystemRedirectionOff();
  ~FileSystemRedirectionOff();
  FileSystemRedirectionOff(const FileSystemRedirectionOff&) = delete;
  FileSystemRedirectionOff& operator=(const FileSystemRedirectionOff&) = delete;
  bool available() const { return available_; }
  bool failed() const { return failed_; }

 private:
  bool available_ = false;
  bool failed_ = false;
  bool switched_ = false;
  void* previous_ = nullptr;
};

}  // namespace platform
