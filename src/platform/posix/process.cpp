// Linux: a process's image is the target of /proc/<pid>/exe; there is no
// privilege to enable for reading it beyond what the user already has.
#include "platform/process.h"

#include <limits.h>
#include <unistd.h>

#include <string>

#include "platform/text.h"

namespace platform {

std::u16string processImagePath(uint32_t processId) {
  const std::string link = "/proc/" + std::to_string(processId) + "/exe";
  char target[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), target, sizeof target);
  // A full buffer may mean a cut path: report failure rather than a wrong name.
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return {};
  return utf8ToUtf16(std::string_view(target, static_cast<size_t>(n)));
}

void enableDebugPrivilege() {}

}  // namespace platform
