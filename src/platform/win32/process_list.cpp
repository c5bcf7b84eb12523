// Windows process snapshots through the Tool Help library.
#include "platform/process_list.h"

#include <windows.h>
#include <tlhelp32.h>

namespace platform {

bool snapshotProcesses(std::vector<ProcessListEntry>& entries) {
  entries.clear();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    // szExeFile is terminated within MAX_PATH; the bound guards a system
    // that forgot the terminator.
    size_t length = 0;
    while (length < MAX_PATH && entry.szExeFile[length] != L'\0') ++length;
    entries.push_back(ProcessListEntry{entry.th32ProcessID,
                                       std::u16string(entry.szExeFile, entry.szExeFile + length)});
  }
  CloseHandle(snapshot);
  return true;
}

}  // namespace platform
