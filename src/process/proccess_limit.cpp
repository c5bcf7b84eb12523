// The instance limit. Admission takes a name's lock shared for the common
// case (already admitted, or full) and exclusive only to take a slot.
#include "process/proccess_limit.h"

#include <mutex>

#include "platform/text.h"

namespace process {

ProccessLimit::ProccessLimit(SnapshotSource source)
    : source_(source ? std::move(source) : systemSnapshotSource()) {}

ProccessLimit::~ProccessLimit() { Stop(); }

void ProccessLimit::Start(const std::vector<std::u16string>& names, uint32_t limit) {
  if (running_.load() || !stopEvent_.valid() || limit == 0) return;
  {
    std::unique_lock<std::shared_mutex> guard(namesLock_);
    names_.clear();
    for (const std::u16string& name : names) {
      std::u16string key = platform::toLowerAscii(name);
      if (names_.count(key) == 0) names_.emplace(std::move(key), std::make_unique<NameEntry>());
    }
    limit_ = limit;
  }
  worker_ = std::thread([this] { Worker(); });
  running_ = true;
}

void ProccessLimit::Stop() {
  if (!running_.load() || limit_.load() == 0) return;
  stopEvent_.set();
  if (worker_.joinable()) worker_.join();
  running_ = false;
}

bool ProccessLimit::Admit(uint32_t processId, const std::u16string& processName) {
  const uint32_t limit = limit_.load();
  if (!running_.load() || limit == 0) return true;
  std::shared_lock<std::shared_mutex> namesGuard(namesLock_);
  auto it = names_.find(platform::toLowerAscii(processName));
  if (it == names_.end()) return true;
  NameEntry& entry = *it->second;
  {
    std::shared_lock<std::shared_mutex> guard(entry.lock);
    if (entry.ids.count(processId) != 0) return true;
    if (entry.ids.size() >= limit) return false;
  }
  std::unique_lock<std::shared_mutex> guard(entry.lock);
  if (entry.ids.count(processId) != 0) return true;
  if (entry.ids.size() >= limit) return false;
  entry.ids.insert(processId);
  return true;
}

void ProccessLimit::Refresh() {
  std::vector<platform::ProcessListEntry> snapshot;
  if (!source_(snapshot)) snapshot.clear();
  std::unordered_map<uint32_t, std::u16string> running;
  for (const platform::ProcessListEntry& process : snapshot)
    running[process.processId] = platform::toLowerAscii(process.exeName);

  std::shared_lock<std::shared_mutex> namesGuard(namesLock_);
  for (auto& [name, entry] : names_) {
    std::vector<uint32_t> stale;
    {
      std::shared_lock<std::shared_mutex> guard(entry->lock);
      for (uint32_t id : entry->ids) {
        auto found = running.find(id);
        // Gone, or the id now belongs to another program.
        if (found == running.end() || found->second != name) stale.push_back(id);
      }
    }
    if (stale.empty()) continue;
    std::unique_lock<std::shared_mutex> guard(entry->lock);
    for (uint32_t id : stale) entry->ids.erase(id);
  }
}

size_t ProccessLimit::AdmittedCount(const std::u16string& name) const {
  std::shared_lock<std::shared_mutex> namesGuard(namesLock_);
  auto it = names_.find(platform::toLowerAscii(name));
  if (it == names_.end()) return 0;
  std::shared_lock<std::shared_mutex> guard(it->second->lock);
  return it->second->ids.size();
}

void ProccessLimit::Worker() {
  while (!stopEvent_.wait(1000)) Refresh();
}

}  // namespace process
