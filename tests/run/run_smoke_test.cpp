// lumo-run from one end to the other: the real engine library, the lumo-driver
// that lumo-run starts from beside it, the capture library beside them and
// lumo-node on loopback, in a network namespace of the test's own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loopback_peers.h"
#include "node_process.h"
#include "run_child.h"

namespace {

TEST(LumoRunSmoke, TheEngineStartsWithTheDriverAndFlowsListsTheProgramsConnection) {
  lumotest::NodeProcess node;
  std::string error;
  ASSERT_TRUE(node.startWithTunnel({}, error)) << error;
  lumotest::TempDir dir;
  lumotest::EchoServer server;
  const std::string port = std::to_string(server.port());
  // bash connects (the C library's connect(), so the capture sees it) and
  // holds the connection until lumo-run, whose standard error is bash's, has
  // listed it.
  const std::string script = "exec 3<>/dev/tcp/127.0.0.1/" + port +
                             " && until grep -q '^  tcp  bash\\[' /proc/$$/fd/2; do sleep 0.1; done";
  const std::vector<std::string> args = {"--node",       "127.0.0.1",
                                         "--socks-port", std::to_string(node.port()),
                                         "--udp-port",   std::to_string(node.udpPort()),
                                         "--processes",  "true",
                                         "--flows",      "--stop-driver",
                                         "--",           "/bin/bash",
                                         "-c",           script};
  lumotest::LumoRunProcess run;
  ASSERT_TRUE(
      run.start(LUMO_RUN_PROGRAM, args, {"LUMO_DRIVER_DIR=" + (dir.path() / "driver").string()}, error))
      << error;
  EXPECT_EQ(run.wait(), 0) << run.errorOutput();
  const std::string err = run.errorOutput();
  // Init, SetConfig and Start succeeded: the program ran and the totals came.
  EXPECT_NE(err.find("lumo-run: started lumo-driver (pid "), std::string::npos) << err;
  EXPECT_NE(err.find("lumo: total sent "), std::string::npos) << err;
  EXPECT_NE(err.find(") exited with status 0\n"), std::string::npos) << err;
  // After the GetFlow line, the driver's list; bash is not named in
  // 'processes', so its connect went as asked.
  EXPECT_NE(err.find("lumo: GetFlow: "), std::string::npos) << err;
  EXPECT_NE(err.find("\nlumo: flows (from lumo-driver): "), std::string::npos) << err;
  const size_t line = err.find("\n  tcp  bash[");
  ASSERT_NE(line, std::string::npos) << err;
  const std::string flow = err.substr(line + 1, err.find('\n', line + 1) - line - 1);
  EXPECT_NE(flow.find(" -> 127.0.0.1:" + port + "  as asked  up 0 B down 0 B  "), std::string::npos) << flow;
  EXPECT_EQ(node.stop(), 0);
}

}  // namespace
