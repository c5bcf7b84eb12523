// lumo-run as a child process of a test, and the little a test needs around
// it: a view of processes left behind. Linux only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace lumotest {

class LumoRunProcess {
 public:
  LumoRunProcess() = default;
  // Ends lumo-run (SIGKILL) if it still runs.
  ~LumoRunProcess();
  LumoRunProcess(const LumoRunProcess&) = delete;
  LumoRunProcess& operator=(const LumoRunProcess&) = delete;

  // Starts `program` (lumo-run) with `args`, in this process's environment
  // with `environment` entries (KEY=VALUE) added or replacing, standard
  // output and error in files, and /dev/null open as descriptor 5 (an
  // inherited descriptor that the launched program should see).
  bool start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& environment, std::string& error);

  // Waits for lumo-run to end and returns its exit status (128 + signal when
  // a signal ended it); -1 when it had not ended within 60 s and was killed.
  int wait();

  pid_t pid() const { return pid_; }
  std::string output() const;
  std::string errorOutput() const;

 private:
  pid_t pid_ = -1;
  TempDir dir_;
};

// Makes this process the reaper of its descendants' orphans, so that a
// process lumo-run leaves behind becomes this process's child.
void adoptOrphans();

// The ids of this process's children (orphans adopted included), alive or
// ended but not yet reaped.
std::vector<pid_t> childProcesses();

// The whole text of a file; empty when it cannot be read.
std::string readText(const std::string& path);

}  // namespace lumotest
