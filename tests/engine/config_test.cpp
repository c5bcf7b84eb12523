#include "engine/config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "platform/net.h"

using engine::GAME_CONFIG;
using engine::PROCESS_ENTRY;
using engine::PROXY_CONFIG;

TEST(ConfigRecords, UserIdFromPassword) {
  struct Row {
    const char* text;
    uint32_t want;
  } rows[] = {
      {"123abc", 123u},
      {"abc", 0u},
      {"-5", static_cast<uint32_t>(-5)},
      {"  +42", 42u},
      {"\t\n7x", 7u},
      {"", 0u},
      {"- 5", 0u},
      {"2147483647", 2147483647u},
      {"2147483648", 2147483647u},
      {"99999999999999999999", 2147483647u},
      {"-2147483648", 0x80000000u},
      {"-99999999999999999999", 0x80000000u},
  };
  for (const Row& r : rows) EXPECT_EQ(engine::parseUserId(r.text), r.want) << '"' << r.text << '"';
  EXPECT_EQ(engine::parseUserId(nullptr), 0u);
}

// Null texts are taken as empty; of the port words only the low 16 bits count.
TEST(ConfigRecords, ProcessNamesAreLowerCasedInPlaceAndMergedAndUnterminatedOnesEmpty) {
  PROCESS_ENTRY entries[] = {{"Game.EXE", 9}, {"a.exe", 1}, {"A.EXE", 2}, {"", 5}};
  std::memset(entries[3].name, 'X', sizeof entries[3].name);  // no terminator: becomes empty
  PROXY_CONFIG proxy;
  GAME_CONFIG game;
  engine::buildConfigRecords(nullptr, nullptr, entries, 4, 2, nullptr, 0x0100007Fu, 0xAAAA3804u, 0xBBBB3904u,
                             12, 34, proxy, game);
  EXPECT_STREQ(entries[0].name, "game.exe") << "the caller's array is changed too";
  EXPECT_STREQ(entries[2].name, "a.exe");
  EXPECT_EQ(entries[3].name[0], '\0');
  // Of the two a.exe entries the later one's value wins.
  EXPECT_EQ(game.processes, (std::map<std::string, uint32_t>{{"game.exe", 9}, {"a.exe", 2}, {"", 5}}));

  EXPECT_EQ(proxy.proxyUser + proxy.proxyPassword + game.rulesText, "");
  EXPECT_EQ(std::tie(proxy.userId, proxy.proxyTcpPort, proxy.proxyUdpPort, proxy.dnsPort),
            std::tuple(0u, uint16_t{0x3804}, uint16_t{0x3904}, platform::hostToNet16(engine::kNodeDnsPort)));
}
