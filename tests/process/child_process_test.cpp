// Linux only: real child processes of the test, found in process snapshots
// by their executable name. (Windows runs the snapshot on itself in
// process_selection_test.cpp; spawning here uses POSIX calls.)
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "platform/process_list.h"
#include "platform/text.h"
#include "process/process_selection.h"
#include "support/test_support.h"

extern char** environ;

namespace {

// A copy of sleep(1) under a name of the test's own, run as a child.
struct NamedChild {
  explicit NamedChild(std::string path) {
    char* argv[] = {path.data(), const_cast<char*>("30"), nullptr};
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) pid = -1;
  }
  ~NamedChild() { end(); }
  void end() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  pid_t pid = -1;
};

// A child is found by its name in any letter case, still by its name once
// its executable is deleted (/proc marks the link " (deleted)", which is not
// part of the name), and no more once it ended.
TEST(ChildProcesses, FoundByNameUntilTheyEndEvenWithTheProgramDeleted) {
  lumotest::TempDir dir;
  const std::string name = "LumoProbe" + std::to_string(std::random_device{}() % 1000000);
  const auto program = dir.path() / name;
  std::error_code ec;
  std::filesystem::copy_file("/bin/sleep", program, ec);
  ASSERT_FALSE(ec) << ec.message();
  std::filesystem::permissions(program, std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  NamedChild child(program.string());
  ASSERT_GT(child.pid, 0);
  const std::u16string lowerName = platform::utf8ToUtf16(platform::toLowerAscii(name));
  // Found once the child runs the copied program (after exec).
  ASSERT_TRUE(lumotest::waitFor([&] { return process::FindProcessIdByName(lowerName) == child.pid; }));
  std::filesystem::remove(program);
  EXPECT_EQ(process::FindProcessIdByName(platform::utf8ToUtf16(name)), child.pid);
  child.end();
  EXPECT_EQ(process::FindProcessIdByName(platform::utf8ToUtf16(name)), -1);
}

}  // namespace
#endif
