// Linux has no service manager: the system's manager is one process-wide
// MemoryServiceManager over the in-memory registry, with one exception. The
// driver service "LumoDriverSys" is the driver process lumo-driver, found in
// the library's own folder: starting the service starts that program
// (detached, in its own session, standard error to lumo-driver.log in the
// runtime folder) and waits until it serves its device; stopping it sends
// SIGTERM to the process that holds the driver's pid file and waits for it to
// end; the service is running while some process holds that file's lock. A
// simulation attached to the name (attachSimulatedService, the tests and the
// demo) takes precedence over the process.
#include "platform/services.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/device.h"
#include "platform/driver_runtime_dir.h"
#include "platform/module.h"
#include "platform/posix/unique_fd.h"
#include "platform/registry.h"
#include "platform/text.h"

extern char** environ;

namespace platform {
namespace {

thread_local uint32_t threadLastError = 0;

constexpr std::u16string_view kDriverService = u"lumodriversys";  // lower case, as names are compared
constexpr const char* kDriverProgram = "lumo-driver";
// How long a start waits for the driver to serve its device, and a stop for
// it to end after SIGTERM (then after SIGKILL).
constexpr int kStartWaitMs = 3000;
constexpr int kStopWaitMs = 5000;
constexpr int kKillWaitMs = 1000;

std::filesystem::path driverProgram() { return libraryFolder() / kDriverProgram; }

bool driverProgramPresent() { return ::access(driverProgram().c_str(), X_OK) == 0; }

// The driver that serves the runtime folder: the process holding the write
// lock of its pid file (held for the driver's life, released by the system
// however it ends, so a stale file never counts). pid 0: none.
pid_t runningDriver() {
  UniqueFd file(::open(pidFilePath().c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return 0;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (::fcntl(file.get(), F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return 0;
  return probe.l_pid > 0 ? probe.l_pid : 0;
}

// `fd` moved above the standard descriptors (close-on-exec), so that the
// child's dup2 onto 0 to 3 never overwrites one it still has to copy.
UniqueFd above(UniqueFd fd) {
  if (!fd.valid()) return fd;
  return UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 10));
}

// Starts lumo-driver detached: a double fork leaves it to init (no zombie
// here when it ends, nothing of it in the caller's process group), with no
// descriptor of the caller but the three standard ones and the ready pipe.
// Waits until it reports that it serves the device. 0, or the error to give.
uint32_t startDriverProcess() {
  const std::string program = driverProgram().string();
  if (!driverProgramPresent()) return kErrorServiceDoesNotExist;
  const std::string dir = runtimeDir();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(dir).parent_path(), ec);
  ::mkdir(dir.c_str(), 0700);  // the driver checks the folder itself

  UniqueFd devNull = above(UniqueFd(::open("/dev/null", O_RDWR | O_CLOEXEC)));
  UniqueFd log = above(
      UniqueFd(::open((dir + "/lumo-driver.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)));
  int pipeEnds[2];
  if (!devNull.valid() || ::pipe2(pipeEnds, O_CLOEXEC) != 0) return kErrorServiceStartFailed;
  UniqueFd readyRead(pipeEnds[0]);
  UniqueFd readyWrite = above(UniqueFd(pipeEnds[1]));
  if (!readyWrite.valid()) return kErrorServiceStartFailed;

  // Everything the children need is made before the fork: between fork and
  // exec only async-signal-safe calls are allowed.
  constexpr int kReadyFd = 3;
  std::string dirArg = dir, fdArg = std::to_string(kReadyFd), dirOption = "--dir", fdOption = "--ready-fd";
  std::string programArg = program;
  char* argv[] = {programArg.data(), dirOption.data(), dirArg.data(), fdOption.data(), fdArg.data(), nullptr};
  rlimit files{};
  const int maxFd = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536
                        ? static_cast<int>(files.rlim_cur)
                        : 65536;
  sigset_t noSignals;
  sigemptyset(&noSignals);
  const int stdErr = log.valid() ? log.get() : devNull.get();

  const pid_t middle = ::fork();
  if (middle < 0) return kErrorServiceStartFailed;
  if (middle == 0) {
    if (::fork() != 0) ::_exit(0);  // the grandchild goes on, the middle one ends at once
    ::setsid();
    ::dup2(devNull.get(), STDIN_FILENO);
    ::dup2(devNull.get(), STDOUT_FILENO);
    ::dup2(stdErr, STDERR_FILENO);
    ::dup2(readyWrite.get(), kReadyFd);
    // Nothing else of the caller's reaches the driver.
    if (::syscall(SYS_close_range, kReadyFd + 1, ~0u, CLOSE_RANGE_CLOEXEC) != 0)
      for (int fd = kReadyFd + 1; fd < maxFd; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
    ::execve(argv[0], argv, environ);
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  readyWrite.reset();  // only the driver holds the write end now

  // One byte once it serves; the end of the pipe without it when it could not
  // start (it exited, or exec failed).
  pollfd p{readyRead.get(), POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return kErrorServiceStartFailed;
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 1) return kErrorServiceStartFailed;
    char byte = 0;
    return ::read(readyRead.get(), &byte, 1) == 1 ? 0 : kErrorServiceStartFailed;
  }
}

// Waits up to `ms` for process `pid` to end; true when it did.
bool waitForExit(pid_t pid, int ms) {
  UniqueFd handle(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (handle.valid()) {
    pollfd p{handle.get(), POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, ms);
    } while (ready < 0 && errno == EINTR);
    return ready == 1;
  }
  if (errno == ESRCH) return true;
  // A kernel without process descriptors: look again every 20 ms.
  for (int waited = 0; waited < ms; waited += 20) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// SIGTERM to the running driver and a wait for it to end (SIGKILL when it
// does not within kStopWaitMs).
void stopDriverProcess() {
  const pid_t pid = runningDriver();
  if (pid == 0) return;
  if (::kill(pid, SIGTERM) != 0) return;
  if (waitForExit(pid, kStopWaitMs)) return;
  ::kill(pid, SIGKILL);
  waitForExit(pid, kKillWaitMs);
}

// The system's manager on Linux: the in-memory one, with the driver service
// played by the driver process unless a simulation is attached to it.
class LinuxServiceManager final : public MemoryServiceManager {
 public:
  LinuxServiceManager() : MemoryServiceManager(systemRegistry()) {}

  uint32_t create(const ServiceDefinition& definition) override {
    if (!isDriverProcess(definition.name)) return MemoryServiceManager::create(definition);
    // The program stands for the registration: there is nothing to create.
    return exists() ? kErrorServiceExists : kErrorFileNotFound;
  }

  uint32_t remove(std::u16string_view name) override {
    if (!isDriverProcess(name)) return MemoryServiceManager::remove(name);
    if (!exists()) return kErrorServiceDoesNotExist;
    stopDriverProcess();
    return 0;
  }

  uint32_t start(std::u16string_view name) override {
    if (!isDriverProcess(name)) return MemoryServiceManager::start(name);
    if (runningDriver() != 0) return kErrorServiceAlreadyRunning;
    return startDriverProcess();
  }

  uint32_t stop(std::u16string_view name) override {
    if (!isDriverProcess(name)) return MemoryServiceManager::stop(name);
    if (!exists()) return kErrorServiceDoesNotExist;
    stopDriverProcess();
    return 0;
  }

  uint32_t queryState(std::u16string_view name, ServiceState& state) override {
    if (!isDriverProcess(name)) return MemoryServiceManager::queryState(name, state);
    if (runningDriver() != 0) {
      state = ServiceState::kRunning;
      return 0;
    }
    if (!driverProgramPresent()) return kErrorServiceDoesNotExist;
    state = ServiceState::kStopped;
    return 0;
  }

  uint32_t queryProcessId(std::u16string_view name, uint32_t& processId) override {
    if (!isDriverProcess(name)) return MemoryServiceManager::queryProcessId(name, processId);
    processId = static_cast<uint32_t>(runningDriver());
    return processId != 0 || driverProgramPresent() ? 0 : kErrorServiceDoesNotExist;
  }

 private:
  bool isDriverProcess(std::u16string_view name) const {
    return toLowerAscii(name) == kDriverService && !attached(name);
  }
  // The service is there while its program is beside the library or a
  // driver runs (one started by hand counts too).
  static bool exists() { return driverProgramPresent() || runningDriver() != 0; }
};

LinuxServiceManager& linuxManager() {
  static LinuxServiceManager manager;
  return manager;
}

}  // namespace

ServiceManager& systemServiceManager() { return linuxManager(); }

uint32_t lastSystemError() { return threadLastError; }
void setLastSystemError(uint32_t error) { threadLastError = error; }

bool attachSimulatedService(std::u16string_view name, std::function<bool()> onStart, std::function<void()> onStop) {
  return linuxManager().attach(name, std::move(onStart), std::move(onStop));
}

}  // namespace platform
