// Linux has no registry: the system registry is the process-wide in-memory
// store, empty at start. Whatever the engine writes there (service entries,
// the load-order list, host settings) lasts until the process ends.
#include "platform/registry.h"

namespace platform {

Registry& systemRegistry() {
  static MemoryRegistry registry;
  return registry;
}

}  // namespace platform
