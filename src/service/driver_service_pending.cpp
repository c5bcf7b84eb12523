// TEMPORARY: link-time stand-ins while driver management is being written.
// Each reports failure. Delete this file when the real sources land.
#include "service/driver_service.h"

namespace service {

bool ensureDriverRunning() { return false; }
bool uninstallDriver() { return false; }
bool stopDriverService() { return false; }
bool installDriverFile(bool) { return false; }
int registerDriverService(const char*, const char*) { return -1; }
int removeDriverService(const char*) { return -1; }
bool serviceRegistered(const char*) { return false; }
bool readServiceTag(const char*, uint32_t& tag) {
  tag = 0;
  return false;
}
bool writeServiceTag(const char*, uint32_t) { return false; }
void placeInGroupOrder(const char*, bool) {}
bool setServiceGroup(const char*, bool) { return false; }
void prepareHostRegistry(bool) {}

}  // namespace service
