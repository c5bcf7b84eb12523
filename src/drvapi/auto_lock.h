// The library lock and its scoped guards. The lock is recursive: operations
// may be called from any thread, also from code that already holds it.
#pragma once

#include <mutex>

namespace drvapi {

using RecursiveLock = std::recursive_mutex;

// Enters the lock on construction and leaves it on destruction.
class AutoLock {
 public:
  explicit AutoLock(RecursiveLock& lock) : lock_(lock) { lock_.lock(); }
  ~AutoLock() { lock_.unlock(); }
  AutoLock(const AutoLock&) = delete;
  AutoLock& operator=(const AutoLock&) = delete;

 private:
  RecursiveLock& lock_;
};

// Leaves a lock the caller holds (once) on construction and enters it again
// on destruction: the window in which handler callbacks, queue pushes and
// record writes are made.
class AutoUnlock {
 public:
  explicit AutoUnlock(RecursiveLock& lock) : lock_(lock) { lock_.unlock(); }
  ~AutoUnlock() { lock_.lock(); }
  AutoUnlock(const AutoUnlock&) = delete;
  AutoUnlock& operator=(const AutoUnlock&) = delete;

 private:
  RecursiveLock& lock_;
};

}  // namespace drvapi
