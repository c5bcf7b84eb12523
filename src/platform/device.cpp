// The device-provider registry, shared by both systems: openDevice() asks the
// installed provider before the system (see device.h).
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

}  // namespace

void setDeviceProvider(DeviceProvider p) {
  std::lock_guard<std::mutex> lock(providerLock);
  provider() = std::move(p);
}

std::unique_ptr<Device> openProvidedDevice(std::u16string_view path) {
  DeviceProvider p;
  {
    std::lock_guard<std::mutex> lock(providerLock);
    p = provider();
  }
  return p ? p(path) : nullptr;
}

}  // namespace platform
