// Linux has no kernel control devices for the engine: a device path is served
// only by an installed provider (the simulated driver, or a user-space capture
// that speaks the same protocol). The last error is a thread-local value that
// mirrors the Windows one so the portable code can keep and restore it.
#include "platform/device.h"

#include <mutex>
#include <utility>

namespace platform {
namespace {

std::mutex providerLock;
DeviceProvider& provider() {
  static DeviceProvider instance;
  return instance;
}

thread_local uint32_t threadLastError = 0;

}  // namespace

void setDeviceProvider(DeviceProvider p) {
  std::lock_guard<std::mutex> lock(providerLock);
  provider() = std::move(p);
}

std::unique_ptr<Device> openDevice(std::u16string_view path) {
  DeviceProvider p;
  {
    std::lock_guard<std::mutex> lock(providerLock);
    p = provider();
  }
  if (p) {
    if (auto device = p(path)) return device;
  }
  threadLastError = kErrorFileNotFound;
  return nullptr;
}

uint32_t lastError() { return threadLastError; }
void setLastError(uint32_t error) { threadLastError = error; }

std::vector<DosDevice> dosDevices() { return {}; }

}  // namespace platform
