// A client that ends without UnInit, or unloads the library with an engine
// alive, must end normally: exit_child.cpp leaves the engine in each state and
// returns from main; here each run must end with status 0. The deadline only
// catches a hang (a clean exit takes about a second).
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "driverless_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace {

constexpr auto kHangDeadline = std::chrono::seconds(60);

struct Outcome {
  bool ended = false;
  int status = -1;  // exit status, or -1 when killed by a signal
};

#ifdef _WIN32
// wine runs the test with Unix paths; Windows programs reach them on Z:.
std::string windowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

Outcome runChild(const std::vector<std::string>& args) {
  std::string line = "\"" + windowsPath(LUMO_EXIT_CHILD) + "\"";
  for (const std::string& a : args) line += " \"" + a + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  Outcome out;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return out;
  const DWORD ms = static_cast<DWORD>(std::chrono::milliseconds(kHangDeadline).count());
  if (WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    out.ended = true;
    out.status = static_cast<int>(code);
  } else {
    TerminateProcess(pi.hProcess, 99);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return out;
}
#else
Outcome runChild(const std::vector<std::string>& args) {
  std::vector<std::string> words = {LUMO_EXIT_CHILD};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  Outcome out;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return out;
  // waitpid has no time-out: it waits on its own thread, the test on it.
  auto waited = std::async(std::launch::async, [pid] {
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  });
  if (waited.wait_for(kHangDeadline) != std::future_status::ready)
    kill(pid, SIGKILL);
  else
    out.ended = true;
  const int status = waited.get();
  if (out.ended) out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
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
    const Outcome out = runChild(args);
    EXPECT_TRUE(out.ended) << "still running after the deadline: killed";
    EXPECT_EQ(out.status, 0);
  }
}
