// Plain filter text → lumo-filter → "config/filter.txt" beside the engine
// (linked in: the program's folder is the library folder) → the tables.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "engine/recording_driver.h"
#include "engine/zu_engine.h"
#include "platform/files.h"
#include "platform/module.h"
#include "rules/filter_tables.h"
#include "support/test_support.h"

namespace rules {
namespace {

constexpr DomainClass kClass1 = DomainClass::ViaProxy, kClass2 = DomainClass::FromTable;

const char kPlain[] =
    "# kind 0: steered names; the second has a fixed address\n"
    "0,0,0,0,game.example.com,1,n\n"
    "12,0,0,0,login.example.com,1,n,1,203.0.113.7\n"
    "12,0,1,10.1.2.0,443,0,0\n"
    "0,0,2,8080,1,1\n"
    "13,0,2,9090,1,0\n"
    "12,4,4\n";

class RoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = platform::libraryFolder();
    ASSERT_FALSE(folder.empty());
    filterFile = folder / "config" / "filter.txt";
    std::filesystem::create_directories(filterFile.parent_path());
    std::filesystem::remove(filterFile);
  }
  void TearDown() override { std::filesystem::remove(filterFile); }

  std::filesystem::path Tool() const {
    return (folder / LUMO_FILTER_TOOL_FROM_TEST / "lumo-filter").replace_extension(kExe);
  }

  // Runs the tool through the system's command interpreter; its output goes
  // to `output`. Answers the exit status.
  int Run(const std::string& args, std::string* output = nullptr) {
    std::filesystem::path log = dir.path() / "tool-output.txt";
    std::string line = "\"" + Tool().string() + "\" " + args + " > \"" + log.string() + "\" 2>&1";
#ifdef _WIN32
    // cmd.exe strips the first and last quote of a line that starts with one.
    int status = std::system(("\"" + line + "\"").c_str());
#else
    int status = std::system(line.c_str());
    status = (status >> 8) & 0xFF;  // the exit code of a normally ended shell
#endif
    if (output != nullptr) platform::readWholeFile(log, *output);
    return status;
  }

  std::string Quote(const std::filesystem::path& p) const { return "\"" + p.string() + "\""; }

  std::filesystem::path WritePlain(const std::string& text) {
    std::filesystem::path p = dir.path() / "plain.txt";
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }

#ifdef _WIN32
  static constexpr const char* kExe = ".exe";
#else
  static constexpr const char* kExe = "";
#endif
  lumotest::TempDir dir;
  std::filesystem::path folder;
  std::filesystem::path filterFile;
};

TEST_F(RoundTripTest, ToolWritesTheFileTheEngineReads) {
  ASSERT_TRUE(std::filesystem::exists(Tool())) << Tool();
  std::string output;
  ASSERT_EQ(Run("encode " + Quote(WritePlain(kPlain)) + " " + Quote(filterFile), &output), 0) << output;
  std::string onDisk;
  ASSERT_TRUE(platform::readWholeFile(filterFile, onDisk));
  EXPECT_EQ(onDisk.find("example"), std::string::npos) << "the file is enciphered";
  // Decode gives the text back byte for byte.
  std::filesystem::path back = dir.path() / "back.txt";
  ASSERT_EQ(Run("decode " + Quote(filterFile) + " " + Quote(back), &output), 0) << output;
  std::string text;
  ASSERT_TRUE(platform::readWholeFile(back, text));
  EXPECT_EQ(text, kPlain);

  // Initialize loads the file, once; Configure reads the hosts file and
  // builds the tables for game 12 in area 4.
  std::ofstream(dir.path() / "hosts", std::ios::binary) << "203.0.113.5 game.example.com\n";
  RecordingDriver driver;
  engine::ZuEngine zu(driver);
  zu.ruleLists().SetHostsPath(dir.path() / "hosts");
  ASSERT_TRUE(zu.Initialize(false));
  std::filesystem::remove(filterFile);
  engine::GAME_CONFIG game;
  game.gameId = 12;
  game.areaId = 4;
  ASSERT_TRUE(zu.Configure(engine::PROXY_CONFIG{}, game, 0));
  EXPECT_EQ(zu.LookupHostAddress("login.example.com"), platform::ipv4(203, 0, 113, 7));
  EXPECT_EQ(zu.LookupHostAddress("game.example.com"), platform::ipv4(203, 0, 113, 5));

  // The tables built from it (every line is in the file: decode gave it all
  // back; what each kind of line makes is filter_tables_test.cpp's).
  FilterTables& tables = zu.filterTables();
  EXPECT_EQ(tables.ClassifyDomain("game.example.com"), kClass1);
  EXPECT_EQ(tables.ClassifyDomain("login.example.com"), kClass2);
  EXPECT_TRUE(tables.IsSteerAddress(SocketAddress28::FromIpv4(platform::ipv4(203, 0, 113, 5))));

  zu.Shutdown(true);
  EXPECT_EQ(tables.ClassifyDomain("login.example.com"), kClass2) << "the filter tables outlive a stop";
}

TEST_F(RoundTripTest, CheckReportsDroppedLinesAndFilesTooLargeAndNoFailureWritesAnything) {
  std::filesystem::path plain = WritePlain(
      "0,0,2,80\n0,0,9,1\n\n0,0,5,1.2.3.4,80\n0,0,6,bad_host,1,b.example.com,2,1,0\n0,0,0,0,][(a|b){300},1,"
      "n\n");
  std::string output;
  EXPECT_EQ(Run("check --plain " + Quote(plain), &output), 1);
  EXPECT_NE(output.find(":2: dropped: unknown kind"), std::string::npos) << output;
  EXPECT_NE(output.find(":6: dropped: bad pattern ][(a|b){300}: a repetition count is above"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find(":1:"), std::string::npos) << output;

  ASSERT_EQ(Run("encode " + Quote(plain) + " " + Quote(filterFile)), 0);
  EXPECT_EQ(Run("check " + Quote(filterFile), &output), 1);
  EXPECT_NE(output.find(":2: dropped"), std::string::npos) << output;
  ASSERT_EQ(Run("encode " + Quote(WritePlain("0,0,2,80\n")) + " " + Quote(filterFile)), 0);
  EXPECT_EQ(Run("check " + Quote(filterFile), &output), 0) << output;

  // The engine ignores a file over its size limit: check says so instead of
  // listing lines, and encode refuses to write one. No failure leaves output.
  std::filesystem::path big = dir.path() / "big.txt";
  std::ofstream(big, std::ios::binary) << std::string(kLargestFilterFile + 1, 'A');
  EXPECT_EQ(Run("check " + Quote(big), &output), 1);
  EXPECT_NE(output.find("too large: " + std::to_string(kLargestFilterFile + 1) + " bytes"), std::string::npos)
      << output.substr(0, 500);

  const std::string line = "0,0,0,0,a-rather-long-name-for-a-steered-game-host.example.com,1,n\n";
  std::string text;
  while (EncipheredFileSize(text.size()) <= kLargestFilterFile) text += line;
  plain = WritePlain(text);
  std::filesystem::remove(filterFile);
  EXPECT_EQ(Run("check --plain " + Quote(plain), &output), 1);
  EXPECT_NE(output.find("too large"), std::string::npos) << output.substr(0, 500);
  EXPECT_EQ(Run("encode " + Quote(plain) + " " + Quote(filterFile), &output), 3);
  EXPECT_NE(output.find("nothing was written"), std::string::npos) << output;
  EXPECT_FALSE(std::filesystem::exists(filterFile));

  // Other failures leave no output either.
  std::filesystem::path out = dir.path() / "out.txt";
  EXPECT_EQ(Run("encode " + Quote(dir.path() / "missing.txt") + " " + Quote(out), &output), 3);
  EXPECT_NE(output.find("cannot read"), std::string::npos) << output;
  EXPECT_FALSE(std::filesystem::exists(out));
  // A folder that does not exist: nothing, not even a temporary file, appears.
  EXPECT_EQ(Run("encode " + Quote(WritePlain("0,0,2,80\n")) + " " + Quote(dir.path() / "no" / "out.txt")), 3);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "no"));
  EXPECT_EQ(Run("frobnicate"), 2);
}

}  // namespace
}  // namespace rules
