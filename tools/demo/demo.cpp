// lumo-demo: a client of the engine library. It loads liblumo.so by path,
// finds the nine exports by name, and walks Init → SetConfig → Start →
// GetFlow → Stop → UnInit, printing what each call returned. The node address
// it configures is a loopback one: nothing leaves the machine.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lumo/lumo.h"

namespace {

struct Exports {
  decltype(&::Init) init = nullptr;
  decltype(&::SetConfig) setConfig = nullptr;
  decltype(&::Start) start = nullptr;
  decltype(&::GetFlow) getFlow = nullptr;
  decltype(&::Stop) stop = nullptr;
  decltype(&::UnInit) unInit = nullptr;
};

template <typename Fn>
bool find(void* library, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(dlsym(library, name));
  if (out == nullptr) std::fprintf(stderr, "lumo-demo: %s is not exported: %s\n", name, dlerror());
  return out != nullptr;
}

const char* yesNo(bool value) { return value ? "true" : "false"; }

}  // namespace

int main(int argc, char** argv) {
  std::string path = argc > 1 ? argv[1] : "./liblumo.so";
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf("usage: lumo-demo [PATH-TO-liblumo.so]\n");
    return 0;
  }
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "lumo-demo: cannot load %s: %s\n", path.c_str(), dlerror());
    return 1;
  }
  Exports x;
  if (!find(library, "Init", x.init) || !find(library, "SetConfig", x.setConfig) ||
      !find(library, "Start", x.start) || !find(library, "GetFlow", x.getFlow) || !find(library, "Stop", x.stop) ||
      !find(library, "UnInit", x.unInit)) {
    dlclose(library);
    return 1;
  }
  std::printf("loaded %s\n", path.c_str());

  std::printf("Init(0)                 -> %s\n", yesNo(x.init(0)));

  LUMO_PROCESS_ENTRY game{};
  std::strcpy(game.name, "Game.exe");
  game.value = 1;
  const uint32_t node = 0x0100007F;                     // 127.0.0.1, network order
  const uint32_t tcpPort = (1080 >> 8) | ((1080 & 0xFF) << 8);  // 1080, network order
  const uint32_t udpPort = (1081 >> 8) | ((1081 & 0xFF) << 8);
  const bool configured = x.setConfig("demo", 0, "player", 0, "1001", 0, &game, 1, 0, "mc,30,*.*:443", node,
                                      tcpPort, udpPort, 7, 0, 0, 0);
  std::printf("SetConfig(Game.exe ...) -> %s (entry now \"%s\")\n", yesNo(configured), game.name);

  std::printf("Start(1,1,0,0,0,0)      -> %s\n", yesNo(x.start(1, 1, 0, 0, 0, 0)));

  uint32_t sent = 0, received = 0;
  x.getFlow(&sent, &received);
  std::printf("GetFlow                 -> sent %u, received %u\n", sent, received);

  std::printf("Stop(1)                 -> %s\n", yesNo(x.stop(1)));
  std::printf("UnInit(1)               -> %s\n", yesNo(x.unInit(1)));
  dlclose(library);
  return 0;
}
