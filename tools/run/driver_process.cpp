#include "driver_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "descriptor.h"
#include "launch.h"

namespace run {
namespace {

// The engine's control device is "\\.\CtrlDSLumoDriverSys"; lumo-driver
// serves it on a socket of that name in the driver folder.
constexpr char kDeviceName[] = "CtrlDSLumoDriverSys";
constexpr char kLogName[] = "lumo-driver.log";
// The descriptor on which lumo-driver reports that it serves (--ready-fd).
constexpr int kReadyDescriptor = 3;

int64_t millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? left.count() : 0;
}

std::string errorText(int error) { return strerror(error); }

// Makes `folder` and its missing parents (mode 0700), then checks that it is
// a folder of this user's: the driver's socket and log go there, and another
// user's folder could hand them to that user.
bool prepareFolder(const std::string& folder, std::string& error) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      error = "cannot make the driver folder " + part + ": " + errorText(errno);
      return false;
    }
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = "the driver folder " + folder + " is not a folder";
    return false;
  }
  if (info.st_uid != geteuid()) {
    error = "the driver folder " + folder + " belongs to user " + std::to_string(info.st_uid) +
            ", not to this one (set LUMO_DRIVER_DIR to a folder of your own)";
    return false;
  }
  return true;
}

// The last non-empty line the log gained after `offset` (what the driver
// wrote this time), at most 200 bytes of it.
std::string lastLogLine(const std::string& path, off_t offset) {
  Descriptor log(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (log.get() < 0) return {};
  const off_t size = lseek(log.get(), 0, SEEK_END);
  constexpr off_t kTail = 4096;
  const off_t from = size - offset > kTail ? size - kTail : offset;
  if (size <= from) return {};
  std::string tail(static_cast<size_t>(size - from), '\0');
  const ssize_t n = pread(log.get(), tail.data(), tail.size(), from);
  tail.resize(n > 0 ? static_cast<size_t>(n) : 0);
  while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r')) tail.pop_back();
  const size_t start = tail.rfind('\n');
  std::string line = start == std::string::npos ? tail : tail.substr(start + 1);
  return line.substr(0, 200);
}

}  // namespace

std::string driverFolder() {
  if (const char* dir = std::getenv("LUMO_DRIVER_DIR"); dir != nullptr && *dir != '\0') return dir;
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && *xdg != '\0')
    return std::string(xdg) + "/lumo";
  if (geteuid() == 0) return "/run/lumo";
  return "/tmp/lumo-" + std::to_string(geteuid());
}

std::string driverSocketPath(const std::string& folder) { return folder + "/" + kDeviceName; }

std::string captureSocketPath(const std::string& folder) { return folder + "/capture"; }

bool socketAccepts(const std::string& path, std::string& reason) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    reason = "the path is too long for a Unix socket";
    return false;
  }
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  // lumo-driver's device socket takes sequenced packets; should a socket of
  // the other kind be there, a stream socket is tried too, so that the reason
  // given is about the socket's state, not its type. The driver takes the
  // probe for a library that went before it was served.
  for (int type : {SOCK_SEQPACKET, SOCK_STREAM}) {
    Descriptor probe(socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (probe.get() < 0) {
      reason = errorText(errno);
      return false;
    }
    if (connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    // A full backlog still means that something listens there.
    if (errno == EAGAIN) return true;
    if (errno != EPROTOTYPE) {
      reason = errorText(errno);
      return false;
    }
  }
  reason = errorText(EPROTOTYPE);
  return false;
}

DriverProcess::~DriverProcess() {
  std::string how;
  reapIfEnded(how);
}

bool DriverProcess::start(const std::string& program, const std::string& folder,
                          std::chrono::milliseconds patience, std::string& error) {
  if (access(program.c_str(), X_OK) != 0) {
    error = "lumo-driver cannot be started: " + program + ": " + errorText(errno) +
            " (start it yourself, or give --no-driver-start)";
    return false;
  }
  if (!prepareFolder(folder, error)) return false;
  logPath_ = folder + "/" + kLogName;
  // O_NOFOLLOW: a link put in place of the log is not followed to some other
  // file that the driver's output would then grow.
  Descriptor log(open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600));
  Descriptor nothing(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (log.get() < 0 || nothing.get() < 0) {
    error = "cannot open the driver log " + logPath_ + ": " + errorText(errno);
    return false;
  }
  const off_t logStart = lseek(log.get(), 0, SEEK_END);
  // The driver writes one byte to its ready descriptor once it serves the
  // device; the pipe's end of file without that byte means it gave up.
  int readyPipe[2];
  if (pipe2(readyPipe, O_CLOEXEC) != 0) {
    error = "lumo-driver cannot be started: pipe: " + errorText(errno);
    return false;
  }
  Descriptor readyRead(readyPipe[0]);
  Descriptor readyWrite(readyPipe[1]);

  LaunchRequest request;
  request.argv = {program, "--dir", folder, "--ready-fd", std::to_string(kReadyDescriptor)};
  request.environment = currentEnvironment();
  request.stdinFd = nothing.get();
  request.stdoutFd = log.get();
  request.stderrFd = log.get();
  request.descriptor3 = readyWrite.get();
  request.newSession = true;
  pid_t pid = -1;
  if (const int failure = launchProgram(request, pid); failure != 0) {
    error = "lumo-driver cannot be started: " + program + ": " + errorText(failure);
    return false;
  }
  pid_ = pid;
  readyWrite.reset();

  const auto deadline = std::chrono::steady_clock::now() + patience;
  pollfd ready{readyRead.get(), POLLIN, 0};
  int polled = 0;
  do {
    polled = poll(&ready, 1, static_cast<int>(millisecondsUntil(deadline)));
  } while (polled < 0 && errno == EINTR);
  char byte = 0;
  const ssize_t n = polled > 0 ? read(readyRead.get(), &byte, 1) : -1;
  if (n == 1) return true;

  // End of file: the driver has ended or is ending; it has until the deadline.
  int status = 0;
  while (n == 0 && millisecondsUntil(deadline) > 0) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid_ = -1;
      const std::string line = lastLogLine(logPath_, logStart);
      error = "lumo-driver " + describeWaitStatus(status) + " at start" +
              (line.empty() ? std::string() : ": \"" + line + "\"") + " (log: " + logPath_ + ")";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop(std::chrono::seconds(1));
  error = "lumo-driver (pid " + std::to_string(pid) + ") did not report serving within " +
          std::to_string(patience.count()) + " ms and was ended (log: " + logPath_ + ")";
  return false;
}

bool DriverProcess::reapIfEnded(std::string& how) {
  int status = 0;
  if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_) return false;
  pid_ = -1;
  how = describeWaitStatus(status);
  return true;
}

std::string DriverProcess::stop(std::chrono::milliseconds patience) {
  if (pid_ <= 0) return "not running";
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  std::string how;
  while (!reapIfEnded(how)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = -1;
      return describeWaitStatus(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return how;
}

}  // namespace run
