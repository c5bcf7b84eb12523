// Linux has no service manager: the system's manager is one process-wide
// MemoryServiceManager over the in-memory registry. The simulated driver
// attaches itself to the driver service's name, so that starting "the driver
// service" starts it.
#include "platform/services.h"

#include "platform/registry.h"

namespace platform {
namespace {

thread_local uint32_t lastError = 0;

MemoryServiceManager& memoryManager() {
  static MemoryServiceManager manager(systemRegistry());
  return manager;
}

}  // namespace

ServiceManager& systemServiceManager() { return memoryManager(); }

uint32_t lastSystemError() { return lastError; }
void setLastSystemError(uint32_t error) { lastError = error; }

bool attachSimulatedService(std::u16string_view name, std::function<bool()> onStart, std::function<void()> onStop) {
  return memoryManager().attach(name, std::move(onStart), std::move(onStop));
}

}  // namespace platform
