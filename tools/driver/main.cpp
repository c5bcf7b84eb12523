// lumo-driver: the Lumo driver on Linux. It serves the driver's control device
// ("\\.\CtrlDSLumoDriverSys") on a Unix-domain socket in its runtime folder,
// with the simulated driver behind it (rule list, batches, verdicts,
// injections), until SIGTERM or SIGINT. liblumo.so connects to it, and starts
// it from its own folder when it is not running (the library detaches it: the
// program never daemonises itself). One line on standard error for each event
// worth knowing.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "capture_server.h"
#include "device_server.h"
#include "log_line.h"
#include "platform/driver_runtime_dir.h"
#include "platform/posix/unique_fd.h"
#include "service/driver_service.h"
#include "shared_buffers.h"
#include "sim_driver.h"

namespace {

constexpr const char* kHelp =
    "Usage: lumo-driver [--dir DIR] [--foreground] [--ready-fd FD] [--help]\n"
    "\n"
    "The Lumo driver on Linux: serves the driver's control device to liblumo.so on\n"
    "the socket DIR/CtrlDSLumoDriverSys, and the programs launched by lumo-run on\n"
    "DIR/capture, until SIGTERM or SIGINT, and keeps its process id in\n"
    "DIR/lumo-driver.pid. One driver per folder. lumo-run --flows asks it on\n"
    "DIR/capture for the list of the captured programs' flows.\n"
    "\n"
    "  --dir DIR      the runtime folder, created with mode 0700 when missing\n"
    "                 (default: $LUMO_DRIVER_DIR, else $XDG_RUNTIME_DIR/lumo, else\n"
    "                 /run/lumo for root and /tmp/lumo-<uid> for other users)\n"
    "  --foreground   run in the foreground (always so: whoever starts the driver\n"
    "                 detaches it)\n"
    "  --ready-fd FD  write one byte to descriptor FD and close it once the device\n"
    "                 is served (liblumo.so uses it when it starts the driver)\n"
    "  --help         this text\n"
    "\n"
    "Exit status: 0 after a stop by signal, 1 when the driver cannot start (the\n"
    "folder, the socket, or another driver serving it), 2 for a usage error.\n";

// The device the engine's driver library opens: "CtrlDS" + the service name.
const std::string kDeviceName = std::string("CtrlDS") + service::kDriverServiceName;

// Size of each shared buffer, as the simulated driver's own.
constexpr size_t kBufferSize = size_t{1} << 20;

void logLine(const std::string& line) { tools::logLine("lumo-driver", line); }

struct Options {
  std::string dir;
  int readyFd = -1;
  bool help = false;
};

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--foreground") {
      // The only way it runs.
    } else if (arg == "--dir" || arg == "--ready-fd") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        error = arg + " needs a value";
        return false;
      }
      const std::string value = argv[++i];
      if (arg == "--dir") {
        options.dir = value;
        continue;
      }
      int fd = 0;
      for (char c : value) {
        if (c < '0' || c > '9' || fd > 100000) {
          error = "--ready-fd needs a descriptor number, not \"" + value + "\"";
          return false;
        }
        fd = fd * 10 + (c - '0');
      }
      if (fd <= STDERR_FILENO) {
        error = "--ready-fd needs a descriptor above the standard ones";
        return false;
      }
      options.readyFd = fd;
    } else {
      error = "unknown argument \"" + arg + "\"";
      return false;
    }
  }
  return true;
}

// The runtime folder: created when missing (its parents with the usual
// mode), the driver's user's own, and closed to everyone else, since whoever
// can reach the socket can steer the traffic.
bool prepareFolder(const std::string& dir, std::string& error) {
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(dir).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = dir + " is not a folder";
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    error = dir + " belongs to user " + std::to_string(st.st_uid) + ", not to this one";
    return false;
  }
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
    error = "cannot close " + dir + " to other users: " + std::strerror(errno);
    return false;
  }
  return true;
}

// Takes the pid file's lock, which the driver holds while it runs. False,
// with the holder's pid in *other, when another driver holds it.
bool lockPidFile(platform::UniqueFd& file, pid_t* other, std::string& error) {
  const std::string path = platform::pidFilePath();
  file.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!file.valid()) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(file.get(), F_SETLK, &lock) == 0) return true;
  struct flock holder {};
  holder.l_type = F_WRLCK;
  holder.l_whence = SEEK_SET;
  *other = ::fcntl(file.get(), F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK ? holder.l_pid : 0;
  error = "another lumo-driver (pid " + std::to_string(*other) + ") serves " + platform::runtimeDir();
  return false;
}

bool writePid(int fd) {
  const std::string text = std::to_string(::getpid()) + "\n";
  return ::ftruncate(fd, 0) == 0 &&
         ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

// Clears the way for our socket: refused when a driver answers on it, a
// stale one (nobody listening) removed.
bool clearSocketPath(const std::string& path, std::string& error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return true;  // free
  if (!S_ISSOCK(st.st_mode)) {
    error = path + " exists and is not a socket";
    return false;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    error = "socket path too long: " + path;
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  platform::UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (probe.valid() &&
      ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    error = "another driver answers on " + path;
    return false;
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    error = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
    return false;
  }
  logLine("removed a stale socket " + path);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!parseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "lumo-driver: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  platform::UniqueFd ready(options.readyFd);
  // One folder for every path below, also for the capture server.
  if (!options.dir.empty()) ::setenv("LUMO_DRIVER_DIR", options.dir.c_str(), 1);
  const std::string dir = platform::runtimeDir();

  // The stop signals are taken by sigwait below: blocked before any thread
  // starts, so that no other thread takes them.
  // A signal ignored by whoever started us would be discarded even while
  // blocked, and never reach sigwait.
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGINT, SIG_DFL);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  platform::UniqueFd pidFile;
  pid_t other = 0;
  const std::string socketPath = platform::deviceSocketPath(kDeviceName);
  if (!prepareFolder(dir, error) || !lockPidFile(pidFile, &other, error) ||
      !clearSocketPath(socketPath, error)) {
    logLine(error);
    return 1;
  }

  driver::SharedBuffers buffers;
  if (!buffers.create(kBufferSize, kBufferSize, &error)) {
    logLine(error);
    return 1;
  }
  simdrv::SimDriver::Config config;
  config.inboundSize = buffers.inboundSize();
  config.outboundSize = buffers.outboundSize();
  config.inboundBuffer = buffers.inbound();
  config.outboundBuffer = buffers.outbound();
  simdrv::SimDriver simulated(config);
  driver::DeviceServer server(simulated, buffers, socketPath, logLine);
  if (!server.start(&error)) {
    logLine(error);
    return 1;
  }

  // Programs launched with the capture library (lumo-run) report their
  // sockets here; their traffic reaches the library through `simulated`.
  // lumo-run --flows asks here for the list of their flows.
  capture::CaptureServer capture(simulated, platform::captureSocketPath(), logLine);
  if (!capture.start(&error)) {
    logLine(error);
    server.stop();
    return 1;
  }

  if (!writePid(pidFile.get())) logLine("cannot write the pid file " + platform::pidFilePath());
  logLine("serving " + socketPath + " (pid " + std::to_string(::getpid()) + ")");
  if (ready.valid()) {
    const char byte = 'R';
    [[maybe_unused]] ssize_t written = ::write(ready.get(), &byte, 1);
    ready.reset();
  }

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  logLine(std::string("stopping on ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));

  // The programs first (their flows' ends still reach the library), then the
  // library's device.
  capture.stop();
  server.stop();
  ::unlink(platform::pidFilePath().c_str());  // ours: we hold its lock
  return 0;
}
