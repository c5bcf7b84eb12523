// The DNS client's "DnsFlushResolverCache" is not in the import libraries of
// every toolchain, so it is looked up by name in dnsapi.dll, once.
#include "platform/dnscache.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace platform {
namespace {

using FlushFn = BOOL(WINAPI*)();

std::atomic<bool> lookedUp{false};
FlushFn flushFn = nullptr;
std::mutex lookUpLock;

}  // namespace

bool flushSystemDnsCache() {
  // Double-checked: the flag is tested again under the lock so that two
  // threads never both load the library.
  if (!lookedUp.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(lookUpLock);
    if (!lookedUp.load(std::memory_order_relaxed)) {
      HMODULE dnsapi = LoadLibraryW(L"dnsapi.dll");
      if (dnsapi != nullptr)
        flushFn = reinterpret_cast<FlushFn>(
            reinterpret_cast<void*>(GetProcAddress(dnsapi, "DnsFlushResolverCache")));
      lookedUp.store(true, std::memory_order_release);
    }
  }
  return flushFn != nullptr && flushFn() != FALSE;
}

}  // namespace platform
