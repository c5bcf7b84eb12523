// The nine exports. Each is thin: it checks that the engine exists, turns its
// arguments into the engine's terms and hands over; no exception leaves it.
#define LUMO_BUILDING_LIBRARY 1
#include "lumo/lumo.h"

#include <new>

#include "api/library.h"
#include "engine/config.h"
#include "engine/zu_engine.h"

static_assert(sizeof(LUMO_PROCESS_ENTRY) == sizeof(engine::PROCESS_ENTRY));

namespace {

// The one engine of the process. Set only by Init and cleared only by UnInit
// (or by the library's unload); the client calls those from one thread while
// no other export runs, so no lock guards it.
engine::ZuEngine* theEngine = nullptr;

bool lowByte(uint32_t word) { return (word & 0xFFu) != 0; }

}  // namespace

namespace api {

engine::ZuEngine* currentEngine() { return theEngine; }

void destroyEngine(bool unloadDriver) {
  engine::ZuEngine* e = theEngine;
  if (e == nullptr) return;
  try {
    e->Shutdown(unloadDriver);
  } catch (...) {
  }
  delete e;
  theEngine = nullptr;
}

}  // namespace api

extern "C" {

LUMO_API void LUMO_CALL GetFlow(uint32_t* sent, uint32_t* received) {
  engine::ZuEngine* e = theEngine;
  if (e == nullptr) return;
  // A null pointer is skipped without touching its counter, so those bytes
  // are still reported by the next read or tick.
  if (sent != nullptr) *sent = e->takeSentBytes();
  if (received != nullptr) *received = e->takeReceivedBytes();
}

LUMO_API bool LUMO_CALL Init(uint32_t restartDriver) {
  try {
    if (theEngine == nullptr) {
      theEngine = new (std::nothrow) engine::ZuEngine();
      if (theEngine == nullptr) return false;
      api::onEngineCreated();
    }
    return theEngine->Initialize(lowByte(restartDriver));
  } catch (...) {
    return false;
  }
}

LUMO_API bool LUMO_CALL InstallDriver(void) {
  try {
    return theEngine != nullptr && theEngine->InstallDriver();
  } catch (...) {
    return false;
  }
}

LUMO_API void LUMO_CALL SetBlur(uint32_t enable) {
  if (theEngine != nullptr) theEngine->setBlur(enable);
}

LUMO_API bool LUMO_CALL SetConfig(const char* /*label*/, uint32_t, const char* proxyUser, uint32_t,
                                  const char* proxyPassword, uint32_t, LUMO_PROCESS_ENTRY* processEntries,
                                  int32_t processEntryCount, uint32_t processLimit, const char* rulesText,
                                  uint32_t proxyAddress, uint32_t proxyTcpPort, uint32_t proxyUdpPort,
                                  uint32_t gameId, uint32_t areaId, uintptr_t notifyWindow, uint32_t) {
  try {
    if (theEngine == nullptr || processEntries == nullptr || processEntryCount <= 0) return false;
    engine::PROXY_CONFIG proxy;
    engine::GAME_CONFIG game;
    engine::buildConfigRecords(proxyUser, proxyPassword, reinterpret_cast<engine::PROCESS_ENTRY*>(processEntries),
                               processEntryCount, processLimit, rulesText, proxyAddress, proxyTcpPort,
                               proxyUdpPort, gameId, areaId, proxy, game);
    return theEngine->Configure(proxy, game, notifyWindow);
  } catch (...) {
    return false;
  }
}

LUMO_API bool LUMO_CALL Start(uint32_t tcpEnabled, uint32_t udpEnabled, uint32_t udpProxyAll, uint32_t adapterMode,
                              uint32_t forceUdpDirect, uint32_t restartDriver) {
  try {
    if (theEngine == nullptr) return false;
    return theEngine->StartEngine(lowByte(tcpEnabled), lowByte(udpEnabled), lowByte(udpProxyAll),
                                  lowByte(adapterMode), forceUdpDirect, lowByte(restartDriver));
  } catch (...) {
    return false;  // a start cut short is never reported as done
  }
}

LUMO_API bool LUMO_CALL Stop(uint32_t unloadDriver) {
  try {
    if (theEngine != nullptr) theEngine->StopEngine(lowByte(unloadDriver));
  } catch (...) {
  }
  return true;
}

LUMO_API bool LUMO_CALL UnInit(uint32_t unloadDriver) {
  if (theEngine == nullptr) return true;
  api::destroyEngine(lowByte(unloadDriver));
  api::onEngineDestroyed();
  return true;
}

LUMO_API bool LUMO_CALL UnInstallDriver(void) {
  try {
    return theEngine != nullptr && theEngine->UnInstallDriver();
  } catch (...) {
    return false;
  }
}

}  // extern "C"
