// Linux has no debugger output channel; standard error stands in when the
// user asks for it with LUMO_DEBUG.
#include "platform/debug.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void debugOutput(const char* text) {
  static const bool enabled = std::getenv("LUMO_DEBUG") != nullptr;
  if (enabled && text != nullptr) std::fprintf(stderr, "%s\n", text);
}

}  // namespace platform
