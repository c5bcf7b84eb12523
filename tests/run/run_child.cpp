#include "run_child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace lumotest {

LumoRunProcess::~LumoRunProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool LumoRunProcess::start(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& environment, std::string& error) {
  std::vector<std::string> envTexts;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    bool replaced = false;
    for (const std::string& added : environment) {
      const size_t equals = added.find('=');
      if (text.compare(0, equals + 1, added, 0, equals + 1) == 0) replaced = true;
    }
    if (!replaced) envTexts.push_back(text);
  }
  envTexts.insert(envTexts.end(), environment.begin(), environment.end());

  std::vector<std::string> argvTexts{program};
  argvTexts.insert(argvTexts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(argvTexts.size() + 1);
  for (std::string& text : argvTexts) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(envTexts.size() + 1);
  for (std::string& text : envTexts) envp.push_back(text.data());
  envp.push_back(nullptr);

  const std::string out = (dir_.path() / "stdout.txt").string();
  const std::string err = (dir_.path() / "stderr.txt").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 5, "/dev/null", O_RDONLY, 0);
  // Nothing else: what lumo-run inherits is exactly known.
  posix_spawn_file_actions_addclosefrom_np(&actions, 6);
  const int result = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    pid_ = -1;
    error = "cannot start " + program;
    return false;
  }
  return true;
}

int LumoRunProcess::wait() {
  int status = 0;
  const bool ended =
      waitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(60));
  if (!ended) return -1;  // the destructor kills it
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::string LumoRunProcess::output() const { return readText((dir_.path() / "stdout.txt").string()); }
std::string LumoRunProcess::errorOutput() const { return readText((dir_.path() / "stderr.txt").string()); }

void adoptOrphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

std::vector<pid_t> childProcesses() {
  std::vector<pid_t> children;
  std::istringstream ids(readText("/proc/self/task/" + std::to_string(getpid()) + "/children"));
  for (pid_t id = 0; ids >> id;) children.push_back(id);
  return children;
}

std::string readText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace lumotest
