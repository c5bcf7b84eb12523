// Linux command lines: the line is split into words on spaces and tabs and
// started with posix_spawnp (found on PATH, no shell, so nothing in the line
// is interpreted). Standard input comes from /dev/null; a plain run sends its
// output to /dev/null too, as a hidden Windows process shows nothing. A child
// that outlives its wait is remembered and reaped by a later call, so no
// zombie piles up.
#include "platform/command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

extern char** environ;

namespace platform {
namespace {

std::mutex unreapedLock;
std::vector<pid_t> unreaped;

void reapFinished() {
  std::lock_guard<std::mutex> lock(unreapedLock);
  for (size_t i = 0; i < unreaped.size();) {
    if (waitpid(unreaped[i], nullptr, WNOHANG) != 0) {
      unreaped[i] = unreaped.back();
      unreaped.pop_back();
    } else {
      ++i;
    }
  }
}

void remember(pid_t pid) {
  std::lock_guard<std::mutex> lock(unreapedLock);
  unreaped.push_back(pid);
}

std::vector<std::string> splitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  for (char c : line) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

uint64_t nowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Waits up to timeoutMs for the child; true when it ended (and was reaped).
bool waitChild(pid_t pid, uint32_t timeoutMs) {
  const uint64_t start = nowMs();
  for (;;) {
    pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (nowMs() - start >= timeoutMs) return false;
    usleep(5000);
  }
}

// Starts the words of `line` with the given standard output and error (-1:
// /dev/null). Returns the child's id, or -1.
pid_t spawnLine(const std::string& line, int outputFd, int closeFd) {
  if (line.empty() || line.size() > kMaxCommandLine) return -1;
  std::vector<std::string> words = splitWords(line);
  if (words.empty()) return -1;
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
    posix_spawn_file_actions_addclose(&actions, outputFd);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  if (closeFd >= 0) posix_spawn_file_actions_addclose(&actions, closeFd);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

}  // namespace

bool runCommandLine(const std::string& line, uint32_t timeoutMs) {
  reapFinished();
  pid_t pid = spawnLine(line, -1, -1);
  if (pid < 0) return false;
  if (timeoutMs == 0 || !waitChild(pid, timeoutMs)) remember(pid);
  return true;
}

bool runCommandLineCaptured(const std::string& line, uint32_t timeoutMs, std::string& output) {
  output.clear();
  reapFinished();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pid_t pid = spawnLine(line, fds[1], fds[0]);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return false;
  }
  if (!waitChild(pid, timeoutMs)) remember(pid);
  // Take only what the pipe holds now, without blocking on a child that is
  // still running.
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL, 0) | O_NONBLOCK);
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n > 0) {
      output.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(fds[0]);
  return true;
}

}  // namespace platform
