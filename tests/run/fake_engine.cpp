// A stand-in for liblumo.so with the same nine exports, for lumo-run's tests.
// It records each call it gets as one line in the file named by
// $LUMO_FAKE_ENGINE_LOG, returns false from the export named by
// $LUMO_FAKE_ENGINE_FAIL, and behaves like the engine where lumo-run can tell:
// Init opens sockets that it does not mark close-on-exec (as the relay's
// listeners are not), Start sends one counters message to the descriptor
// that SetConfig named, GetFlow hands over 100 bytes sent and 50 received
// once. Built with LUMO_FAKE_WITHOUT_SETBLUR it lacks one export.
#define LUMO_BUILDING_LIBRARY
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lumo/lumo.h"

namespace {

int notifyFd = -1;
int listenerFd = -1;
int highListenerFd = -1;
bool flowTaken = false;

void record(const std::string& line) {
  const char* path = std::getenv("LUMO_FAKE_ENGINE_LOG");
  if (path == nullptr) return;
  if (FILE* log = std::fopen(path, "a")) {
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
  }
}

bool succeeds(const char* name) {
  const char* failing = std::getenv("LUMO_FAKE_ENGINE_FAIL");
  return failing == nullptr || std::strcmp(failing, name) != 0;
}

}  // namespace

extern "C" {

LUMO_API void GetFlow(uint32_t* sent, uint32_t* received) {
  if (sent != nullptr) *sent = flowTaken ? 0 : 100;
  if (received != nullptr) *received = flowTaken ? 0 : 50;
  flowTaken = true;
}

LUMO_API bool Init(uint32_t restartDriver) {
  record("Init " + std::to_string(restartDriver));
  // One at the lowest free number, one far above any that lumo-run inherits.
  if (listenerFd < 0) listenerFd = socket(AF_INET, SOCK_STREAM, 0);
  if (highListenerFd < 0) highListenerFd = fcntl(listenerFd, F_DUPFD, 100);
  return succeeds("Init");
}

LUMO_API bool InstallDriver(void) { return false; }

#ifndef LUMO_FAKE_WITHOUT_SETBLUR
LUMO_API void SetBlur(uint32_t) {}
#endif

LUMO_API bool SetConfig(const char* label, uint32_t, const char* proxyUser, uint32_t,
                        const char* proxyPassword, uint32_t, LUMO_PROCESS_ENTRY* processEntries,
                        int32_t processEntryCount, uint32_t processLimit, const char* rulesText,
                        uint32_t proxyAddress, uint32_t proxyTcpPort, uint32_t proxyUdpPort, uint32_t gameId,
                        uint32_t areaId, uintptr_t notifyWindow, uint32_t) {
  char address[INET_ADDRSTRLEN] = "";
  in_addr node{};
  node.s_addr = proxyAddress;
  inet_ntop(AF_INET, &node, address, sizeof address);
  std::string names;
  for (int32_t i = 0; i < processEntryCount; ++i)
    names += std::string(i == 0 ? "" : ",") + processEntries[i].name;
  record(std::string("SetConfig label=") + label + " user=" + proxyUser + " password=" + proxyPassword +
         " processes=" + names + " limit=" + std::to_string(processLimit) + " rules=" + rulesText +
         " node=" + address + ":" + std::to_string(ntohs(static_cast<uint16_t>(proxyTcpPort))) + "/" +
         std::to_string(ntohs(static_cast<uint16_t>(proxyUdpPort))) + " game=" + std::to_string(gameId) +
         " area=" + std::to_string(areaId));
  notifyFd = static_cast<int>(notifyWindow);
  return succeeds("SetConfig");
}

LUMO_API bool Start(uint32_t tcpEnabled, uint32_t udpEnabled, uint32_t udpProxyAll, uint32_t adapterMode,
                    uint32_t forceUdpDirect, uint32_t restartDriver) {
  record("Start " + std::to_string(tcpEnabled) + " " + std::to_string(udpEnabled) + " " +
         std::to_string(udpProxyAll) + " " + std::to_string(adapterMode) + " " +
         std::to_string(forceUdpDirect) + " " + std::to_string(restartDriver));
  if (!succeeds("Start")) return false;
  const uint32_t message[3] = {LUMO_COUNTERS_MESSAGE, 12595, 4608};  // little-endian, as on every Linux host
  send(notifyFd, message, sizeof message, MSG_DONTWAIT | MSG_NOSIGNAL);
  return true;
}

LUMO_API bool Stop(uint32_t unloadDriver) {
  record("Stop " + std::to_string(unloadDriver));
  notifyFd = -1;
  return true;
}

LUMO_API bool UnInit(uint32_t unloadDriver) {
  record("UnInit " + std::to_string(unloadDriver));
  if (listenerFd >= 0) close(listenerFd);
  if (highListenerFd >= 0) close(highListenerFd);
  listenerFd = -1;
  highListenerFd = -1;
  return true;
}

LUMO_API bool UnInstallDriver(void) { return false; }

}  // extern "C"
