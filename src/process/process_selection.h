// Which processes are accelerated: process names by id, the selection test,
// and finding a running program by its executable name.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process_list.h"
#include "service/service_monitor.h"

namespace process {

// Takes a snapshot of the running processes; false when none can be taken.
// The default source is platform::snapshotProcesses; tests pass their own.
using SnapshotSource = std::function<bool(std::vector<platform::ProcessListEntry>&)>;
SnapshotSource systemSnapshotSource();

// The name by which a process is selected, from the path of its executable:
// lower-cased (A to Z only, as the default locale does), the part after the
// last "\" (on Linux also after the last "/"), the whole text when there is
// none; in the engine's 8-bit text (the ANSI code page on Windows).
std::string ProcessNameFromPath(std::u16string_view imagePath);

// The selection name of a running process: its executable path from the
// driver interface (getProcessModulePath, else getProcessImagePath) through
// ProcessNameFromPath. Empty for process ids 0 and 4 and when no path can be
// had. Opens the process on every call; any thread.
std::string ProcessNameOf(uint32_t processId);

// True when `processName` is a key of `processes` (the configured,
// lower-cased executable names; exact comparison), or else when the service
// `monitor` reports `processId` as the current process of a watched service.
// Callers treat an empty name or process id 0 as not selected without asking.
// Any thread; `processes` must not change during the call.
template <typename NameMap>
bool IsSelectedProcess(const NameMap& processes, const service::ServiceMonitor& monitor, uint32_t processId,
                       const std::string& processName) {
  return processes.find(processName) != processes.end() || monitor.isMonitoredProcess(processId);
}

// The id of the first process in a snapshot whose executable file name equals
// `name` without regard to the case of A to Z; -1 when none does or the
// snapshot fails. Only a result above 0 means "running". Any thread.
int64_t FindProcessIdByName(std::u16string_view name, const SnapshotSource& source = systemSnapshotSource());

}  // namespace process
