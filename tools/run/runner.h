// One run of lumo-run, from loading the engine library to the program's end:
//
//   load liblumo.so → ask the node → make sure lumo-driver serves →
//   Init → SetConfig → Start → launch the program under capture →
//   show the traffic while it runs, pass signals on → Stop → UnInit
//
// Each step that fails says why on standard error and undoes what the steps
// before it set up; the run then ends with status 125.
#pragma once

#include <vector>

#include "command_line.h"
#include "run_config.h"

namespace run {

// What main prepared before anything else ran.
struct RunStartup {
  // The descriptors lumo-run inherited (openDescriptors at the start); the
  // program inherits these and no others.
  std::vector<int> inheritedDescriptors;
  // A non-blocking signalfd for SIGINT, SIGTERM, SIGHUP and SIGCHLD, which
  // main blocked in every thread before the library could start one.
  int signalFd = -1;
};

// Runs the program `options.program` steered as `config` says. Returns the
// status lumo-run exits with: the program's exit status, 128 + the signal
// that ended it (or that ended the run before the program started), 125 when
// a step failed, 126 when the program cannot be run, 127 when it is not found.
int runLumo(const RunOptions& options, const RunConfig& config, const RunStartup& startup);

}  // namespace run
