// The system's command runner, with harmless programs only.
#include "platform/command.h"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
constexpr const char* kEcho = "cmd.exe /c echo lumo-echo";
constexpr const char* kQuick = "cmd.exe /c exit 0";
#else
constexpr const char* kEcho = "echo lumo-echo";
constexpr const char* kQuick = "true";
#endif

TEST(SystemCommands, RunsCapturesAndRefuses) {
  std::string out = "stale";
  ASSERT_TRUE(platform::runCommandLineCaptured(kEcho, 10000, out));
  EXPECT_NE(out.find("lumo-echo"), std::string::npos) << out;
  EXPECT_TRUE(platform::runCommandLine(kQuick, 10000));
  EXPECT_TRUE(platform::runCommandLine(kQuick, 0));
  EXPECT_FALSE(platform::runCommandLine("lumo-no-such-program-xyz", 1000));
  EXPECT_FALSE(platform::runCommandLineCaptured("lumo-no-such-program-xyz", 1000, out));
  EXPECT_TRUE(out.empty());
  // Longer than the system's command buffer: refused, never cut.
  EXPECT_FALSE(platform::runCommandLine(std::string(kQuick) + std::string(260, ' ') + "x", 0));
}
