// lumo-run from one end to the other: the real engine library, the lumo-driver
// that lumo-run starts from beside it, and lumo-node on loopback, in a
// network namespace of the test's own. The capture library is the real one
// when it is built beside the engine library, the stand-in otherwise (the
// program here opens no socket).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "node_process.h"
#include "run_child.h"

namespace {

TEST(LumoRunSmoke, TheEngineStartsWithTheDriverAndTheProgramRuns) {
  lumotest::NodeProcess node;
  std::string error;
  ASSERT_TRUE(node.startWithTunnel({}, error)) << error;
  lumotest::TempDir dir;
  const std::string driverDir = (dir.path() / "driver").string();

  std::vector<std::string> args = {"--node",       "127.0.0.1",
                                   "--socks-port", std::to_string(node.port()),
                                   "--udp-port",   std::to_string(node.udpPort()),
                                   "--processes",  "true",
                                   "--stop-driver"};
  const auto beside = std::filesystem::path(LUMO_RUN_PROGRAM).parent_path() / "liblumo-capture.so";
  if (!std::filesystem::exists(beside)) {
    args.push_back("--capture");
    args.push_back(LUMO_RUN_FAKE_CAPTURE);
  }
  args.insert(args.end(), {"--", "/bin/true"});

  lumotest::LumoRunProcess run;
  ASSERT_TRUE(run.start(LUMO_RUN_PROGRAM, args, {"LUMO_DRIVER_DIR=" + driverDir}, error)) << error;
  EXPECT_EQ(run.wait(), 0) << run.errorOutput();
  const std::string err = run.errorOutput();
  // Init, SetConfig and Start succeeded: the program ran and the totals came.
  EXPECT_NE(err.find("lumo-run: started lumo-driver (pid "), std::string::npos) << err;
  EXPECT_NE(err.find("lumo: total sent "), std::string::npos) << err;
  EXPECT_NE(err.find(") exited with status 0\n"), std::string::npos) << err;
  EXPECT_EQ(node.stop(), 0);
}

}  // namespace
