// A client that ends without UnInit, or unloads the library with an engine
// alive, must end normally: exit_child.cpp leaves the engine in each state and
// returns from main; here each run must end with status 0. The deadline only
// catches a hang (a clean exit takes about a second).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driverless_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "support/program.h"
#endif

namespace {

constexpr int kHangDeadlineMs = 60000;

// The child's exit status (on Linux 128 + the signal that ended it); -1 when
// it could not start, or was still running at the deadline and was killed.
#ifdef _WIN32
// wine runs the test with Unix paths; Windows programs reach them on Z:.
std::string windowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

int runChild(const std::vector<std::string>& args) {
  std::string line = "\"" + windowsPath(LUMO_EXIT_CHILD) + "\"";
  for (const std::string& a : args) line += " \"" + a + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return -1;
  DWORD code = 0;
  const bool ended = WaitForSingleObject(pi.hProcess, kHangDeadlineMs) == WAIT_OBJECT_0;
  if (ended)
    GetExitCodeProcess(pi.hProcess, &code);
  else
    TerminateProcess(pi.hProcess, 99);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return ended ? static_cast<int>(code) : -1;
}
#else
int runChild(std::vector<std::string> args) {
  args.insert(args.begin(), LUMO_EXIT_CHILD);
  return lumotest::run(args, {}, {}, kHangDeadlineMs).status;
}
#endif

}  // namespace

TEST(ExitWithoutUnInit, EveryStateEndsTheProcessNormally) {
  const std::vector<std::vector<std::string>> runs = {
      {"init"},
      {"start"},
      {"stop"},
      {"driver"},
      {"load", lumotest::driverlessLibrary()},
      {"load-stop", lumotest::driverlessLibrary()},
      {"unload", lumotest::driverlessLibrary()},
  };
  for (const auto& args : runs) {
    SCOPED_TRACE(args.front());
    EXPECT_EQ(runChild(args), 0) << "-1: still running after the deadline, killed";
  }
}
