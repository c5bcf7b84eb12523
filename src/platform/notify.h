// The client's counter notification.
#pragma once

#include <cstdint>

namespace platform {

// Posts one message to the client without blocking.
// Windows: PostMessageW(window, message, wParam, lParam) to the window handle.
// Linux: `window` is a file descriptor (a pipe, a socket pair or a connected
// datagram socket) and the message is 12 bytes written at once: u32 message,
// u32 wParam, u32 lParam, little-endian. When the descriptor cannot take the
// 12 bytes right now, the message is dropped; a descriptor whose reader has
// gone (a closed pipe or socket) drops it too and never raises SIGPIPE in the
// process. Returns false when nothing was posted. Any thread.
bool postNotification(uintptr_t window, uint32_t message, uint32_t wParam, uint32_t lParam);

}  // namespace platform
