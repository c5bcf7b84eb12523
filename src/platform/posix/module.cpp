// Linux: dladdr() on a function of this file names the shared object (or the
// program) that holds it.
#include "platform/module.h"

#include <dlfcn.h>

namespace platform {

void setLibraryModule(void*) {}

std::filesystem::path libraryFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&libraryFolder), &info) == 0 || info.dli_fname == nullptr)
    return {};
  std::error_code ec;
  std::filesystem::path file = std::filesystem::canonical(info.dli_fname, ec);
  if (ec) file = info.dli_fname;
  return file.parent_path();
}

}  // namespace platform
