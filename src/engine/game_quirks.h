// What some games need beyond the common steering, by game and area. Start
// looks the configured game up once; every other game gets none of these.
#pragma once

#include <cstdint>

namespace engine {

struct GameQuirks {
  // Round trips of the game's UDP flows are probed (the probe tracker).
  bool probeUdpRoundTrips = false;
  // The ping-delay responder answers the game's pings.
  bool delayedPings = false;
  // UDP goes through the driver instead of proxy sockets.
  bool udpThroughDriver = false;
  // The host network is prepared and the IP helper service watched (these
  // games' UDP also goes through the driver).
  bool hostNetworkAndIpHelper = false;
};

namespace game_quirks_detail {

inline constexpr uint32_t kAnyArea = 0xFFFFFFFFu;

struct Entry {
  uint32_t gameId;
  uint32_t areaId;  // kAnyArea: every area of the game
  GameQuirks quirks;
};

inline constexpr Entry kTable[] = {
    {41, 214, {true, false, false, false}},       {41, 218, {true, false, false, false}},
    {339, kAnyArea, {false, true, false, false}}, {369, kAnyArea, {false, false, true, true}},
    {890, kAnyArea, {false, false, true, true}},  {1165, kAnyArea, {false, false, true, false}},
    {2173, kAnyArea, {false, false, true, true}}, {2188, kAnyArea, {false, false, true, true}},
    {2207, kAnyArea, {false, false, true, true}},
};

}  // namespace game_quirks_detail

// The quirks of `gameId` in `areaId` (none for a game the table does not name).
inline GameQuirks gameQuirks(uint32_t gameId, uint32_t areaId) {
  for (const auto& entry : game_quirks_detail::kTable)
    if (entry.gameId == gameId && (entry.areaId == game_quirks_detail::kAnyArea || entry.areaId == areaId))
      return entry.quirks;
  return {};
}

}  // namespace engine
