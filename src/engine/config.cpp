#include "engine/config.h"

#include <climits>
#include <cstring>

#include "platform/text.h"

namespace engine {

uint32_t parseUserId(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  // White space as the C library's isspace() sees it in the "C" locale.
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p++ - '0');
    if (value > static_cast<int64_t>(INT_MAX) + 1) break;  // already beyond either limit
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  return static_cast<uint32_t>(static_cast<int32_t>(value));
}

void buildConfigRecords(const char* proxyUser, const char* proxyPassword, PROCESS_ENTRY* entries,
                        int32_t entryCount, uint32_t processLimit, const char* rulesText,
                        uint32_t proxyAddress, uint32_t proxyTcpPort, uint32_t proxyUdpPort,
                        uint32_t gameId, uint32_t areaId, PROXY_CONFIG& proxy, GAME_CONFIG& game) {
  // A null credential is taken as empty text rather than read through.
  proxy.proxyUser = proxyUser != nullptr ? proxyUser : "";
  proxy.proxyPassword = proxyPassword != nullptr ? proxyPassword : "";
  proxy.userId = parseUserId(proxyPassword);
  proxy.proxyAddress = proxyAddress;
  proxy.proxyTcpPort = static_cast<uint16_t>(proxyTcpPort);
  proxy.proxyUdpPort = static_cast<uint16_t>(proxyUdpPort);
  proxy.dnsPort = static_cast<uint16_t>((kNodeDnsPort >> 8) | ((kNodeDnsPort & 0xFF) << 8));
  game.gameId = gameId;
  game.areaId = areaId;
  game.processLimit = processLimit;
  game.rulesText = rulesText != nullptr ? rulesText : "";
  game.processes.clear();

  for (int32_t i = 0; i < entryCount; ++i) {
    PROCESS_ENTRY& entry = entries[i];
    const void* nul = std::memchr(entry.name, '\0', sizeof entry.name);
    if (nul == nullptr) entry.name[0] = '\0';
    const size_t length = nul != nullptr ? static_cast<const char*>(nul) - entry.name : 0;
    for (size_t k = 0; k < length; ++k)
      if (entry.name[k] >= 'A' && entry.name[k] <= 'Z') entry.name[k] = static_cast<char>(entry.name[k] + 32);
    const std::string ansi = platform::utf16ToAnsi(platform::utf8ToUtf16(std::string_view(entry.name, length)));
    game.processes[ansi] = entry.value;
  }
}

}  // namespace engine
