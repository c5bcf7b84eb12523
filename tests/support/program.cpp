#include "support/program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

extern char** environ;

namespace lumotest {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int leftMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

Program::~Program() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeFd(stdin_);
  closeFd(stdoutFd_);
}

bool Program::start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                    std::string& error) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  std::vector<std::string> env = environment, argText = argv;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string name = std::string(*e).substr(0, std::string(*e).find('=') + 1);
    if (std::none_of(environment.begin(), environment.end(),
                     [&](const std::string& mine) { return mine.rfind(name, 0) == 0; }))
      env.push_back(*e);
  }
  std::vector<char*> envp, args;
  for (std::string& e : env) envp.push_back(e.data());
  for (std::string& a : argText) args.push_back(a.data());
  envp.push_back(nullptr);
  args.push_back(nullptr);

  const std::string errorPath = (dir_.path() / "stderr").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 5, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 6);
  pid_t pid = -1;
  const int result = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  stdin_ = in[1];
  stdoutFd_ = out[0];
  if (result != 0) {
    error = "cannot start " + argv[0] + ": " + std::strerror(result);
    return false;
  }
  pid_ = pid;
  return true;
}

void Program::write(const std::string& text) {
  size_t done = 0;
  while (stdin_ >= 0 && done < text.size()) {
    const ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

bool Program::pump(int ms) {
  pollfd p{stdoutFd_, POLLIN, 0};
  if (stdoutFd_ < 0) return false;
  if (::poll(&p, 1, ms) <= 0) return true;
  char buffer[4096];
  const ssize_t n = ::read(stdoutFd_, buffer, sizeof buffer);
  if (n <= 0)
    closeFd(stdoutFd_);
  else
    stdout_.append(buffer, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> Program::line(int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (const size_t end = stdout_.find('\n'); end != std::string::npos) {
      std::string text = stdout_.substr(0, end);
      stdout_.erase(0, end + 1);
      return text;
    }
    const int left = leftMs(deadline);
    if (left == 0 || !pump(left)) return std::nullopt;
  }
}

int Program::finish(int ms) {
  closeFd(stdin_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (stdoutFd_ >= 0 && leftMs(deadline) > 0) pump(leftMs(deadline));
  if (pid_ <= 0) return -1;
  // The end of the program, waited for on its pidfd (without one, waited for
  // as long as it takes).
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  pollfd p{pidFd, POLLIN, 0};
  if (pidFd >= 0) ::poll(&p, 1, leftMs(deadline));
  int status = 0;
  const bool ended = ::waitpid(pid_, &status, pidFd >= 0 ? WNOHANG : 0) == pid_;
  if (pidFd >= 0) ::close(pidFd);
  if (!ended) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
  return !ended ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Program::stop(int ms) {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
  return finish(ms);
}

std::string Program::errors() const {
  std::ifstream file(dir_.path() / "stderr");
  return std::string(std::istreambuf_iterator<char>(file), {});
}

Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            const std::string& input, int ms) {
  Program p;
  Outcome o;
  if (!p.start(argv, environment, o.errors)) return o;
  p.write(input);
  o.status = p.finish(ms);
  o.output = p.output();
  o.errors = p.errors();
  return o;
}

}  // namespace lumotest
