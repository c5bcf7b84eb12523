// Programs start through posix_spawn, which reports a program that is missing
// or cannot be run as the call's own error (glibc waits for the exec in the
// child), so lumo-run can say which it was instead of seeing an exit status.
#include "launch.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

extern char** environ;

namespace run {
namespace {

// Owns posix_spawn's two attribute objects for one launch.
class SpawnSettings {
 public:
  SpawnSettings() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

bool hasName(const std::string& entry, const char* name) {
  const size_t length = strlen(name);
  return entry.size() > length && entry.compare(0, length, name) == 0 && entry[length] == '=';
}

}  // namespace

const int kHandledSignals[5] = {SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE};

void ensureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    // open returns the lowest free number, which is this one.
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) close(opened);
  }
}

std::vector<int> openDescriptors() {
  std::vector<int> fds;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return {0, 1, 2};
  const int own = dirfd(dir);
  while (const dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const long fd = strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    fds.push_back(static_cast<int>(fd));
  }
  closedir(dir);
  std::sort(fds.begin(), fds.end());
  return fds;
}

int launchProgram(const LaunchRequest& request, pid_t& pid) {
  if (request.argv.empty()) return EINVAL;
  SpawnSettings settings;

  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&settings.attributes, &signals);
  for (int handled : kHandledSignals) sigaddset(&signals, handled);
  posix_spawnattr_setsigdefault(&settings.attributes, &signals);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (request.newSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&settings.attributes, flags);

  // The standard streams and descriptor 3 first, then every other descriptor
  // goes except the ones to keep. Closing a number that is not open is no
  // error here. dup2 onto the same number clears close-on-exec as well.
  const int streams[3] = {request.stdinFd, request.stdoutFd, request.stderrFd};
  for (int target = 0; target <= 2; ++target) {
    if (streams[target] >= 0) posix_spawn_file_actions_adddup2(&settings.actions, streams[target], target);
  }
  std::vector<int> keep = request.keepDescriptors;
  if (request.descriptor3 >= 0) {
    posix_spawn_file_actions_adddup2(&settings.actions, request.descriptor3, 3);
    keep.push_back(3);
  }
  std::sort(keep.begin(), keep.end());
  int next = 3;
  for (int fd : keep) {
    if (fd < next) continue;
    for (; next < fd; ++next) posix_spawn_file_actions_addclose(&settings.actions, next);
    next = fd + 1;
  }
  posix_spawn_file_actions_addclosefrom_np(&settings.actions, next);

  std::vector<std::string> argvTexts = request.argv;
  std::vector<std::string> environmentTexts = request.environment;
  std::vector<char*> argv = pointersTo(argvTexts);
  std::vector<char*> envp = pointersTo(environmentTexts);
  auto spawn = request.searchPath ? posix_spawnp : posix_spawn;
  return spawn(&pid, argv[0], &settings.actions, &settings.attributes, argv.data(), envp.data());
}

std::vector<std::string> currentEnvironment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) entries.emplace_back(*entry);
  return entries;
}

std::vector<std::string> programEnvironment(const std::vector<std::string>& base,
                                            const std::string& capturePath, const std::string& driverFolder) {
  std::vector<std::string> entries;
  std::string preload = capturePath;
  bool preloadSeen = false;
  for (const std::string& entry : base) {
    if (hasName(entry, "LD_PRELOAD")) {
      // Should the environment hold LD_PRELOAD twice, the first is kept (as
      // getenv would see it); an empty one adds nothing.
      const std::string existing = entry.substr(sizeof "LD_PRELOAD=" - 1);
      if (!preloadSeen && !existing.empty()) preload += ":" + existing;
      preloadSeen = true;
    } else if (!hasName(entry, "LUMO_DRIVER_DIR")) {
      entries.push_back(entry);
    }
  }
  entries.push_back("LD_PRELOAD=" + preload);
  entries.push_back("LUMO_DRIVER_DIR=" + driverFolder);
  return entries;
}

std::string describeWaitStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
  if (WIFSIGNALED(waitStatus)) {
    const int signal = WTERMSIG(waitStatus);
    const char* name = strsignal(signal);
    return "ended by signal " + std::to_string(signal) +
           (name != nullptr ? " (" + std::string(name) + ")" : "");
  }
  return "ended (wait status " + std::to_string(waitStatus) + ")";
}

int exitStatusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return 1;
}

}  // namespace run
