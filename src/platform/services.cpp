// The in-memory service manager, shared by both systems (Linux uses it as the
// system's manager, Windows for the names a simulation is attached to; tests
// use their own instances everywhere).
#include "platform/services.h"

#include "platform/registry.h"
#include "platform/text.h"

namespace platform {
namespace {

const std::u16string kServicesKey = u"SYSTEM\\CurrentControlSet\\Services\\";

}  // namespace

MemoryServiceManager::MemoryServiceManager(Registry& registry) : registry_(registry) {}

uint32_t MemoryServiceManager::connect() {
  std::lock_guard<std::mutex> guard(lock_);
  return available_ ? 0 : kErrorAccessDenied;
}

uint32_t MemoryServiceManager::create(const ServiceDefinition& definition) {
  if (definition.name.empty()) return 123;  // ERROR_INVALID_NAME
  std::u16string id = toLowerAscii(definition.name);
  Service service;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!available_) return kErrorAccessDenied;
    if (services_.count(id) != 0) return kErrorServiceExists;
    service.definition = definition;
    if (definition.wantTag) {
      uint32_t largest = 0;
      for (const auto& [otherId, other] : services_)
        if (toLowerAscii(other.definition.loadOrderGroup) == toLowerAscii(definition.loadOrderGroup) &&
            other.tag > largest)
          largest = other.tag;
      service.tag = largest + 1;
    }
    services_[id] = service;
  }
  // The service's key, as the system writes it.
  std::u16string key = kServicesKey + definition.name;
  registry_.createKey(key);
  writeDword(registry_, key, u"Type", definition.type);
  writeDword(registry_, key, u"Start", definition.startType);
  writeDword(registry_, key, u"ErrorControl", definition.errorControl);
  writeString(registry_, key, u"ImagePath", definition.binaryPath);
  writeString(registry_, key, u"DisplayName", definition.displayName);
  if (!definition.loadOrderGroup.empty()) writeString(registry_, key, u"Group", definition.loadOrderGroup);
  if (definition.wantTag) writeDword(registry_, key, u"Tag", service.tag);
  return 0;
}

uint32_t MemoryServiceManager::remove(std::u16string_view name) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!available_) return kErrorAccessDenied;
    if (services_.erase(toLowerAscii(name)) == 0) return kErrorServiceDoesNotExist;
  }
  registry_.deleteTree(kServicesKey + std::u16string(name));
  return 0;
}

uint32_t MemoryServiceManager::start(std::u16string_view name) {
  std::u16string id = toLowerAscii(name);
  std::function<bool()> onStart;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!available_) return kErrorAccessDenied;
    auto it = services_.find(id);
    if (it == services_.end()) return kErrorServiceDoesNotExist;
    ++starts_;
    if (it->second.state == ServiceState::kRunning) return kErrorServiceAlreadyRunning;
    if (it->second.state != ServiceState::kStopped) return kErrorServiceCannotAcceptControl;
    it->second.state = ServiceState::kStartPending;
    auto a = actions_.find(id);
    if (a != actions_.end()) onStart = a->second.onStart;
  }
  bool started = onStart ? onStart() : true;
  std::lock_guard<std::mutex> guard(lock_);
  auto it = services_.find(id);
  if (it == services_.end()) return kErrorServiceMarkedForDelete;
  it->second.state = started ? ServiceState::kRunning : ServiceState::kStopped;
  return started ? 0 : kErrorServiceStartFailed;
}

uint32_t MemoryServiceManager::stop(std::u16string_view name) {
  std::u16string id = toLowerAscii(name);
  std::function<void()> onStop;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!available_) return kErrorAccessDenied;
    auto it = services_.find(id);
    if (it == services_.end()) return kErrorServiceDoesNotExist;
    ++stops_;
    // A service that is not running refuses the control; the caller is told
    // only that the service could be opened.
    if (it->second.state != ServiceState::kRunning) return 0;
    it->second.state = stateAfterStop_;
    it->second.processId = 0;
    auto a = actions_.find(id);
    if (a != actions_.end()) onStop = a->second.onStop;
  }
  if (onStop) onStop();
  return 0;
}

uint32_t MemoryServiceManager::queryState(std::u16string_view name, ServiceState& state) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!available_) return kErrorAccessDenied;
  auto it = services_.find(toLowerAscii(name));
  if (it == services_.end()) return kErrorServiceDoesNotExist;
  state = it->second.state;
  return 0;
}

uint32_t MemoryServiceManager::queryProcessId(std::u16string_view name, uint32_t& processId) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!available_) return kErrorAccessDenied;
  auto it = services_.find(toLowerAscii(name));
  if (it == services_.end()) return kErrorServiceDoesNotExist;
  processId = it->second.state == ServiceState::kStopped ? 0 : it->second.processId;
  return 0;
}

bool MemoryServiceManager::attach(std::u16string_view name, std::function<bool()> onStart,
                                  std::function<void()> onStop) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    actions_[toLowerAscii(name)] = Actions{std::move(onStart), std::move(onStop)};
  }
  ServiceDefinition definition;
  definition.name = std::u16string(name);
  definition.displayName = definition.name;
  definition.binaryPath = u"system32\\drivers\\" + definition.name + u".sys";
  definition.loadOrderGroup = u"PNP_TDI";
  definition.wantTag = true;
  uint32_t status = create(definition);
  return status == 0 || status == kErrorServiceExists;
}

bool MemoryServiceManager::attached(std::u16string_view name) const {
  std::lock_guard<std::mutex> guard(lock_);
  return actions_.count(toLowerAscii(name)) != 0;
}

bool MemoryServiceManager::anyAttached() const {
  std::lock_guard<std::mutex> guard(lock_);
  return !actions_.empty();
}

bool MemoryServiceManager::setState(std::u16string_view name, ServiceState state, uint32_t processId) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = services_.find(toLowerAscii(name));
  if (it == services_.end()) return false;
  it->second.state = state;
  it->second.processId = processId;
  return true;
}

void MemoryServiceManager::setAvailable(bool available) {
  std::lock_guard<std::mutex> guard(lock_);
  available_ = available;
}

void MemoryServiceManager::setStateAfterStop(ServiceState state) {
  std::lock_guard<std::mutex> guard(lock_);
  stateAfterStop_ = state;
}

int MemoryServiceManager::startCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return starts_;
}

int MemoryServiceManager::stopCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return stops_;
}

}  // namespace platform
