// The per-name instance limit: at most `limit` processes of each configured
// executable name are steered, first come first served; a worker frees the
// slots of processes that have ended, once a second.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/event.h"
#include "process/process_selection.h"

namespace process {

class ProccessLimit {
 public:
  // `source` empty: the system's process snapshots.
  explicit ProccessLimit(SnapshotSource source = {});
  ~ProccessLimit();  // Stop()
  ProccessLimit(const ProccessLimit&) = delete;
  ProccessLimit& operator=(const ProccessLimit&) = delete;

  // Starts limiting `names` (UTF-16 executable names; lower-cased here,
  // duplicates kept once) to `limit` processes each and starts the worker.
  // Nothing happens when already running, when the stop event could not be
  // created, or when `limit` is 0. Every earlier admission is forgotten.
  // Called by the engine's controlling thread, like Stop().
  void Start(const std::vector<std::u16string>& names, uint32_t limit);
  // Signals the worker, waits for it and marks the limit stopped (when running
  // with a limit). The names stay until the next Start replaces them.
  void Stop();
  // True when the process may be steered: always when not running, with
  // limit 0, or for a name that is not configured; otherwise when the process
  // is already admitted or its name still has a free slot (which it then
  // takes). Any thread; the check is repeated under the exclusive lock so
  // that concurrent callers never exceed the limit.
  bool Admit(uint32_t processId, const std::u16string& processName);

  // One refresh as the worker makes it: takes a snapshot and frees every
  // admitted id that is no longer running or now belongs to a program of
  // another name (a reused id). A failed snapshot frees every slot. Exposed
  // for tests; any thread.
  void Refresh();

  bool running() const { return running_.load(); }
  // Number of admitted ids of `name` (tests and diagnostics).
  size_t AdmittedCount(const std::u16string& name) const;

 private:
  struct NameEntry {
    mutable std::shared_mutex lock;
    std::unordered_set<uint32_t> ids;
  };

  void Worker();

  SnapshotSource source_;
  // The map itself changes only in Start; the lock keeps a late Admit from
  // walking it while a new Start rebuilds it.
  mutable std::shared_mutex namesLock_;
  std::unordered_map<std::u16string, std::unique_ptr<NameEntry>> names_;
  std::atomic<uint32_t> limit_{0};
  std::atomic<bool> running_{false};
  platform::Event stopEvent_{platform::Event::Reset::Automatic, false};
  std::thread worker_;
};

}  // namespace process
