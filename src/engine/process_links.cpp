#include "engine/process_links.h"

#include "engine/zu_engine.h"
#include "platform/text.h"
#include "process/process_selection.h"

namespace engine {

std::string EngineProcessQueries::processNameOf(uint32_t processId) {
  return process::ProcessNameOf(processId);
}

bool EngineProcessQueries::isSelectedProcess(uint32_t processId, const std::string& processName) {
  std::lock_guard<std::mutex> lock(engine_.configLock_);
  return process::IsSelectedProcess(engine_.gameConfig_.processes, engine_.serviceMonitor_, processId,
                                    processName);
}

bool EngineProcessQueries::admit(uint32_t processId, const std::string& processName) {
  return engine_.processLimit_.Admit(processId, platform::ansiToUtf16(processName));
}

bool EngineProcessQueries::isWatchedService(uint32_t processId) {
  return engine_.serviceMonitor_.isMonitoredProcess(processId);
}

}  // namespace engine
