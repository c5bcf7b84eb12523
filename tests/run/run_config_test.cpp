// lumo-run's configuration file and options, its command line and the
// launched program's environment.
#include "run_config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "launch.h"

namespace {

using run::ConfigFile;
using run::ConfigOverride;
using run::RunConfig;

bool build(const std::string& text, const std::vector<ConfigOverride>& overrides, RunConfig& config,
           std::string& error) {
  return run::buildRunConfig(ConfigFile{"lumo-run.conf", text}, overrides, config, error);
}

constexpr char kRequired[] = "node = 127.0.0.1\nsocks-port = 1080\nudp-port = 1081\nprocesses = game\n";

TEST(RunConfig, AFileWithEveryKey) {
  const std::string text =
      "\xEF\xBB\xBF# Lumo node on this machine\r\n"
      "node = 127.0.0.2\r\n"
      "  socks-port=1080\n"
      "udp-port =\t1081 \n"
      "\n"
      "   # the account\n"
      "user = player one\n"
      "password = 4711#x\n"
      "processes = Game.bin , launcher,x\n"
      "process-limit = 2\n"
      "rules = mc,30,*.*:443;10.0.0.0/8,20-40\n"
      "game-id = 4294967295\n"
      "area-id = 3\n"
      "tcp = No\n"
      "udp = off\n"
      "udp-proxy-all = yes\n"
      "adapter = TRUE\n"
      "force-udp-direct = 1\n"
      "restart-driver = on\n";
  RunConfig config;
  std::string error;
  ASSERT_TRUE(build(text, {}, config, error)) << error;
  EXPECT_EQ(config.nodeAddress, htonl(0x7F000002));
  EXPECT_EQ(config.nodeAddressText, "127.0.0.2");
  EXPECT_EQ(config.socksPort, 1080);
  EXPECT_EQ(config.udpPort, 1081);
  EXPECT_EQ(config.user, "player one");
  EXPECT_EQ(config.password, "4711#x");
  EXPECT_EQ(config.processes, (std::vector<std::string>{"Game.bin", "launcher", "x"}));
  EXPECT_EQ(config.processLimit, 2u);
  EXPECT_EQ(config.rules, "mc,30,*.*:443;10.0.0.0/8,20-40");
  EXPECT_EQ(config.gameId, 4294967295u);
  EXPECT_EQ(config.areaId, 3u);
  EXPECT_TRUE(!config.tcp && !config.udp && config.udpProxyAll && config.adapter && config.forceUdpDirect &&
              config.restartDriver)
      << "No, off, yes, TRUE, 1 and on";

  // The example file shipped with lumo-run is read as it stands.
  std::stringstream example;
  example << std::ifstream(LUMO_RUN_EXAMPLE_CONFIG).rdbuf();
  ASSERT_FALSE(example.str().empty());
  EXPECT_TRUE(run::buildRunConfig(ConfigFile{"lumo-run.conf.example", example.str()}, {}, config, error))
      << error;
}

TEST(RunConfig, EachFaultNamesItsLineAndKey) {
  struct Row {
    std::string line;       // put on line 3, after two good ones
    std::string beginning;  // of the message; faults come before the missing keys
  };
  const std::vector<Row> rows = {
      {"udp-port = 65536", "lumo-run.conf:3: udp-port: not a port number"},
      {"udp-port = 0", "lumo-run.conf:3: udp-port: not a port number"},
      {"udp-port = 1081 # tunnel", "lumo-run.conf:3: udp-port: not a port number"},
      {"socks-port = -1", "lumo-run.conf:3: socks-port: not a port number"},
      {"node = 127.0.0", "lumo-run.conf:3: node: not an IPv4 address"},
      {"node = 127.0.0.01", "lumo-run.conf:3: node: not an IPv4 address"},
      {"node = localhost", "lumo-run.conf:3: node: not an IPv4 address"},
      {"node = 0.0.0.0", "lumo-run.conf:3: node: 0.0.0.0 is not a node address"},
      {"processes =", "lumo-run.conf:3: processes: at least one process name"},
      {"processes = a,,b", "lumo-run.conf:3: processes: an empty process name"},
      {"processes = a,", "lumo-run.conf:3: processes: an empty process name"},
      {"processes = " + std::string(64, 'p'),
       "lumo-run.conf:3: processes: process name longer than 63 bytes"},
      {"processes = /usr/bin/curl",
       "lumo-run.conf:3: processes: a process name is an executable's file name"},
      {"process-limit = 4294967296", "lumo-run.conf:3: process-limit: not a whole number"},
      {"game-id = 12a", "lumo-run.conf:3: game-id: not a whole number"},
      {"area-id = +1", "lumo-run.conf:3: area-id: not a whole number"},
      {"tcp = maybe", "lumo-run.conf:3: tcp: not yes or no"},
      {"password = " + std::string(256, 'p'), "lumo-run.conf:3: password: longer than 255 bytes"},
      {"password = a" + std::string(1, '\0') + "b", "lumo-run.conf:3: password: contains a NUL byte"},
      {"nod = 127.0.0.1", "lumo-run.conf:3: nod: unknown key"},
      {"node 127.0.0.1", "lumo-run.conf:3: not a 'key = value' line"},
      {"= 127.0.0.1", "lumo-run.conf:3: no key before '='"},
      {"rules = mc,1,*.*:80", "lumo-run.conf:3: rules: given twice (first on line 2)"},
  };
  for (const Row& row : rows) {
    RunConfig config;
    config.socksPort = 9;
    std::string error;
    const std::string text = "user = a\nrules =\n" + row.line + "\n" + kRequired;
    EXPECT_FALSE(build(text, {}, config, error)) << row.line;
    EXPECT_EQ(error.substr(0, row.beginning.size()), row.beginning)
        << row.line.substr(0, 40) << " gave " << error;
    EXPECT_EQ(config.socksPort, 9) << "a failed read changed the configuration";
  }
}

TEST(RunConfig, OptionsOverrideTheFile) {
  RunConfig config;
  std::string error;
  const std::vector<ConfigOverride> overrides = {
      {"udp-port", "2000"}, {"tcp", "no"}, {"processes", "other"}, {"udp-port", "2001"}};
  ASSERT_TRUE(build(std::string(kRequired) + "tcp = yes\n", overrides, config, error)) << error;
  EXPECT_EQ(config.udpPort, 2001);  // the later option wins
  EXPECT_EQ(config.socksPort, 1080);
  EXPECT_FALSE(config.tcp);
  EXPECT_EQ(config.processes, std::vector<std::string>{"other"});

  // Options alone; the keys not given take their defaults: both protocols
  // steered through the node, every other switch off.
  config = RunConfig{};
  ASSERT_TRUE(run::buildRunConfig(
      std::nullopt, {{"node", "10.1.2.3"}, {"socks-port", "1"}, {"udp-port", "2"}, {"processes", "a"}},
      config, error))
      << error;
  EXPECT_EQ(config.nodeAddress, htonl(0x0A010203));
  EXPECT_TRUE(config.tcp && config.udp);
  EXPECT_FALSE(config.udpProxyAll || config.adapter || config.forceUdpDirect || config.restartDriver);
  EXPECT_EQ(config.processLimit, 0u);
  // An option's fault is named by the option.
  EXPECT_FALSE(build(kRequired, {{"udp-port", "x"}}, config, error));
  EXPECT_EQ(error, "--udp-port: not a port number (1-65535): x");
}

TEST(RunConfig, MissingRequiredKeysAreListed) {
  RunConfig config;
  std::string error;
  EXPECT_FALSE(build("node = 127.0.0.1\n# processes = game\nsocks-port = 1\n", {}, config, error));
  EXPECT_EQ(error,
            "missing: udp-port, processes (set them in lumo-run.conf, or give --udp-port, --processes)");
  EXPECT_FALSE(run::buildRunConfig(
      std::nullopt, {{"node", "127.0.0.1"}, {"socks-port", "1"}, {"udp-port", "2"}}, config, error));
  EXPECT_EQ(error, "missing: processes (set it in a --config file, or give --processes)");
}

TEST(RunCommandLine, OptionsAndTheProgram) {
  const std::vector<std::pair<std::vector<std::string>, bool>> rows = {
      // arguments, valid
      {{"--", "game"}, true},
      {{"-c", "a.conf", "--library=/x/liblumo.so", "--capture", "c.so", "-q", "--flows", "--", "game", "-x"},
       true},
      {{"--no-driver-start", "--stop-driver", "--node", "1.2.3.4", "--udp-port=5", "--", "game"}, true},
      {{"--tcp", "--no-udp", "--adapter=no", "--restart-driver", "--", "game"}, true},
      {{"--help"}, true},
      {{}, false},                        // no program
      {{"--"}, false},                    // no program
      {{"game"}, false},                  // the program goes after --
      {{"--node", "--", "game"}, false},  // value missing
      {{"--config"}, false},              // value missing
      {{"--quiet=yes", "--", "game"}, false},
      {{"--no-node", "--", "game"}, false},  // not a switch
      {{"--frobnicate", "--", "game"}, false},
  };
  for (const auto& [arguments, valid] : rows) {
    run::RunOptions options;
    std::string error;
    std::string shown;
    for (const std::string& arg : arguments) shown += arg + " ";
    EXPECT_EQ(run::parseCommandLine(arguments, options, error), valid) << shown << ": " << error;
  }

  run::RunOptions options;
  std::string error;
  ASSERT_TRUE(run::parseCommandLine(
      {"--tcp", "--no-udp", "--adapter=no", "--udp-port", "5", "--", "game", "--tcp"}, options, error));
  std::string overrides;
  for (const ConfigOverride& o : options.overrides) overrides += o.key + "=" + o.value + " ";
  EXPECT_EQ(overrides, "tcp=yes udp=no adapter=no udp-port=5 ");
  // What follows "--" is the program's, options or not.
  EXPECT_EQ(options.program, (std::vector<std::string>{"game", "--tcp"}));
}

TEST(RunLaunch, TheCaptureLibraryComesFirstInLdPreload) {
  // The environment lumo-run has, and the one the program gets.
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> rows = {
      {{"PATH=/bin"}, {"PATH=/bin", "LD_PRELOAD=/l/cap.so", "LUMO_DRIVER_DIR=/run/d"}},
      {{"LD_PRELOAD=/a.so:/b.so", "HOME=/h"},
       {"HOME=/h", "LD_PRELOAD=/l/cap.so:/a.so:/b.so", "LUMO_DRIVER_DIR=/run/d"}},
      {{"LD_PRELOAD=", "LUMO_DRIVER_DIR=/old"}, {"LD_PRELOAD=/l/cap.so", "LUMO_DRIVER_DIR=/run/d"}},
      {{"LD_PRELOAD_X=1", "LUMO_DRIVER_DIRS=2"},
       {"LD_PRELOAD_X=1", "LUMO_DRIVER_DIRS=2", "LD_PRELOAD=/l/cap.so", "LUMO_DRIVER_DIR=/run/d"}},
  };
  for (const auto& [base, expected] : rows) {
    EXPECT_EQ(run::programEnvironment(base, "/l/cap.so", "/run/d"), expected) << base[0];
  }
}

}  // namespace
