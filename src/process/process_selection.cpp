// Process names for selection, and look-ups by executable name.
#include "process/process_selection.h"

#include "drvapi/drvapi.h"
#include "platform/text.h"

namespace process {
namespace {

// Room for the longest path the driver interface reports, with its
// terminator.
constexpr uint32_t kPathUnits = 524;

}  // namespace

SnapshotSource systemSnapshotSource() { return &platform::snapshotProcesses; }

std::string ProcessNameFromPath(std::u16string_view imagePath) {
  std::u16string path = platform::toLowerAscii(imagePath);
#ifdef _WIN32
  size_t cut = path.rfind(u'\\');
#else
  // Linux paths come with "/"; a "\" may still appear in a name reported the
  // Windows way (the simulated driver's).
  size_t cut = path.find_last_of(u"\\/");
#endif
  if (cut != std::u16string::npos) path.erase(0, cut + 1);
  return platform::utf16ToAnsi(path);
}

std::string ProcessNameOf(uint32_t processId) {
  if (processId == 0 || processId == 4) return {};
  char16_t buffer[kPathUnits] = {};
  if (drvapi::getProcessModulePath(processId, buffer, kPathUnits) == 0 &&
      drvapi::getProcessImagePath(processId, buffer, kPathUnits) == 0)
    return {};
  // The driver interface's answer is not trusted to be terminated.
  buffer[kPathUnits - 1] = 0;
  return ProcessNameFromPath(std::u16string_view(buffer));
}

int64_t FindProcessIdByName(std::u16string_view name, const SnapshotSource& source) {
  std::vector<platform::ProcessListEntry> entries;
  if (!source || !source(entries)) return -1;
  const std::u16string wanted = platform::toLowerAscii(name);
  for (const platform::ProcessListEntry& entry : entries)
    if (platform::toLowerAscii(entry.exeName) == wanted) return entry.processId;
  return -1;
}

}  // namespace process
