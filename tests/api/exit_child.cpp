// A client program that ends without UnInit: it brings the library to the
// state its first argument names and returns from main with the engine's
// threads running; exit_test.cpp expects status 0 well inside a deadline.
//   init | start | stop   linked exports on the simulated driver: Init, then
//                         SetConfig and Start, then Stop(1)
//   driver                the driver library alone with a do-nothing handler
//   load | load-stop      the built library loaded by path (second argument):
//   | unload              Init, then Stop(1), or Init and unloading it again
#include <cstring>
#include <string>

#include "driverless_library.h"
#include "drvapi/drvapi.h"
#include "lumo/lumo.h"
#include "platform/services.h"
#include "sim_driver.h"
#include "support/quiet_handler.h"

namespace {

// The simulated driver outlives the client, as a kernel driver would (kept
// reachable, so that a leak checker does not count it).
simdrv::SimDriver* simulatedDriver = nullptr;

void installDriver() {
  simulatedDriver = new simdrv::SimDriver();
  simulatedDriver->install();
  platform::attachSimulatedService(
      u"LumoDriverSys", [] { return true; }, [] {});
}

bool configureAndStart() {
  LUMO_PROCESS_ENTRY game{};
  std::strcpy(game.name, "game.exe");
  game.value = 1;
  // Game 369 also starts the service monitor; the node is never reached.
  return SetConfig("exit", 0, "user", 0, "7", 0, &game, 1, 0, "mc,30,*.*:443;198.51.100.0/24,10-20",
                   0x0100007Fu, 0x3804u, 0x3904u, 369, 0, 0, 0) &&
         Start(1, 1, 0, 0, 0, 0);
}

// Loaded by path; left loaded past main unless unloaded (kept reachable, so
// that a leak checker does not count it).
lumotest::LoadedLibrary* library = nullptr;

int loadedLibrary(const std::string& mode, const char* path) {
  library = new lumotest::LoadedLibrary(path);
  if (library->handle == nullptr) return 3;
  // No driver is reachable from the loaded library: Init creates the engine
  // and brings up what comes before the driver, then fails.
  library->boolOfWord("Init")(0);
  if (mode == "load-stop") library->boolOfWord("Stop")(1);
  if (mode == "unload") delete library;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "load" || mode == "load-stop" || mode == "unload")
    return argc > 2 ? loadedLibrary(mode, argv[2]) : 2;

  installDriver();
  if (mode == "driver") {
    // The handler stays for the driver's threads, which outlive main.
    static auto* handler = new lumotest::QuietHandler();
    return drvapi::initDriver("LumoDriverSys", handler) == 0 ? 0 : 4;
  }
  if (mode != "init" && mode != "start" && mode != "stop") return 2;
  const bool initialised = Init(0);
#ifndef _WIN32
  if (!initialised) return 5;
#else
  (void)initialised;
#endif
  if (mode == "init") return 0;
  if (!configureAndStart()) return 6;
  if (mode == "stop") Stop(1);
  return 0;
}
