// Snapshots of the running processes: each process's id and the file name of
// its executable.
//
// Windows: CreateToolhelp32Snapshot with TH32CS_SNAPPROCESS (flags 2), walked
// with Process32FirstW/Process32NextW; the name is szExeFile.
// Linux: the numeric folders of /proc; the name is the last part of the link
// /proc/<pid>/exe (without the " (deleted)" mark of a replaced file), or,
// when that link cannot be read (another user's process, a kernel thread),
// the process's /proc/<pid>/comm, which the kernel cuts to 15 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ProcessListEntry {
  uint32_t processId = 0;
  std::u16string exeName;  // file name only, as the system spells it
};

// Fills `entries` with one entry per process, in the system's order. False
// (and `entries` empty) when no snapshot can be taken. Any thread.
bool snapshotProcesses(std::vector<ProcessListEntry>& entries);

}  // namespace platform
