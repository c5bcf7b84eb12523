// The configuration records that SetConfig builds and Configure stores.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace engine {

// One element of the caller's process array: 68 bytes, packed.
#pragma pack(push, 1)
struct PROCESS_ENTRY {
  char name[64];   // UTF-8, NUL-terminated within the 64 bytes
  uint32_t value;  // carried into GAME_CONFIG::processes
};
#pragma pack(pop)
static_assert(sizeof(PROCESS_ENTRY) == 68);

// Where and how to reach the proxy node. Addresses and ports in network order.
struct PROXY_CONFIG {
  std::string proxyUser;
  std::string proxyPassword;
  uint32_t userId = 0;        // proxyPassword read as a decimal number
  uint32_t proxyAddress = 0;  // IPv4
  uint16_t proxyTcpPort = 0;  // SOCKS5
  uint16_t proxyUdpPort = 0;  // UDP tunnel
  uint16_t dnsPort = 0;       // the node's DNS port, always 5312
};

// Which game and which processes are accelerated.
struct GAME_CONFIG {
  uint32_t gameId = 0;
  uint32_t areaId = 0;
  // Lower-cased process names in the ANSI code page → the entry's value,
  // ordered byte-wise.
  std::map<std::string, uint32_t> processes;
  uint32_t processLimit = 0;
  std::string rulesText;
};

// The node's DNS service port (5312), host order.
inline constexpr uint16_t kNodeDnsPort = 5312;

// Reads `text` as a decimal number the way the user id is read from the
// password: optional leading white space, optional sign, decimal digits up to
// the first other character; 0 without digits; values beyond the signed
// 32-bit range saturate to the nearest limit. The result is that signed value
// as an unsigned 32-bit word (-5 → 0xFFFFFFFB).
uint32_t parseUserId(const char* text);

// Builds the two records from SetConfig's arguments. Lower-cases each entry's
// name in place in the caller's array (an entry whose 64 bytes hold no NUL is
// made empty) and converts it from UTF-8 to the ANSI code page.
void buildConfigRecords(const char* proxyUser, const char* proxyPassword, PROCESS_ENTRY* entries,
                        int32_t entryCount, uint32_t processLimit, const char* rulesText,
                        uint32_t proxyAddress, uint32_t proxyTcpPort, uint32_t proxyUdpPort,
                        uint32_t gameId, uint32_t areaId, PROXY_CONFIG& proxy, GAME_CONFIG& game);

}  // namespace engine
