// lumo-run: the Linux client of the Lumo engine. It runs one program with its
// traffic steered through a proxy node:
//
//   lumo-run --config game.conf -- ./game --fullscreen
//
// It uses the engine only through the nine exports of liblumo.so, loaded at
// run time; command_line.h and run_config.h describe the options and keys,
// runner.h the steps.
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "descriptor.h"
#include "launch.h"
#include "run_config.h"
#include "runner.h"

namespace {

// lumo-run's own failures end with the status `env` and `timeout` use for
// theirs, apart from any status the program may end with.
constexpr int kStepFailed = 125;
// A configuration file is a few lines; more than this is not one.
constexpr size_t kMaxConfigSize = 64 * 1024;

bool readConfigFile(const std::string& path, std::string& text, std::string& error) {
  const run::Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const int fd = file.get();
  if (fd < 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  text.clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = "cannot read " + path + ": " + std::strerror(errno);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxConfigSize) {
      error = path + ": larger than 64 KiB: not a configuration file";
      break;
    }
  }
  return error.empty();
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything opens a descriptor: what lumo-run inherited is what the
  // program inherits.
  run::ensureStandardDescriptors();
  run::RunStartup startup;
  startup.inheritedDescriptors = run::openDescriptors();

  // The signals lumo-run handles are blocked before the engine library can
  // start a thread (its threads inherit the mask), so they wait in the
  // signalfd and never end lumo-run with the engine running. SIGPIPE is
  // ignored: losing standard error must not end the run either.
  sigset_t handled;
  sigemptyset(&handled);
  for (int handledSignal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&handled, handledSignal);
  sigprocmask(SIG_BLOCK, &handled, nullptr);
  signal(SIGPIPE, SIG_IGN);
  startup.signalFd = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
  if (startup.signalFd < 0) {
    std::fprintf(stderr, "lumo-run: signalfd failed: %s\n", std::strerror(errno));
    return kStepFailed;
  }

  run::RunOptions options;
  std::string error;
  if (!run::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "lumo-run: %s (see --help)\n", error.c_str());
    return kStepFailed;
  }
  if (options.showHelp) {
    std::fputs(run::helpText().c_str(), stdout);
    return 0;
  }

  std::optional<run::ConfigFile> file;
  if (options.configPath) {
    file.emplace();
    file->name = *options.configPath;
    if (!readConfigFile(file->name, file->text, error)) {
      std::fprintf(stderr, "lumo-run: %s\n", error.c_str());
      return kStepFailed;
    }
  }
  run::RunConfig config;
  if (!run::buildRunConfig(file, options.overrides, config, error)) {
    std::fprintf(stderr, "lumo-run: %s\n", error.c_str());
    return kStepFailed;
  }
  return run::runLumo(options, config, startup);
}
