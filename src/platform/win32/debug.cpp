#include "platform/debug.h"

#include <windows.h>

namespace platform {

void debugOutput(const char* text) {
  if (text != nullptr) OutputDebugStringA(text);
}

}  // namespace platform
