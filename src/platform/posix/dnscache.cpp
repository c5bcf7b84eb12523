// Linux keeps no resolver cache of the kind the engine flushes (a local
// caching daemon, when one runs, is not the engine's to touch).
#include "platform/dnscache.h"

namespace platform {

bool flushSystemDnsCache() { return false; }

}  // namespace platform
