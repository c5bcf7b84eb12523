// Linux process snapshots from /proc. A process may end while it is being
// read; it is then simply left out (or named by what could still be read).
#include "platform/process_list.h"

#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/text.h"

namespace platform {
namespace {

bool parsePid(const char* text, uint32_t& pid) {
  if (text[0] == '\0') return false;
  uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > 0xFFFFFFFFu) return false;
  }
  pid = static_cast<uint32_t>(value);
  return true;
}

std::string exeName(const std::string& folder) {
  char target[4096];
  ssize_t n = readlink((folder + "/exe").c_str(), target, sizeof target - 1);
  if (n > 0) {
    std::string path(target, static_cast<size_t>(n));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
      path.resize(path.size() - kDeleted.size());
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (!name.empty()) return name;
  }
  std::ifstream comm(folder + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

}  // namespace

bool snapshotProcesses(std::vector<ProcessListEntry>& entries) {
  entries.clear();
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  while (dirent* item = readdir(proc)) {
    uint32_t pid = 0;
    if (!parsePid(item->d_name, pid)) continue;
    std::string name = exeName(std::string("/proc/") + item->d_name);
    if (name.empty()) continue;  // gone while being read
    entries.push_back(ProcessListEntry{pid, utf8ToUtf16(name)});
  }
  closedir(proc);
  return true;
}

}  // namespace platform
