#include "platform/notify.h"

#include <windows.h>

namespace platform {

bool postNotification(uintptr_t window, uint32_t message, uint32_t wParam, uint32_t lParam) {
  if (window == 0) return false;
  return PostMessageW(reinterpret_cast<HWND>(window), message, static_cast<WPARAM>(wParam),
                      static_cast<LPARAM>(lParam)) != FALSE;
}

}  // namespace platform
