// The exports as a client calls them, linked into this program. No driver is
// installed here, so Init fails at the driver step: these tests cover what
// the exports decide themselves.
#include <gtest/gtest.h>

#include <cstring>

#include "lumo/lumo.h"

namespace {

LUMO_PROCESS_ENTRY entry(const char* name) {
  LUMO_PROCESS_ENTRY e{};
  std::strncpy(e.name, name, sizeof e.name - 1);
  e.value = 1;
  return e;
}

bool config(LUMO_PROCESS_ENTRY* entries, int32_t count, const char* rules = nullptr) {
  return SetConfig("label", 0, "user", 0, "123", 0, entries, count, 0, rules, 0x0100007Fu, 0x3804u, 0x3904u, 7,
                   0, 0, 0);
}

}  // namespace

// Before Init nothing happens; after it SetConfig checks its arguments and GetFlow skips null pointers.
TEST(Exports, BeforeInitNothingHappensThenArgumentsAreChecked) {
  uint32_t sent = 111, received = 222;
  GetFlow(&sent, &received);
  EXPECT_EQ(sent, 111u);
  EXPECT_EQ(received, 222u);
  SetBlur(1);
  LUMO_PROCESS_ENTRY e = entry("Game.exe");
  EXPECT_FALSE(config(&e, 1));
  EXPECT_STREQ(e.name, "Game.exe") << "no engine: the caller's array is left alone";
  EXPECT_FALSE(Start(1, 1, 0, 0, 0, 0));
  EXPECT_FALSE(InstallDriver());
  EXPECT_FALSE(UnInstallDriver());
  EXPECT_TRUE(Stop(1));
  EXPECT_TRUE(UnInit(1));

  Init(0);  // creates the engine; without a driver its initialisation fails
  e = entry("Game.EXE");
  EXPECT_FALSE(config(nullptr, 1));
  EXPECT_FALSE(config(&e, 0));
  EXPECT_FALSE(config(&e, -1));
  EXPECT_STREQ(e.name, "Game.EXE") << "rejected calls change nothing";
  EXPECT_TRUE(config(&e, 1, nullptr)) << "a null rule text counts as empty";
  EXPECT_STREQ(e.name, "game.exe");
  EXPECT_TRUE(config(&e, 1, "mc,30,a.example:443;mc,20-40,*.*:80;mc,9,192.0.2.7:53;10.0.0.0/8,5-9"))
      << "ping-delay rules by name, for any address and by address, with an ICMP rule";
  EXPECT_TRUE(SetConfig(nullptr, 0, nullptr, 0, nullptr, 0, &e, 1, 0, "", 0, 0, 0, 0, 0, 0, 0))
      << "null texts are taken as empty, never read through";

  sent = 5;
  received = 6;
  GetFlow(nullptr, nullptr);
  GetFlow(&sent, nullptr);
  EXPECT_EQ(sent, 0u);
  GetFlow(nullptr, &received);
  EXPECT_EQ(received, 0u);
  EXPECT_TRUE(UnInit(1));
  EXPECT_TRUE(UnInit(1)) << "a second UnInit finds no engine";
  sent = 9;
  GetFlow(&sent, &received);
  EXPECT_EQ(sent, 9u);
}
