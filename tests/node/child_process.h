// A program started by a test (lumo-node, microsocks): its standard output
// on a pipe the test reads line by line, its standard error in a file.
// Linux only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace lumotest {

class ChildProcess {
 public:
  ChildProcess() = default;
  // Ends the program (SIGKILL) if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with `args`. False with `error` set when it cannot start.
  bool start(const std::string& program, const std::vector<std::string>& args, std::string& error);

  // The next line of standard output without its line end; false when none
  // came within 10 s or the program closed its output.
  bool readLine(std::string& line);

  // SIGTERM, then waits up to 10 s (SIGKILL after that). Returns the exit
  // status, or -1 when the program ended by a signal or had to be killed.
  int stop();

  bool running() const { return pid_ > 0; }
  // Standard error so far.
  std::string errorOutput() const;

 private:
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  std::string pending_;
  TempDir dir_;
};

}  // namespace lumotest
