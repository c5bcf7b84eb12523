// Windows service control manager. Every operation opens the manager and the
// service with the access it needs and closes both handles before returning,
// so no handle outlives a call. Error results are GetLastError() of the step
// that failed. A name with a simulation attached (attachSimulatedService) is
// answered by the process-wide in-memory manager instead.
#include "platform/services.h"

#include <windows.h>

#include "platform/never_destroyed.h"
#include "platform/registry.h"

namespace platform {
namespace {

std::wstring wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~ScHandle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

uint32_t failure() {
  DWORD error = GetLastError();
  return error != 0 ? error : ERROR_GEN_FAILURE;
}

class Win32ServiceManager final : public ServiceManager {
 public:
  uint32_t connect() override {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return manager ? 0 : failure();
  }

  uint32_t create(const ServiceDefinition& d) override {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return failure();
    std::wstring name = wide(d.name), display = wide(d.displayName), path = wide(d.binaryPath),
                 group = wide(d.loadOrderGroup);
    DWORD tag = 0;
    ScHandle service(CreateServiceW(manager.get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS, d.type,
                                    d.startType, d.errorControl, path.c_str(),
                                    group.empty() ? nullptr : group.c_str(), d.wantTag ? &tag : nullptr, nullptr,
                                    nullptr, nullptr));
    return service ? 0 : failure();
  }

  uint32_t remove(std::u16string_view name) override {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return failure();
    ScHandle service(OpenServiceW(manager.get(), wide(name).c_str(), DELETE));
    if (!service) return failure();
    return DeleteService(service.get()) ? 0 : failure();
  }

  uint32_t start(std::u16string_view name) override {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return failure();
    ScHandle service(OpenServiceW(manager.get(), wide(name).c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service) return failure();
    return StartServiceW(service.get(), 0, nullptr) ? 0 : failure();
  }

  uint32_t stop(std::u16string_view name) override {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return failure();
    ScHandle service(OpenServiceW(manager.get(), wide(name).c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return failure();
    // A service that is already stopped refuses the control; that is not a
    // failure of this call.
    SERVICE_STATUS status{};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    return 0;
  }

  uint32_t queryState(std::u16string_view name, ServiceState& state) override {
    SERVICE_STATUS_PROCESS status{};
    uint32_t error = query(name, status);
    if (error == 0) state = static_cast<ServiceState>(status.dwCurrentState);
    return error;
  }

  uint32_t queryProcessId(std::u16string_view name, uint32_t& processId) override {
    SERVICE_STATUS_PROCESS status{};
    uint32_t error = query(name, status);
    if (error == 0) processId = status.dwCurrentState == SERVICE_STOPPED ? 0 : status.dwProcessId;
    return error;
  }

 private:
  static uint32_t query(std::u16string_view name, SERVICE_STATUS_PROCESS& status) {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return failure();
    ScHandle service(OpenServiceW(manager.get(), wide(name).c_str(), SERVICE_QUERY_STATUS));
    if (!service) return failure();
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                              sizeof status, &needed))
      return failure();
    return 0;
  }
};

// The in-memory manager of the simulated services, over a registry of its
// own: a simulated driver's service key must never reach the system's
// registry, where the real manager would take it for an installed driver.
// Never destroyed: an engine shut down while the library unloads may still
// ask it.
MemoryServiceManager& simulatedServices() {
  static NeverDestroyed<MemoryRegistry> registry;
  static NeverDestroyed<MemoryServiceManager> manager(registry.get());
  return manager.get();
}

// The system's manager as the engine sees it: the real one, except for the
// names a simulation is attached to.
class SystemServiceManager final : public ServiceManager {
 public:
  uint32_t connect() override {
    return simulatedServices().anyAttached() ? simulatedServices().connect() : real_.connect();
  }
  uint32_t create(const ServiceDefinition& definition) override {
    return managerFor(definition.name).create(definition);
  }
  uint32_t remove(std::u16string_view name) override { return managerFor(name).remove(name); }
  uint32_t start(std::u16string_view name) override { return managerFor(name).start(name); }
  uint32_t stop(std::u16string_view name) override { return managerFor(name).stop(name); }
  uint32_t queryState(std::u16string_view name, ServiceState& state) override {
    return managerFor(name).queryState(name, state);
  }
  uint32_t queryProcessId(std::u16string_view name, uint32_t& processId) override {
    return managerFor(name).queryProcessId(name, processId);
  }

 private:
  ServiceManager& managerFor(std::u16string_view name) {
    if (simulatedServices().attached(name)) return simulatedServices();
    return real_;
  }

  Win32ServiceManager real_;
};

}  // namespace

ServiceManager& systemServiceManager() {
  static SystemServiceManager manager;
  return manager;
}

uint32_t lastSystemError() { return GetLastError(); }
void setLastSystemError(uint32_t error) { SetLastError(error); }

bool attachSimulatedService(std::u16string_view name, std::function<bool()> onStart, std::function<void()> onStop) {
  return simulatedServices().attach(name, std::move(onStart), std::move(onStop));
}

}  // namespace platform
