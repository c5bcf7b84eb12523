// lumo-run with the real engine library where no driver can be reached. The
// library is copied to a folder of its own, with no lumo-driver beside it,
// so that neither lumo-run nor the library can start one. Runs in a network
// namespace of its own: the engine's initialisation may open the relay's
// fixed ports.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "loopback_peers.h"
#include "run_child.h"

namespace {

class LumoRunWithTheEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    lumotest::adoptOrphans();
    library_ = (dir_.path() / "liblumo.so").string();
    std::filesystem::copy_file(LUMO_LIBRARY_PATH, library_);
    // Never loaded: lumo-run only checks that it is there before it starts.
    std::ofstream(dir_.path() / "liblumo-capture.so").put('\n');
    driverDir_ = (dir_.path() / "driver").string();
  }

  int run(unsigned nodePort) {
    const std::vector<std::string> args = {
        "--library",  library_, "--node",        "127.0.0.1", "--socks-port",      std::to_string(nodePort),
        "--udp-port", "9",      "--processes",   "true",      "--no-driver-start", "--",
        "/bin/sh",    "-c",     "touch " + ran()};
    std::string error;
    if (!process_.start(LUMO_RUN_PROGRAM, args, {"LUMO_DRIVER_DIR=" + driverDir_}, error)) {
      ADD_FAILURE() << error;
      return -1;
    }
    return process_.wait();
  }

  std::string ran() const { return (dir_.path() / "ran").string(); }

  lumotest::TempDir dir_;
  std::string library_;
  std::string driverDir_;
  lumotest::LumoRunProcess process_;
};

TEST_F(LumoRunWithTheEngine, NoDriverOrAnUnreachableNodeIsAClearErrorAndNothingIsLeftRunning) {
  lumotest::EchoServer node;
  const unsigned closed = lumotest::unusedLoopbackPort();
  const struct {
    unsigned nodePort;
    std::string error;
  } rows[] = {
      {node.port(), "lumo-run: Init failed: the engine reached no driver: nothing answers on " + driverDir_ +
                        "/CtrlDSLumoDriverSys (No such file or directory); lumo-driver was not "
                        "started (--no-driver-start)\n"},
      {closed,
       "lumo-run: node 127.0.0.1:" + std::to_string(closed) + " cannot be reached: Connection refused\n"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(run(row.nodePort), 125);
    EXPECT_EQ(process_.errorOutput(), row.error);
    EXPECT_FALSE(std::filesystem::exists(ran()));
    EXPECT_TRUE(lumotest::childProcesses().empty());
  }
}

}  // namespace
