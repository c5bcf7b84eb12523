// Who a flow's process is and whether the engine steers it: what the TCP and
// UDP handlers ask at a connection's or flow's first event. The engine
// answers from its configuration, the service monitor and the per-name
// instance limit. Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace process {

class ProcessQueries {
 public:
  virtual ~ProcessQueries() = default;
  // The lower-cased executable name; empty for ids 0 and 4 or when unknown.
  virtual std::string processNameOf(uint32_t processId) = 0;
  // The name is configured, or the id is a watched service's process.
  virtual bool isSelectedProcess(uint32_t processId, const std::string& processName) = 0;
  // The per-name instance limit lets this process in (true when limiting is off).
  virtual bool admit(uint32_t processId, const std::string& processName) = 0;
  // The service monitor reports the id as the current process of a watched service.
  virtual bool isWatchedService(uint32_t processId) = 0;
};

}  // namespace process
