#include "runner.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>

#include "descriptor.h"
#include "driver_process.h"
#include "flow_list.h"
#include "launch.h"
#include "lumo_library.h"
#include "node_check.h"

namespace run {
namespace {

constexpr int kStepFailed = 125;
constexpr int kCannotRun = 126;
constexpr int kNotFound = 127;
// How long the node has to accept a connection, and a started driver to
// report that it serves.
constexpr std::chrono::milliseconds kNodePatience(3000);
constexpr std::chrono::milliseconds kDriverPatience(3000);
// How long a driver that --stop-driver ends has after SIGTERM.
constexpr std::chrono::milliseconds kDriverStopPatience(5000);
// The one-second message is 12 bytes: u32 message, u32 sent, u32 received,
// little-endian.
constexpr size_t kNotificationSize = 12;

// One line on standard error in one write, so that it does not interleave
// with the program's own output mid-line.
void printLine(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void sayError(const std::string& line) { printLine("lumo-run: " + line); }

std::string errorText(int error) { return strerror(error); }

uint32_t littleEndian32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The folder of lumo-run's own executable.
std::string ownFolder() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  return folderOf(std::string(path, static_cast<size_t>(n)));
}

// The absolute, link-free form of an existing file's path.
bool realPath(const std::string& path, std::string& resolved, std::string& reason) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) {
    reason = errorText(errno);
    return false;
  }
  resolved = real;
  free(real);
  return true;
}

class Runner {
 public:
  Runner(const RunOptions& options, const RunConfig& config, const RunStartup& startup)
      : options_(options), config_(config), startup_(startup) {}

  int run() {
    int status = setUp();
    if (status < 0) status = superviseProgram();
    tearDown();
    return status;
  }

 private:
  // The steps up to the program's launch. -1 when the program runs,
  // otherwise the status to exit with.
  int setUp() {
    std::string error;
    std::string reason;
    std::string wanted = options_.libraryPath.empty() ? ownFolder() + "/liblumo.so" : options_.libraryPath;
    std::string libraryPath;
    if (!realPath(wanted, libraryPath, reason)) return fail("the engine library " + wanted + ": " + reason);
    libraryFolder_ = folderOf(libraryPath);

    wanted = options_.capturePath.empty() ? libraryFolder_ + "/liblumo-capture.so" : options_.capturePath;
    if (!realPath(wanted, capturePath_, reason)) {
      return fail("the capture library " + wanted + ": " + reason +
                  (options_.capturePath.empty() ? " (give --capture PATH)" : ""));
    }
    // LD_PRELOAD separates its entries with spaces and colons.
    if (capturePath_.find_first_of(" :") != std::string::npos)
      return fail("the capture library's path holds a space or ':', which LD_PRELOAD cannot carry: " +
                  capturePath_);

    // The engine library, lumo-driver and the program all find the driver
    // through LUMO_DRIVER_DIR once it is set here, before any thread runs.
    driverFolder_ = driverFolder();
    setenv("LUMO_DRIVER_DIR", driverFolder_.c_str(), 1);
    driverSocket_ = driverSocketPath(driverFolder_);

    if (!library_.load(libraryPath, error)) return fail(error);
    if (const int signal = takeStopSignal()) return interrupted(signal);

    const std::string nodeText = config_.nodeAddressText + ":" + std::to_string(config_.socksPort);
    if (!nodeAnswers(config_.nodeAddress, config_.socksPort, kNodePatience, reason))
      return fail("node " + nodeText + " cannot be reached: " + reason);

    if (!socketAccepts(driverSocket_, reason) && options_.startDriver) {
      if (!driver_.start(libraryFolder_ + "/lumo-driver", driverFolder_, kDriverPatience, error))
        return fail(error);
      if (!options_.quiet) {
        printLine("lumo-run: started lumo-driver (pid " + std::to_string(driver_.pid()) + ", log " +
                  driver_.logPath() + ")");
      }
    }
    if (const int signal = takeStopSignal()) return interrupted(signal);

    return startEngine();
  }

  // Init, SetConfig, Start, then the program.
  int startEngine() {
    engineCreated_ = true;
    const uint32_t restart = config_.restartDriver ? 1 : 0;
    if (!library_.Init(restart)) {
      std::string reason;
      if (socketAccepts(driverSocket_, reason)) {
        // The driver serves one engine at a time and turns the others away.
        return fail("Init failed, although lumo-driver answers on " + driverSocket_ +
                    " (is another engine using it?" +
                    (driver_.running() ? " see " + driver_.logPath() + ")" : std::string(")")));
      }
      return fail("Init failed: the engine reached no driver: nothing answers on " + driverSocket_ + " (" +
                  reason + ")" +
                  (options_.startDriver ? "" : "; lumo-driver was not started (--no-driver-start)"));
    }

    // A datagram socket pair: each one-second message arrives whole, and the
    // engine's end takes a message without blocking or drops it.
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0)
      return fail("cannot make the notification socket pair: " + errorText(errno));
    notifyRead_.reset(pair[0]);
    notifyWrite_.reset(pair[1]);

    // SetConfig lower-cases the names in place; the array is ours.
    std::vector<LUMO_PROCESS_ENTRY> entries(config_.processes.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      const std::string& name = config_.processes[i];
      memcpy(entries[i].name, name.c_str(), name.size() + 1);
      entries[i].value = 0;
    }
    // The engine keeps the node address and ports as they come: network order.
    if (!library_.SetConfig("lumo-run", 0, config_.user.c_str(), 0, config_.password.c_str(), 0,
                            entries.data(), static_cast<int32_t>(entries.size()), config_.processLimit,
                            config_.rules.c_str(), config_.nodeAddress, htons(config_.socksPort),
                            htons(config_.udpPort), config_.gameId, config_.areaId,
                            static_cast<uintptr_t>(notifyWrite_.get()), 0)) {
      return fail("SetConfig refused the configuration");
    }
    engineStarted_ = true;
    if (!library_.Start(config_.tcp, config_.udp, config_.udpProxyAll, config_.adapter,
                        config_.forceUdpDirect, restart)) {
      return fail("Start failed");
    }
    if (const int signal = takeStopSignal()) return interrupted(signal);
    return launch();
  }

  int launch() {
    LaunchRequest request;
    request.argv = options_.program;
    request.searchPath = true;
    request.environment = programEnvironment(currentEnvironment(), capturePath_, driverFolder_);
    for (int fd : startup_.inheritedDescriptors) {
      if (fd > 2) request.keepDescriptors.push_back(fd);
    }
    const int failure = launchProgram(request, programPid_);
    if (failure == ENOENT) {
      sayError(options_.program[0] + ": not found");
      return kNotFound;
    }
    if (failure != 0) {
      sayError(options_.program[0] + " cannot be run: " + errorText(failure));
      return kCannotRun;
    }
    return -1;
  }

  // Waits for the program to end, showing the counters and passing signals
  // on. Returns the program's status.
  int superviseProgram() {
    if (options_.flows) {
      flowTimer_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
      const itimerspec everySecond{{1, 0}, {1, 0}};
      if (flowTimer_.get() >= 0) timerfd_settime(flowTimer_.get(), 0, &everySecond, nullptr);
      flowList_ = std::make_unique<FlowListReader>(captureSocketPath(driverFolder_));
    }
    checkChildren();
    while (!programEnded_) {
      pollfd waiting[4] = {{startup_.signalFd, POLLIN, 0},
                           {notifyRead_.get(), POLLIN, 0},
                           {flowTimer_.get(), POLLIN, 0},
                           {flowList_ ? flowList_->descriptor() : -1, POLLIN, 0}};
      if (poll(waiting, 4, -1) < 0) {
        if (errno == EINTR) continue;
        // Nothing else wakes this loop: wait for the program as such.
        sayError("poll failed: " + errorText(errno) + "; waiting for the program");
        if (waitpid(programPid_, &programStatus_, 0) == programPid_) programEnded_ = true;
        break;
      }
      // The counters first: a message that came before the program ended is
      // shown before the run ends.
      if (waiting[1].revents != 0) showNotifications();
      if (waiting[2].revents != 0) {
        uint64_t expirations = 0;
        if (read(flowTimer_.get(), &expirations, sizeof expirations) > 0) showFlowRead();
      }
      if (waiting[3].revents != 0) printLines(flowList_->read());
      if (waiting[0].revents != 0) handleSignals();
    }
    return programEnded_ ? exitStatusOf(programStatus_) : kStepFailed;
  }

  void handleSignals() {
    signalfd_siginfo info;
    while (read(startup_.signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (info.ssi_signo == SIGCHLD) {
        checkChildren();
        continue;
      }
      // A terminal sends SIGINT (Ctrl-C) and SIGHUP to its whole foreground
      // process group, the program included (it stays in lumo-run's group):
      // passing such a signal on would deliver it twice.
      if (info.ssi_code == SI_KERNEL) continue;
      if (!programEnded_) kill(programPid_, static_cast<int>(info.ssi_signo));
    }
  }

  // Reaps the program and a driver this run started, only by their ids: the
  // engine library reaps the commands it runs itself.
  void checkChildren() {
    if (!programEnded_ && programPid_ > 0 && waitpid(programPid_, &programStatus_, WNOHANG) == programPid_)
      programEnded_ = true;
    // Init(1) restarts the driver this run started; a driver that ends by
    // itself takes steering with it. Either way it is said, nothing more.
    const pid_t driverPid = driver_.pid();
    std::string how;
    if (driver_.reapIfEnded(how))
      sayError("the lumo-driver this run started (pid " + std::to_string(driverPid) + ") " + how);
  }

  // Before the program starts: a pending SIGINT, SIGTERM or SIGHUP ends the
  // run (returned), a SIGCHLD is looked into.
  int takeStopSignal() {
    signalfd_siginfo info;
    int stopSignal = 0;
    while (read(startup_.signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (info.ssi_signo == SIGCHLD) {
        checkChildren();
      } else if (stopSignal == 0) {
        stopSignal = static_cast<int>(info.ssi_signo);
      }
    }
    return stopSignal;
  }

  void showNotifications() {
    unsigned char message[kNotificationSize + 1];
    for (;;) {
      const ssize_t n = recv(notifyRead_.get(), message, sizeof message, MSG_DONTWAIT);
      if (n < 0) break;
      if (n != static_cast<ssize_t>(kNotificationSize) || littleEndian32(message) != LUMO_COUNTERS_MESSAGE)
        continue;
      const uint32_t sent = littleEndian32(message + 4);
      const uint32_t received = littleEndian32(message + 8);
      totalSent_ += sent;
      totalReceived_ += received;
      if (!options_.quiet) {
        printLine("lumo: sent " + formatBytes(sent) + "/s received " + formatBytes(received) +
                  "/s (total sent " + formatBytes(totalSent_) + " received " + formatBytes(totalReceived_) +
                  ")");
      }
    }
  }

  // GetFlow hands over, and clears, what was counted since its previous read
  // or the last one-second message; the message will not carry these bytes.
  void showFlowRead() {
    uint32_t sent = 0;
    uint32_t received = 0;
    library_.GetFlow(&sent, &received);
    totalSent_ += sent;
    totalReceived_ += received;
    printLine("lumo: GetFlow: sent " + std::to_string(sent) + " B received " + std::to_string(received) +
              " B since its previous read or the last one-second line");
    // The list of flows comes from lumo-driver, a moment later.
    if (flowList_) printLines(flowList_->ask());
  }

  // Several lines in one write, so that the program's output does not land
  // among them.
  static void printLines(const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }

  void tearDown() {
    if (engineStarted_) library_.Stop(0);
    if (engineCreated_) {
      // Stop has ended the one-second messages: what is queued is all there
      // is, and GetFlow still holds what came after the last of them.
      if (notifyRead_.get() >= 0) showNotifications();
      uint32_t sent = 0;
      uint32_t received = 0;
      library_.GetFlow(&sent, &received);
      totalSent_ += sent;
      totalReceived_ += received;
      library_.UnInit(0);
    }
    notifyRead_.reset();
    notifyWrite_.reset();
    if (programPid_ > 0 && !options_.quiet) {
      printLine("lumo: total sent " + formatBytes(totalSent_) + " received " + formatBytes(totalReceived_));
    }
    if (options_.stopDriver && driver_.running()) {
      const pid_t pid = driver_.pid();
      const std::string how = driver_.stop(kDriverStopPatience);
      if (!options_.quiet) printLine("lumo-run: lumo-driver (pid " + std::to_string(pid) + ") " + how);
    }
  }

  int fail(const std::string& error) {
    sayError(error);
    return kStepFailed;
  }

  int interrupted(int signal) {
    sayError(std::string("stopped by ") + strsignal(signal) + " before the program started");
    return 128 + signal;
  }

  const RunOptions& options_;
  const RunConfig& config_;
  const RunStartup& startup_;

  LumoLibrary library_;
  DriverProcess driver_;
  std::string libraryFolder_;
  std::string capturePath_;
  std::string driverFolder_;
  std::string driverSocket_;
  // Init was called (the engine may exist), Start was called.
  bool engineCreated_ = false;
  bool engineStarted_ = false;
  Descriptor notifyRead_;
  Descriptor notifyWrite_;
  Descriptor flowTimer_;
  std::unique_ptr<FlowListReader> flowList_;
  pid_t programPid_ = -1;
  bool programEnded_ = false;
  int programStatus_ = 0;
  uint64_t totalSent_ = 0;
  uint64_t totalReceived_ = 0;
};

}  // namespace

int runLumo(const RunOptions& options, const RunConfig& config, const RunStartup& startup) {
  Runner runner(options, config, startup);
  return runner.run();
}

}  // namespace run
