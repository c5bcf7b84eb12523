// Linux: an engine that the client leaves behind is shut down and destroyed as
// UnInit(1) would, both when the library is unloaded (dlclose) and when the
// process ends without UnInit.
//
// At process exit glibc runs the exit handlers (the destructors of statics
// among them, last built first) before the libraries' own destructors, and
// the engine's threads are still running then. So the first engine of the
// library registers an exit handler of its own, after building the statics
// that the engine and its threads use: that handler runs before any of them
// is destroyed and shuts the engine down with every thread joined. The
// objects those threads can still reach later are never destroyed at all.
//
// dlclose runs the library's destructor below first and the exit handlers of
// the library after it, so there the destructor shuts the engine down. It
// then ends what the library keeps for the whole process (the collector's and
// the UDP proxy's record pools, the service monitor, the driver library's
// state), which nothing else would free, once no engine (and, for the pools,
// no record in use) remains. glibc runs both without blocking other
// threads, so joining the engine's threads there is safe.
#include "api/library.h"
#include "collector/data_collector.h"
#include "drvapi/drvapi.h"
#include "hostnet/command_runner.h"
#include "hostnet/local_addresses.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "service/service_monitor.h"
#include "udp/ov_data.h"

// The exit handler is tied to this library (its __dso_handle), so that an
// unload runs it (or drops it) and it is never called after the library is
// gone. std::atexit would tie it to the same handle, but the thread
// sanitizer's interceptor of atexit loses the handle; __cxa_atexit keeps it.
extern "C" int __cxa_atexit(void (*handler)(void*), void* argument, void* library);
extern "C" void* __dso_handle;

namespace {

bool exitHandlerRegistered = false;

void shutDownAtExit(void*) { api::destroyEngine(true); }

}  // namespace

namespace api {

void onEngineCreated() {
  if (exitHandlerRegistered) return;
  // Built now, before the handler is registered, so that they are destroyed
  // only after it ran.
  platform::systemRegistry();
  platform::systemServiceManager();
  hostnet::commandRunner();
  hostnet::localAddresses();
  exitHandlerRegistered = __cxa_atexit(shutDownAtExit, nullptr, &__dso_handle) == 0;
}

void onEngineDestroyed() {}

}  // namespace api

__attribute__((destructor)) static void lumoLibraryUnload() {
  api::destroyEngine(true);
  if (api::currentEngine() != nullptr) return;
  // Nothing of the library runs any more: what it keeps for the whole process
  // would be lost with it.
  collector::releasePools();
  UdpProxy::ReleaseOvDataPool();
  service::releaseEngineServiceMonitor();
  drvapi::releaseDriverLibrary();
}
