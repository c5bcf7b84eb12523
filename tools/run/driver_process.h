// lumo-driver as lumo-run sees it: the folder where it serves, whether its
// control-device socket answers, and starting and ending the one this run
// starts.
//
// lumo-driver is meant to outlive the run that started it (the next run finds
// it serving), so it starts detached: in a session of its own, away from the
// terminal's signals, its output appended to lumo-driver.log in the driver
// folder.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace run {

// The driver folder: $LUMO_DRIVER_DIR when set and not empty; otherwise
// "lumo" under $XDG_RUNTIME_DIR; otherwise /run/lumo for root and
// /tmp/lumo-<uid> for everyone else. The same rule as lumo-driver's, the
// engine library's and the capture library's, which lumo-run cannot include:
// it builds against lumo.h alone.
std::string driverFolder();

// The socket of the engine's control device in `folder`.
std::string driverSocketPath(const std::string& folder);

// The socket in `folder` that captured programs report to, and where the
// driver answers for the list of their flows.
std::string captureSocketPath(const std::string& folder);

// True when something accepts a connection on the Unix socket at `path`
// (the connection is closed at once). Otherwise false with the reason in
// `reason` ("No such file or directory", "Connection refused").
bool socketAccepts(const std::string& path, std::string& reason);

class DriverProcess {
 public:
  DriverProcess() = default;
  // Leaves a running driver running; reaps one that has ended.
  ~DriverProcess();
  DriverProcess(const DriverProcess&) = delete;
  DriverProcess& operator=(const DriverProcess&) = delete;

  // Starts `program` for the driver folder `folder` (created, mode 0700,
  // when missing; it must belong to this user) with "--dir FOLDER --ready-fd
  // 3", its standard output and error appended to lumo-driver.log there, and
  // waits up to `patience` for it to report on descriptor 3 that it serves.
  // False with one line in `error` when the folder or the log cannot be
  // made, the program is missing or cannot start, ends early (with the log's
  // last line), or does not report in time (it is ended then).
  bool start(const std::string& program, const std::string& folder, std::chrono::milliseconds patience,
             std::string& error);

  // True once start succeeded and the driver has not been seen to end.
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string& logPath() const { return logPath_; }

  // When the driver has ended, reaps it and returns true with how it ended
  // in `how` ("exited with status 1"). Never waits.
  bool reapIfEnded(std::string& how);

  // SIGTERM, then up to `patience` for it to end, then SIGKILL. Returns how
  // it ended.
  std::string stop(std::chrono::milliseconds patience);

 private:
  pid_t pid_ = -1;
  std::string logPath_;
};

}  // namespace run
