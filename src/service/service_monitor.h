// The service monitor: watches named system services (the IP helper service
// "iphlpsvc" for some games) and tells its IServiceMonitor when a watched
// service's process appears, goes, or changes. The TCP and UDP decisions ask
// it whether a process id is one of those processes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "service/iservice_monitor.h"

namespace service {

class ServiceMonitor {
 public:
  // Answers the current process id of a service, 0 when it is missing or not
  // running. Called on the monitor's thread.
  using ProcessIdQuery = std::function<uint32_t(const std::u16string& serviceName)>;

  // `query` empty: the system's service manager is asked.
  explicit ServiceMonitor(ProcessIdQuery query = {}, uint32_t intervalMs = 200);
  ~ServiceMonitor();  // stops the thread
  ServiceMonitor(const ServiceMonitor&) = delete;
  ServiceMonitor& operator=(const ServiceMonitor&) = delete;

  // Starts watching `names` (each with process id 0 at first) and returns
  // once the thread runs. True at once when already running; false when
  // `callback` is null or `names` is empty. `callback` must outlive stop().
  // Called by one controlling thread, like stop().
  bool start(IServiceMonitor* callback, const std::vector<std::u16string>& names);
  // Ends the thread (waiting for it) and forgets the names. Safe when not
  // running. Must not be called from inside a callback.
  void stop();
  // True when `processId` is the last seen process of a watched service;
  // false while not running. Any thread.
  bool isMonitoredProcess(uint32_t processId) const;
  bool running() const { return running_.load(); }

  // One poll, as the thread makes it every interval: asks each service's
  // process id and reports the changes (old 0 → new: started; old → 0:
  // stopped; old → other: stopped, then started). The new id is stored before
  // the callbacks run, and they run without the lock held. Exposed for tests.
  void poll();

 private:
  void run();

  ProcessIdQuery query_;
  uint32_t intervalMs_;
  IServiceMonitor* callback_ = nullptr;
  mutable std::shared_mutex lock_;  // guards processIds_ and callback_
  std::map<std::u16string, uint32_t> processIds_;
  std::atomic<bool> running_{false};
  std::atomic<bool> alive_{false};
  platform::Event wake_{platform::Event::Reset::Automatic};
  std::thread thread_;
};

// The engine's monitor (one per process) over the system's service manager,
// and the three operations on it. The monitor is never destroyed (the
// engine's shutdown may stop it during process exit).
ServiceMonitor& engineServiceMonitor();
// Ends the engine's monitor, for the library's unload once no engine
// remains; engineServiceMonitor() must not be called afterwards.
void releaseEngineServiceMonitor();
bool startServiceMonitor(IServiceMonitor* callback, const std::vector<std::u16string>& names);
void stopServiceMonitor();

}  // namespace service
