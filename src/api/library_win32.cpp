// Windows entry point. A thread cannot finish exiting while the loader lock is
// held, so the engine can never be shut down (its threads joined) inside the
// detach notification. Instead, while an engine exists the library holds a
// reference to itself: FreeLibrary alone does not unload it, and UnInit drops
// the reference (the client still holds its own while it calls UnInit, so the
// code is not unmapped under the call). At process exit the other threads are
// already gone and the system closes the driver handle: detach does no waiting,
// and the process-wide objects that those threads used are never destroyed.
#include <windows.h>

#include "api/library.h"
#include "collector/data_collector.h"
#include "drvapi/drvapi.h"
#include "platform/module.h"
#include "service/service_monitor.h"
#include "udp/ov_data.h"

namespace {
HMODULE selfModule = nullptr;
HMODULE pinnedModule = nullptr;
}  // namespace

namespace api {

void onEngineCreated() {
  if (pinnedModule != nullptr || selfModule == nullptr) return;
  HMODULE module = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&onEngineCreated),
                         &module))
    pinnedModule = module;
}

void onEngineDestroyed() {
  if (pinnedModule == nullptr) return;
  HMODULE module = pinnedModule;
  pinnedModule = nullptr;
  FreeLibrary(module);
}

}  // namespace api

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      selfModule = instance;
      platform::setLibraryModule(instance);
      DisableThreadLibraryCalls(instance);
      break;
    case DLL_PROCESS_DETACH:
      // reserved != null: the process is ending; nothing may be waited for,
      // and the collector's pools stay (the system ended the threads that
      // may have held their records at any point).
      // reserved == null: a FreeLibrary with no engine left (an engine keeps
      // the library loaded), so there is nothing to shut down, and the pools
      // and the service monitor would be lost with the library: free them.
      if (reserved == nullptr && api::currentEngine() == nullptr) {
        collector::releasePools();
        UdpProxy::ReleaseOvDataPool();
        service::releaseEngineServiceMonitor();
        drvapi::releaseDriverLibrary();
      }
      break;
    default:
      break;
  }
  return TRUE;
}
