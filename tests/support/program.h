// A program a test launches (lumo-node, lumo-run, dnsmasq, a program under
// capture): its own environment, its standard input fed by the test, its
// standard output read line by line, its standard error kept in a file (a
// pipe nobody reads would stop a program that logs much). Linux only.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace lumotest {

class Program {
 public:
  Program() = default;
  // Ends the program (SIGKILL) if it still runs.
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Starts `argv` (argv[0] looked up in PATH when it has no slash) with the
  // test's environment plus `environment` ("NAME=value", replacing a
  // variable of the same name), and /dev/null open as descriptor 5 (an
  // inherited descriptor, for lumo-run's tests) but no other of the test's.
  // False with `error` set when it cannot start.
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             std::string& error);

  void write(const std::string& text);  // to its standard input

  // The next line of standard output without its end; nullopt when none
  // came within `ms` or the output ended.
  std::optional<std::string> line(int ms = 10000);

  // Closes standard input, waits up to `ms` for the end (SIGKILL after) and
  // reads what is left of standard output. The exit status, 128 + the signal
  // that ended the program, or -1 when it had to be killed.
  int finish(int ms = 30000);
  // The same after a SIGTERM.
  int stop(int ms = 10000);

  bool running() const { return pid_ > 0; }

  // Standard output not yet taken by line(), and standard error so far.
  const std::string& output() const { return stdout_; }
  std::string errors() const;

 private:
  // Reads what standard output holds within `ms`; false once it ended.
  bool pump(int ms);

  pid_t pid_ = -1;
  int stdin_ = -1, stdoutFd_ = -1;
  std::string stdout_;
  TempDir dir_;
};

// Runs `argv` to its end (at most `ms`) with `input` on standard input.
struct Outcome {
  int status = -1;
  std::string output, errors;
};
Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
            const std::string& input = {}, int ms = 30000);

}  // namespace lumotest
