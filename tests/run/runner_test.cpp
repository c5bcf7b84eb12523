// lumo-run from the outside, against a stand-in engine library (fake_engine),
// capture library and lumo-driver in a folder of their own: what a user sees
// on standard error and in the exit status, what the launched program gets,
// which exports the engine gets, and what is left running.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "loopback_peers.h"
#include "support/program.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string readText(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// This process's children (the orphans it adopted included), alive or not
// yet reaped.
std::vector<pid_t> childProcesses() {
  std::vector<pid_t> children;
  std::istringstream ids(readText("/proc/self/task/" + std::to_string(getpid()) + "/children"));
  for (pid_t id = 0; ids >> id;) children.push_back(id);
  return children;
}

class LumoRun : public ::testing::Test {
 protected:
  void SetUp() override {
    // What lumo-run leaves behind becomes this process's child.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    driverDir_ = (dir_.path() / "driver").string();
    engineLog_ = (dir_.path() / "engine.log").string();
  }

  // lumo-run with the stand-in library, the node option set to `node_`, and
  // `extra` before "--".
  std::vector<std::string> args(const std::vector<std::string>& extra,
                                const std::vector<std::string>& program) {
    std::vector<std::string> all = {"--library",    LUMO_RUN_FAKE_ENGINE,
                                    "--node",       "127.0.0.1",
                                    "--socks-port", std::to_string(node_.port()),
                                    "--udp-port",   "9",
                                    "--processes",  "curl"};
    all.insert(all.end(), extra.begin(), extra.end());
    all.push_back("--");
    all.insert(all.end(), program.begin(), program.end());
    return all;
  }

  // Starts lumo-run; false (a failure added) when it cannot start.
  bool start(const std::vector<std::string>& arguments, std::vector<std::string> environment = {}) {
    environment.push_back("LUMO_DRIVER_DIR=" + driverDir_);
    environment.push_back("LUMO_FAKE_ENGINE_LOG=" + engineLog_);
    std::vector<std::string> argv = {LUMO_RUN_PROGRAM};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process_ = std::make_unique<lumotest::Program>();
    std::string error;
    const bool started = process_->start(argv, environment, error);
    EXPECT_TRUE(started) << error;
    return started;
  }

  // Runs lumo-run to its end; returns its exit status.
  int run(const std::vector<std::string>& arguments, std::vector<std::string> environment = {}) {
    return start(arguments, std::move(environment)) ? process_->finish(60000) : -1;
  }

  std::string engineCalls() const { return readText(engineLog_); }

  pid_t driverPid() const {
    const std::string text = readText(driverDir_ + "/lumo-driver.pid");
    return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
  }

  lumotest::TempDir dir_;
  lumotest::EchoServer node_;
  std::string driverDir_;
  std::string engineLog_;
  std::unique_ptr<lumotest::Program> process_;
};

TEST_F(LumoRun, RunsTheProgramUnderCaptureAndEndsWithItsStatus) {
  // The program shows its environment and open descriptors, then exits 7.
  const int status =
      run(args({"--no-driver-start", "--quiet", "--user", "player", "--password", "4711", "--processes",
                "Game, helper", "--rules", "mc,30,*.*:443", "--game-id", "12", "--no-udp"},
               {"/bin/sh", "-c",
                "echo \"preload=$LD_PRELOAD\"; echo \"dir=$LUMO_DRIVER_DIR\"; "
                "ls -l /proc/$$/fd; exit 7"}),
          {"LD_PRELOAD="});
  EXPECT_EQ(status, 7);
  EXPECT_EQ(process_->errors(), "") << "--quiet";
  // What lumo-run inherited (descriptor 5) reaches the program; the engine's
  // sockets and lumo-run's own do not.
  const std::string out = process_->output();
  for (const std::string& part :
       {"preload=" + std::filesystem::canonical(LUMO_RUN_FAKE_CAPTURE).string() + "\n",
        "dir=" + driverDir_ + "\n", std::string("5 -> /dev/null")})
    EXPECT_THAT(out, HasSubstr(part));
  EXPECT_EQ(out.find("socket:"), std::string::npos) << out;

  const std::string calls = engineCalls();
  EXPECT_THAT(calls, HasSubstr("SetConfig label=lumo-run user=player password=4711 processes=Game,helper "
                               "limit=0 rules=mc,30,*.*:443 node=127.0.0.1:" +
                               std::to_string(node_.port()) + "/9 game=12 area=0"));
  EXPECT_THAT(calls, HasSubstr("Start 1 0 0 0 0 0"));
  // The engine is stopped and destroyed once, after the program ended: the
  // first Stop is the last call but UnInit.
  EXPECT_EQ(calls.substr(std::min(calls.find("Stop 0"), calls.size())), "Stop 0\nUnInit 0\n") << calls;
  EXPECT_TRUE(childProcesses().empty());
}

TEST_F(LumoRun, FlowReadsAreShownAndCountedOnceAndASignalStillStopsTheEngine) {
  // GetFlow is read each second: the program is ended by a SIGTERM to
  // lumo-run once a read was shown.
  ASSERT_TRUE(start(args({"--no-driver-start", "--flows"}, {"/bin/sh", "-c", "exec sleep 600"})));
  ASSERT_TRUE(
      lumotest::waitFor([&] { return process_->errors().find("lumo: GetFlow: ") != std::string::npos; }));
  // sleep dies of the SIGTERM passed on; lumo-run ends as it did, after the
  // engine was stopped, and leaves nothing running.
  EXPECT_EQ(process_->stop(60000), 128 + SIGTERM);
  EXPECT_THAT(engineCalls(), HasSubstr("Stop 0\nUnInit 0\n"));
  EXPECT_TRUE(childProcesses().empty());
  // The stand-in's Start sends one message of 12595 bytes sent and 4608
  // received; the 100 and 50 bytes of GetFlow are in the total once beside it.
  // No driver serves the folder, so the list of flows cannot come: said in
  // one line after each read.
  const std::string err = process_->errors();
  for (const std::string& part :
       {std::string(
            "lumo: GetFlow: sent 100 B received 50 B since its previous read or the last one-second line\n"),
        std::string("lumo: sent 12.3 KiB/s received 4.5 KiB/s (total sent 12.3 KiB received 4.5 KiB)\n"),
        std::string("lumo: total sent 12.4 KiB received 4.5 KiB\n"),
        " B since its previous read or the last one-second line\nlumo: flows: lumo-driver does not answer "
        "on " +
            driverDir_ + "/capture ("})
    EXPECT_THAT(err, HasSubstr(part));
}

TEST_F(LumoRun, AFailingStepSaysWhichAndUndoesTheOnesBefore) {
  struct Row {
    const char* failing;  // the export that returns false
    const char* message;
    const char* lastCalls;
  };
  const Row rows[] = {
      {"Init", "lumo-run: Init failed: the engine reached no driver: nothing answers on ",
       "Init 0\nUnInit 0\n"},
      {"SetConfig", "lumo-run: SetConfig refused the configuration\n", "UnInit 0\n"},
      {"Start", "lumo-run: Start failed\n", "Stop 0\nUnInit 0\n"},
  };
  for (const Row& row : rows) {
    std::filesystem::remove(engineLog_);
    const int status =
        run(args({"--no-driver-start"}, {"/bin/sh", "-c", "touch " + dir_.path().string() + "/ran"}),
            {std::string("LUMO_FAKE_ENGINE_FAIL=") + row.failing});
    EXPECT_EQ(status, 125) << row.failing;
    EXPECT_THAT(process_->errors(), HasSubstr(row.message));
    const std::string calls = engineCalls();
    EXPECT_EQ(calls.substr(calls.size() - std::min(calls.size(), std::strlen(row.lastCalls))), row.lastCalls)
        << calls;
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / "ran")) << row.failing;
  }

  // A program that is not there: the engine was started and is stopped.
  std::filesystem::remove(engineLog_);
  EXPECT_EQ(run(args({"--no-driver-start"}, {"no-such-program-here"})), 127);
  EXPECT_THAT(process_->errors(), HasSubstr("lumo-run: no-such-program-here: not found"));
  EXPECT_THAT(engineCalls(), HasSubstr("Stop 0\nUnInit 0\n"));
  EXPECT_TRUE(childProcesses().empty());
}

TEST_F(LumoRun, AMissingExportFileOrNodeIsNamed) {
  const std::string none = (dir_.path() / "none").string();
  const std::string closed = std::to_string(lumotest::unusedLoopbackPort());
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {args({"--library", LUMO_RUN_PARTIAL_ENGINE, "--capture", LUMO_RUN_FAKE_CAPTURE}, {"/bin/true"}),
       "is not the engine library: it lacks the export SetBlur\n"},
      {args({"--capture", none + ".so"}, {"/bin/true"}),
       "lumo-run: the capture library " + none + ".so: No such file or directory\n"},
      {{"--config", none + ".conf", "--", "/bin/true"}, "cannot read " + none + ".conf"},
      {args({"--socks-port", closed}, {"/bin/true"}),
       "lumo-run: node 127.0.0.1:" + closed + " cannot be reached: Connection refused\n"},
  };
  for (const auto& [arguments, message] : rows) {
    EXPECT_EQ(run(arguments), 125) << message;
    EXPECT_THAT(process_->errors(), HasSubstr(message));
  }
  EXPECT_TRUE(engineCalls().empty());
}

TEST_F(LumoRun, StartsTheDriverWhenNoneAnswersAndStopsItOnlyIfItStartedIt) {
  // A driver that cannot start is reported with its log, and nothing runs.
  EXPECT_EQ(run(args({}, {"/bin/true"}), {"LUMO_FAKE_DRIVER_FAIL=1"}), 125);
  EXPECT_THAT(process_->errors(), HasSubstr("lumo-run: lumo-driver exited with status 3 at start: \"fake "
                                            "driver: cannot open the device\" (log: " +
                                            driverDir_ + "/lumo-driver.log)"));
  EXPECT_TRUE(engineCalls().empty());
  EXPECT_TRUE(childProcesses().empty());

  // --stop-driver ends the driver this run started.
  ASSERT_EQ(run(args({"--stop-driver"}, {"/bin/true"})), 0);
  ASSERT_GT(driverPid(), 0);
  EXPECT_NE(kill(driverPid(), 0), 0);
  EXPECT_TRUE(childProcesses().empty());

  ASSERT_EQ(run(args({}, {"/bin/true"})), 0);
  EXPECT_THAT(process_->errors(), HasSubstr("lumo-run: started lumo-driver (pid "));
  const pid_t driver = driverPid();
  ASSERT_GT(driver, 0);
  EXPECT_THAT(readText(driverDir_ + "/lumo-driver.log"), HasSubstr("fake driver: serving"));

  // The next run finds it serving, starts none and leaves it running, even
  // with --stop-driver.
  ASSERT_EQ(run(args({"--stop-driver"}, {"/bin/true"})), 0);
  EXPECT_THAT(process_->errors(), Not(HasSubstr("started lumo-driver")));
  EXPECT_EQ(driverPid(), driver);
  // The driver is ended here (this test adopted it); nothing else was left.
  for (pid_t child : childProcesses()) {
    EXPECT_EQ(child, driver) << "left running";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
}

}  // namespace
