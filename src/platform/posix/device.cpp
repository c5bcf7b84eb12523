// Linux has no kernel control devices for the engine: a device path is served
// only by an installed provider (the simulated driver, or a user-space capture
// that speaks the same protocol). The last error is a thread-local value that
// mirrors the Windows one so the portable code can keep and restore it.
#include "platform/device.h"

namespace platform {
namespace {

thread_local uint32_t threadLastError = 0;

}  // namespace

std::unique_ptr<Device> openDevice(std::u16string_view path) {
  if (auto device = openProvidedDevice(path)) return device;
  threadLastError = kErrorFileNotFound;
  return nullptr;
}

uint32_t lastError() { return threadLastError; }
void setLastError(uint32_t error) { threadLastError = error; }

std::vector<DosDevice> dosDevices() { return {}; }

}  // namespace platform
