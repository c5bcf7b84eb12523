// The service monitor's thread polls the service manager for the process ids
// of a few named services and reports every change to its callback.
#include "service/service_monitor.h"

#include <chrono>
#include <mutex>

#include "platform/never_destroyed.h"
#include "platform/services.h"

namespace service {
namespace {

uint32_t systemProcessId(const std::u16string& name) {
  uint32_t processId = 0;
  return platform::systemServiceManager().queryProcessId(name, processId) == 0 ? processId : 0;
}

}  // namespace

ServiceMonitor::ServiceMonitor(ProcessIdQuery query, uint32_t intervalMs)
    : query_(query ? std::move(query) : ProcessIdQuery(systemProcessId)), intervalMs_(intervalMs) {}

ServiceMonitor::~ServiceMonitor() { stop(); }

bool ServiceMonitor::start(IServiceMonitor* callback, const std::vector<std::u16string>& names) {
  if (running_.load()) return true;
  if (callback == nullptr || names.empty()) return false;
  {
    std::unique_lock<std::shared_mutex> guard(lock_);
    running_ = true;
    callback_ = callback;
    processIds_.clear();
    for (const std::u16string& name : names) processIds_[name] = 0;
  }
  alive_ = false;
  wake_.reset();
  thread_ = std::thread([this] { run(); });
  while (!alive_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return true;
}

void ServiceMonitor::stop() {
  running_ = false;
  alive_ = false;
  // The thread waits on the event between polls, so it sees the stop at once
  // instead of after the rest of its interval.
  wake_.set();
  if (thread_.joinable()) thread_.join();
  std::unique_lock<std::shared_mutex> guard(lock_);
  processIds_.clear();
  callback_ = nullptr;
}

bool ServiceMonitor::isMonitoredProcess(uint32_t processId) const {
  if (!running_.load()) return false;
  std::shared_lock<std::shared_mutex> guard(lock_);
  for (const auto& [name, id] : processIds_)
    if (id != 0 && id == processId) return true;
  return false;
}

void ServiceMonitor::run() {
  alive_ = true;
  while (alive_.load()) {
    poll();
    if (!alive_.load()) break;
    wake_.wait(intervalMs_);
  }
}

void ServiceMonitor::poll() {
  std::vector<std::u16string> names;
  IServiceMonitor* callback = nullptr;
  {
    std::shared_lock<std::shared_mutex> guard(lock_);
    for (const auto& entry : processIds_) names.push_back(entry.first);
    callback = callback_;
  }
  for (const std::u16string& name : names) {
    uint32_t now = query_(name);
    uint32_t before = 0;
    {
      std::unique_lock<std::shared_mutex> guard(lock_);
      auto it = processIds_.find(name);
      if (it == processIds_.end()) continue;  // stopped meanwhile
      before = it->second;
      it->second = now;
    }
    if (callback == nullptr || before == now) continue;
    if (before != 0) callback->onServiceStopped(name, before);
    if (now != 0) callback->onServiceStarted(name, now);
  }
}

namespace {

platform::NeverDestroyed<ServiceMonitor>& monitorHolder() {
  // Never destroyed by the exit handlers: the engine stops it when it is shut
  // down, which at process exit may come after they destroyed other statics.
  static platform::NeverDestroyed<ServiceMonitor> monitor;
  return monitor;
}

}  // namespace

ServiceMonitor& engineServiceMonitor() { return monitorHolder().get(); }

void releaseEngineServiceMonitor() { monitorHolder().destroy(); }

bool startServiceMonitor(IServiceMonitor* callback, const std::vector<std::u16string>& names) {
  return engineServiceMonitor().start(callback, names);
}

void stopServiceMonitor() { engineServiceMonitor().stop(); }

}  // namespace service
