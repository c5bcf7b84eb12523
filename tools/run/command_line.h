// Command line of lumo-run:
//
//   lumo-run [OPTIONS] -- PROGRAM [ARGUMENTS...]
//
// Options take their value as the next argument or after '=' ("--node
// 127.0.0.1", "--node=127.0.0.1"). Every configuration key is also an option
// of the same name that overrides the file; a switch key stands alone
// ("--tcp", "--no-tcp") or takes yes/no after '='.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run_config.h"

namespace run {

struct RunOptions {
  // --config FILE.
  std::optional<std::string> configPath;
  // The configuration keys given as options, in order; checked by
  // buildRunConfig.
  std::vector<ConfigOverride> overrides;
  // --library PATH (default: liblumo.so beside lumo-run) and --capture PATH
  // (default: liblumo-capture.so beside the library); empty when not given.
  std::string libraryPath;
  std::string capturePath;
  // --no-driver-start: never start lumo-driver. --stop-driver: end at exit the
  // lumo-driver this run started.
  bool startDriver = true;
  bool stopDriver = false;
  // --quiet: no per-second traffic line. --flows: read GetFlow each second and
  // show what it returns, then lumo-driver's list of flows.
  bool quiet = false;
  bool flows = false;
  bool showHelp = false;
  // The program and its arguments: everything after "--".
  std::vector<std::string> program;
};

// Parses the arguments after the program name. False with one line in
// `error` on an unknown option, a missing value, an argument before "--"
// that is not an option, or no program after "--" (unless --help).
bool parseCommandLine(const std::vector<std::string>& args, RunOptions& options, std::string& error);

// The text of --help: every option and configuration key.
std::string helpText();

}  // namespace run
