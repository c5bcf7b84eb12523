// Who a flow's process is, answered for the TCP and the UDP handlers alike
// from the engine's configuration, the service monitor and the per-name
// instance limit.
#pragma once

#include "process/process_queries.h"

namespace engine {

class ZuEngine;

class EngineProcessQueries final : public process::ProcessQueries {
 public:
  explicit EngineProcessQueries(ZuEngine& engine) : engine_(engine) {}

  std::string processNameOf(uint32_t processId) override;
  bool isSelectedProcess(uint32_t processId, const std::string& processName) override;
  bool admit(uint32_t processId, const std::string& processName) override;
  bool isWatchedService(uint32_t processId) override;

 private:
  ZuEngine& engine_;
};

}  // namespace engine
