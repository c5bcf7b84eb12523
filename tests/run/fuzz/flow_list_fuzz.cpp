// Fuzz target: a packet from lumo-driver's capture socket as lumo-run reads
// it for --flows. parseFlowList must refuse it or accept one whose records
// fill it exactly, and the lines lumo-run prints for it must be one per
// record plus the head line, with nothing in them that could steer a
// terminal, whatever the driver wrote into a record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "flow_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  run::FlowList list;
  std::string error;
  if (!run::parseFlowList(data, size, list, error)) return 0;
  if (sizeof(capture::wire::FlowsReply) + list.flows.size() * sizeof(capture::wire::FlowRecord) != size)
    std::abort();
  const std::vector<std::string> lines = run::flowListLines(list);
  if (lines.size() != list.flows.size() + 1) std::abort();
  for (const std::string& line : lines)
    for (char c : line)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
  return 0;
}
