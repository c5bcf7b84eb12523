// Where redirected connections wait for the relay: the connect handler stores
// each redirected connection under the client's local port, and the relay's
// accept loop takes it out again by the port it accepted from.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "drvapi/records.h"
#include "platform/net.h"
#include "tcp/spin_flag.h"

namespace tcp {

// One redirected connection.
struct REDIRECT_INFO {
  uint64_t id = 0;
  // The whole request as it was when the redirect was decided (after a port
  // map, before the destination became the relay): remoteAddress is where
  // the relay must go.
  drvapi::TcpConnInfo info{};
  std::string processName;
};

// Two maps, one for connections of family 2 and one for the others, keyed by
// the client's local port as stored (network order). A later entry for the
// same port overwrites the earlier one. Guarded by a spin flag that is held
// only for the map update. Any thread.
class RedirectTable {
 public:
  void Insert(const REDIRECT_INFO& entry);

  // Finds and erases the entry for the port of `clientAddress` (the address
  // the relay accepted the connection from) in the map of its family.
  std::optional<REDIRECT_INFO> TakeRedirect(const platform::SocketAddress& clientAddress);

  void Clear();
  size_t size();

 private:
  SpinFlag redirectLock_;
  std::map<uint16_t, REDIRECT_INFO> ipv4_;
  std::map<uint16_t, REDIRECT_INFO> other_;
};

// The process name of every connection from its connect request to its close.
// Readers share the lock, writers take it alone. Any thread.
class ConnectionNames {
 public:
  void Set(uint64_t id, const std::string& name);
  std::string Get(uint64_t id) const;  // empty when absent
  void Erase(uint64_t id);
  void Clear();
  size_t size() const;

 private:
  mutable std::shared_mutex connectionNamesLock_;
  std::map<uint64_t, std::string> names_;
};

}  // namespace tcp
