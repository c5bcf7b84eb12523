// Callbacks of the service monitor: a watched system service's process came
// or went. Called on the monitor's thread without any monitor lock held.
#pragma once

#include <cstdint>
#include <string>

namespace service {

class IServiceMonitor {
 public:
  virtual ~IServiceMonitor() = default;
  virtual void onServiceStarted(const std::u16string& serviceName, uint32_t processId) = 0;
  virtual void onServiceStopped(const std::u16string& serviceName, uint32_t processId) = 0;
};

}  // namespace service
