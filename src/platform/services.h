// The service control manager: creating, starting, stopping, querying and
// deleting system services (the filter driver is one, a kernel-driver
// service) and asking which process runs a service.
//
// Windows: the real manager (OpenSCManagerW, CreateServiceW, OpenServiceW,
// StartServiceW, ControlService, QueryServiceStatusEx, DeleteService).
// Linux has no service manager: systemServiceManager() there is a process-wide
// MemoryServiceManager over systemRegistry(). A service of it is a record with
// a state, a type, a tag and a process id, and its key under
// "SYSTEM\CurrentControlSet\Services" is kept in the registry as Windows keeps
// it. Starting a service calls the start action attached to its name, if any
// (the simulated driver attaches itself to the driver service that way, see
// attachSimulatedService); without one a start simply marks it running.
// One name is a real service there: unless a simulation is attached to it,
// the driver service "LumoDriverSys" is the driver process lumo-driver from
// the library's own folder (libraryFolder()), serving the runtime folder of
// driver_runtime_dir.h. It exists while that program is there or a driver
// runs; it runs while a process holds the lock of the driver's pid file
// (queryProcessId gives that process). start() launches the program detached
// (its own session, standard input and output on /dev/null, standard error
// appended to lumo-driver.log in the runtime folder) and waits up to 3 s for
// it to serve its device (kErrorServiceStartFailed otherwise); stop() sends
// it SIGTERM and waits up to 5 s for it to end (then SIGKILL); remove()
// stops it; create() answers kErrorServiceExists, or ERROR_FILE_NOT_FOUND
// (2) without the program.
// On Windows the same in-memory manager answers for the names that have a
// simulation attached, and only for those; every other name goes to the
// real manager.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {

class Registry;

// System error codes used by the service code (Windows numbering; the
// in-memory manager answers with the same numbers).
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr uint32_t kErrorServiceCannotAcceptControl = 1061;
inline constexpr uint32_t kErrorServiceNotActive = 1062;
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr uint32_t kErrorServiceExists = 1073;
inline constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
inline constexpr uint32_t kErrorServiceStartFailed = 1053;  // the service did not answer the start in time

// Service states (SERVICE_STOPPED ... SERVICE_PAUSED).
enum class ServiceState : uint32_t {
  kStopped = 1,
  kStartPending = 2,
  kStopPending = 3,
  kRunning = 4,
  kContinuePending = 5,
  kPausePending = 6,
  kPaused = 7,
};

inline constexpr uint32_t kServiceKernelDriver = 1;  // SERVICE_KERNEL_DRIVER
inline constexpr uint32_t kServiceBootStart = 0;     // SERVICE_BOOT_START
inline constexpr uint32_t kServiceDemandStart = 3;   // SERVICE_DEMAND_START
inline constexpr uint32_t kServiceErrorNormal = 1;   // SERVICE_ERROR_NORMAL

// What CreateServiceW is given. No dependencies and no account are ever set.
struct ServiceDefinition {
  std::u16string name;
  std::u16string displayName;
  std::u16string binaryPath;
  std::u16string loadOrderGroup;  // empty: none
  uint32_t type = kServiceKernelDriver;
  uint32_t startType = kServiceBootStart;
  uint32_t errorControl = kServiceErrorNormal;
  bool wantTag = false;  // ask for a tag in the load-order group
};

// Every operation opens the manager (and the service) itself, with the access
// it needs, and closes them before it returns. Results are 0 on success or
// the system error code of the step that failed. Any thread; the manager
// serialises nothing beyond what the system does.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  // 0 when the manager can be opened with full access.
  virtual uint32_t connect() = 0;
  // Creates the service (full access). kErrorServiceExists when it exists.
  virtual uint32_t create(const ServiceDefinition& definition) = 0;
  // Marks the service for deletion (delete right).
  virtual uint32_t remove(std::u16string_view name) = 0;
  // Starts the service (no arguments).
  virtual uint32_t start(std::u16string_view name) = 0;
  // Sends the stop control. 0 when the service could be opened: the
  // control's own result is not reported.
  virtual uint32_t stop(std::u16string_view name) = 0;
  // The service's current state.
  virtual uint32_t queryState(std::u16string_view name, ServiceState& state) = 0;
  // The id of the process that runs the service (status query with process
  // information); 0 with success when it is not running.
  virtual uint32_t queryProcessId(std::u16string_view name, uint32_t& processId) = 0;
};

// The system's manager (Windows: the real one; Linux: the process-wide
// in-memory one). Lives as long as the process.
ServiceManager& systemServiceManager();

// The calling thread's last system error (GetLastError; a thread-local value
// on Linux) and its restoration, for operations that promise to leave it as
// the step that mattered set it.
uint32_t lastSystemError();
void setLastSystemError(uint32_t error);

// Attaches start and stop actions to the service `name` of the process-wide
// in-memory manager, and registers it there as an installed, stopped
// kernel-driver service of the "PNP_TDI" group when it does not exist. A
// start then calls `onStart` (true: the service runs; false: the start fails
// with kErrorServiceStartFailed); a stop control calls `onStop` and leaves it
// stopped. The actions stay attached to the name when the service is deleted
// and created again, for the life of the process. This is how the simulated
// driver stands in for the kernel driver, in the tests of both systems and in
// the demo. Linux: the in-memory manager is the system's manager. Windows:
// from the first attachment on, systemServiceManager() sends every operation
// on an attached name to the in-memory manager, and connect() answers as the
// in-memory manager does; all other names still reach the real service
// control manager. The in-memory manager keeps its services' keys in a
// registry of its own there, never in the system's. A program that attaches
// nothing (the product) only ever talks to the real manager. True when the
// service is registered.
bool attachSimulatedService(std::u16string_view name, std::function<bool()> onStart, std::function<void()> onStop);

// The in-memory service manager. Creating a service writes its key
// "SYSTEM\CurrentControlSet\Services\<name>" with "Type", "Start",
// "ErrorControl", "ImagePath", "DisplayName", "Group" and, when asked for,
// "Tag" (one above the largest tag already given in that group); deleting
// removes the key. Thread-safe; actions run without its lock held.
class MemoryServiceManager : public ServiceManager {
 public:
  explicit MemoryServiceManager(Registry& registry);

  uint32_t connect() override;
  uint32_t create(const ServiceDefinition& definition) override;
  uint32_t remove(std::u16string_view name) override;
  uint32_t start(std::u16string_view name) override;
  uint32_t stop(std::u16string_view name) override;
  uint32_t queryState(std::u16string_view name, ServiceState& state) override;
  uint32_t queryProcessId(std::u16string_view name, uint32_t& processId) override;

  // See attachSimulatedService.
  bool attach(std::u16string_view name, std::function<bool()> onStart, std::function<void()> onStop);
  // Whether actions are attached to `name`; whether any name has them.
  bool attached(std::u16string_view name) const;
  bool anyAttached() const;

  // Test and simulation controls.
  // Sets a service's state and process id; false when it does not exist.
  bool setState(std::u16string_view name, ServiceState state, uint32_t processId = 0);
  // connect() and every other operation fail with kErrorAccessDenied while
  // the manager is unavailable.
  void setAvailable(bool available);
  // What a stop control leaves behind (kStopped unless changed), e.g.
  // kStopPending for a driver that is slow to unload.
  void setStateAfterStop(ServiceState state);
  // How many start and stop requests reached existing services.
  int startCount() const;
  int stopCount() const;

 private:
  struct Service {
    ServiceDefinition definition;
    ServiceState state = ServiceState::kStopped;
    uint32_t processId = 0;
    uint32_t tag = 0;
  };
  struct Actions {
    std::function<bool()> onStart;
    std::function<void()> onStop;
  };

  Registry& registry_;
  mutable std::mutex lock_;
  std::map<std::u16string, Service> services_;  // by lower-cased name
  std::map<std::u16string, Actions> actions_;   // by lower-cased name
  bool available_ = true;
  ServiceState stateAfterStop_ = ServiceState::kStopped;
  int starts_ = 0;
  int stops_ = 0;
};

}  // namespace platform
