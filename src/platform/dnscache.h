// The system resolver's cache.
#pragma once

namespace platform {

// Empties the system DNS resolver's cache: "DnsFlushResolverCache" of
// "dnsapi.dll", looked up once per process under a lock (the outcome, found
// or not, is remembered) and called when present. Returns what the call
// returned, false when the function is not available. Linux has no system
// resolver cache to flush: always false. Any thread.
bool flushSystemDnsCache();

}  // namespace platform
