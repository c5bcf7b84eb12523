// Linux: the library's destructor (dlclose, or the end of the process) shuts
// a remaining engine down and destroys it, as UnInit(1) would. glibc runs it
// without blocking other threads, so joining the engine's threads is safe.
#include "api/library.h"

namespace api {

void onEngineCreated() {}
void onEngineDestroyed() {}

}  // namespace api

__attribute__((destructor)) static void lumoLibraryUnload() { api::destroyEngine(true); }
