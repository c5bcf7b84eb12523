// Starting the programs lumo-run runs (the user's program and lumo-driver)
// with a clean slate: default signal handling, an empty signal mask, and of
// lumo-run's descriptors only standard input, output, error and whatever
// lumo-run itself inherited. The engine library opens sockets (its relay
// listeners among them) that a launched program must not hold on to: a
// listener kept open in a game would outlive Stop and keep its port taken.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace run {

// Opens /dev/null on standard input, output or error when one is closed, so
// that no later descriptor (a library socket) takes its number and is handed
// to a program as its standard stream. Call first thing in main.
void ensureStandardDescriptors();

// The descriptors open in this process now, in ascending order. Called in
// main before anything else opens one, it lists what lumo-run inherited.
std::vector<int> openDescriptors();

// The signals lumo-run handles itself (blocked and read from a signalfd, or
// ignored); launched programs get their default handling back.
extern const int kHandledSignals[5];

// What to start and how.
struct LaunchRequest {
  // argv[0] is the program: a path, or a name looked up on PATH when
  // searchPath is set.
  std::vector<std::string> argv;
  bool searchPath = false;
  // KEY=VALUE entries.
  std::vector<std::string> environment;
  // Descriptors above 2 that the program keeps (the others are closed in it).
  std::vector<int> keepDescriptors;
  // Put on the program's standard input, output and error; -1 keeps lumo-run's.
  int stdinFd = -1;
  int stdoutFd = -1;
  int stderrFd = -1;
  // Put on descriptor 3 (kept open in the program); -1 for none.
  int descriptor3 = -1;
  // Run it in a session of its own: no terminal's signals reach it.
  bool newSession = false;
};

// Starts the program. Returns 0 with `pid` set, or the error number of the
// failure (ENOENT: not found, EACCES/ENOEXEC: cannot be run), in which case
// nothing was started.
int launchProgram(const LaunchRequest& request, pid_t& pid);

// This process's environment as KEY=VALUE entries.
std::vector<std::string> currentEnvironment();

// The launched program's environment: `base` with `capturePath` first in
// LD_PRELOAD (ahead of whatever LD_PRELOAD held, separated by ':') and
// LUMO_DRIVER_DIR set to `driverFolder`. Other entries keep their order.
std::vector<std::string> programEnvironment(const std::vector<std::string>& base,
                                            const std::string& capturePath, const std::string& driverFolder);

// "exited with status 3", "ended by signal 15 (Terminated)".
std::string describeWaitStatus(int waitStatus);
// The status lumo-run exits with for a program that ended so: its exit
// status, or 128 + the signal that ended it.
int exitStatusOf(int waitStatus);

}  // namespace run
