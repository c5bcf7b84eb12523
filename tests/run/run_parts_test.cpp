// lumo-run's parts on their own: its configuration file and options, its
// command line and the launched program's environment; then the lines it
// prints for the driver's list of flows, replies that do not hold together,
// and the reader against a stand-in for the driver's capture socket.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "flow_list.h"
#include "launch.h"
#include "run_config.h"
#include "support/test_support.h"

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
  for (const auto& [base, expected] : rows)
    EXPECT_EQ(run::programEnvironment(base, "/l/cap.so", "/run/d"), expected) << base[0];
}

namespace wire = capture::wire;

wire::Endpoint endpoint(const char* address, uint16_t port) {
  in_addr a{};
  inet_pton(AF_INET, address, &a);
  return wire::endpoint(a.s_addr, htons(port));
}

// A record; `counts` are up datagrams, up bytes, down datagrams, down bytes.
wire::FlowRecord record(const char* program, uint32_t pid, uint8_t protocol, uint8_t decision,
                        wire::Endpoint local = {}, wire::Endpoint remote = {},
                        std::array<uint64_t, 4> counts = {}, uint32_t ageMs = 0) {
  wire::FlowRecord r{};
  std::strncpy(r.program, program, sizeof r.program);
  r.pid = pid;
  r.protocol = protocol;
  r.decision = decision;
  r.local = local;
  r.remote = remote;
  r.upDatagrams = counts[0];
  r.upBytes = counts[1];
  r.downDatagrams = counts[2];
  r.downBytes = counts[3];
  r.ageMs = ageMs;
  return r;
}

std::vector<uint8_t> reply(const std::vector<wire::FlowRecord>& records, uint32_t total, uint16_t flags = 0) {
  const wire::FlowsReply head{wire::header(wire::kFlowsReply, 0), total,
                              static_cast<uint16_t>(records.size()), flags};
  std::vector<uint8_t> bytes(sizeof head + records.size() * sizeof(wire::FlowRecord));
  std::memcpy(bytes.data(), &head, sizeof head);
  if (!records.empty())
    std::memcpy(bytes.data() + sizeof head, records.data(), records.size() * sizeof records[0]);
  return bytes;
}

TEST(FlowList, EachFlowIsOneLineOfWhatTheDriverSays) {
  wire::FlowRecord tcp = record("curl", 1234, 6, wire::kDecisionRelayed, endpoint("10.0.0.2", 40112),
                                endpoint("203.0.113.5", 8000), {0, 87, 0, 8 << 20}, 3400);
  tcp.target = endpoint("127.0.0.1", 50001);
  const wire::FlowRecord udp = record("socat", 1240, 17, wire::kDecisionReported, endpoint("10.0.0.2", 5000),
                                      endpoint("203.0.113.5", 7000), {1000, 64000, 999, 63936}, 125000);
  wire::FlowRecord ping = record("lumo-ping\x1b[2J", 7, 1, wire::kDecisionStraight, endpoint("10.0.0.2", 0),
                                 endpoint("198.51.100.20", 0), {3, 192, 0, 0}, 7300000);
  ping.flags = wire::kFlowClosed;
  const wire::FlowRecord refused =
      record("", 9, 6, wire::kDecisionRefused, endpoint("10.0.0.2", 40113), endpoint("203.0.113.66", 80));
  // Every byte of the name field used: no terminating zero to rely on.
  wire::FlowRecord waiting = record("", 10, 6, wire::kDecisionWaiting);
  std::memset(waiting.program, 'x', sizeof waiting.program);

  run::FlowList list;
  std::string error;
  const std::vector<uint8_t> bytes = reply({tcp, udp, ping, refused, waiting}, 5);
  ASSERT_TRUE(run::parseFlowList(bytes.data(), bytes.size(), list, error)) << error;
  const std::vector<std::string> expected = {
      "lumo: flows (from lumo-driver): 5",
      "  tcp  curl[1234]  10.0.0.2:40112 -> 203.0.113.5:8000  via relay 127.0.0.1:50001  up 87 B down 8.0 "
      "MiB  3s",
      "  udp  socat[1240]  10.0.0.2:5000 -> 203.0.113.5:7000  through the library  up 1000 dgrams 62.5 KiB "
      "down 999 dgrams 62.4 KiB  2m05s",
      "  icmp  lumo-ping?[2J[7]  10.0.0.2 -> 198.51.100.20  straight  up 3 msgs 192 B down 0 msgs 0 B  2h01m "
      " closed",
      "  tcp  ?[9]  10.0.0.2:40113 -> 203.0.113.66:80  refused  up 0 B down 0 B  0s",
      "  tcp  " + std::string(32, 'x') + "[10]  0.0.0.0:0 -> -  waiting for a verdict  up 0 B down 0 B  0s",
  };
  EXPECT_EQ(run::flowListLines(list), expected);

  // A list the driver had to cut, and an empty one.
  const std::vector<uint8_t> cut = reply({tcp}, 700, wire::kFlowsTruncated);
  ASSERT_TRUE(run::parseFlowList(cut.data(), cut.size(), list, error)) << error;
  EXPECT_EQ(run::flowListLines(list)[0], "lumo: flows (from lumo-driver): 1 of 700 shown");
  const std::vector<uint8_t> none = reply({}, 0);
  ASSERT_TRUE(run::parseFlowList(none.data(), none.size(), list, error)) << error;
  EXPECT_EQ(run::flowListLines(list), std::vector<std::string>{"lumo: flows (from lumo-driver): none"});
}

TEST(FlowList, RepliesThatDoNotHoldTogetherAreRefused) {
  const std::vector<uint8_t> good = reply({record("a", 1, 6, 1), record("b", 2, 17, 4)}, 2);
  run::FlowList list;
  std::string error;
  ASSERT_TRUE(run::parseFlowList(good.data(), good.size(), list, error)) << error;

  // Cut anywhere, or one byte longer: the records no longer fill it.
  for (size_t size = 0; size < good.size(); ++size)
    EXPECT_FALSE(run::parseFlowList(good.data(), size, list, error)) << "cut at " << size;
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_FALSE(run::parseFlowList(longer.data(), longer.size(), list, error));

  struct Row {
    const char* what;
    size_t offset;
    uint8_t value;
  } rows[] = {
      {"a count that claims one more", offsetof(wire::FlowsReply, count), 3},
      {"another type", offsetof(wire::Header, type), wire::kWelcome},
      {"reserved header bits", offsetof(wire::Header, reserved), 1},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> bad = good;
    bad[row.offset] = row.value;
    EXPECT_FALSE(run::parseFlowList(bad.data(), bad.size(), list, error)) << row.what;
  }
}

// A SEQPACKET listener standing for the driver's capture socket.
class FakeCaptureSocket {
 public:
  explicit FakeCaptureSocket(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 4) == 0;
  }
  ~FakeCaptureSocket() {
    if (client_ >= 0) close(client_);
    close(fd_);
  }
  bool ok() const { return ok_; }
  // Takes the client's connection and its request; false if either is not
  // there or the request is not a FlowsRequest.
  bool takeRequest() {
    if (client_ < 0) client_ = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    wire::Hello request{};
    return client_ >= 0 && recv(client_, &request, sizeof request + 1, 0) == sizeof request &&
           request.header.type == wire::kFlowsRequest && request.magic == wire::kMagic;
  }
  void answer(const std::vector<uint8_t>& bytes) { send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

 private:
  int fd_ = -1;
  int client_ = -1;
  bool ok_ = false;
};

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return fd >= 0 && poll(&p, 1, 5000) == 1;
}

TEST(FlowListReader, AsksWithoutWaitingAndSaysWhenTheDriverDoesNotAnswer) {
  lumotest::TempDir dir;
  const std::string path = (dir.path() / "capture").string();
  run::FlowListReader reader(path);
  EXPECT_EQ(reader.ask(), std::vector<std::string>{"lumo: flows: lumo-driver does not answer on " + path +
                                                   " (No such file or directory)"});
  EXPECT_EQ(reader.descriptor(), -1);

  FakeCaptureSocket driver(path);
  ASSERT_TRUE(driver.ok());
  EXPECT_TRUE(reader.ask().empty());
  ASSERT_TRUE(driver.takeRequest());
  driver.answer(reply({record("curl", 5, 6, wire::kDecisionAsAsked)}, 1));
  ASSERT_TRUE(readable(reader.descriptor()));
  const std::vector<std::string> lines = reader.read();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "lumo: flows (from lumo-driver): 1");
  EXPECT_EQ(reader.descriptor(), -1) << "nothing awaited once answered";

  // The same connection serves the next request; an answer that does not
  // come by the next one is said, and the connection made anew.
  EXPECT_TRUE(reader.ask().empty());
  ASSERT_TRUE(driver.takeRequest());
  EXPECT_EQ(reader.ask(),
            std::vector<std::string>{"lumo: flows: lumo-driver did not answer within a second"});

  // A malformed answer is said in one line.
  FakeCaptureSocket other((dir.path() / "other").string());
  run::FlowListReader second((dir.path() / "other").string());
  EXPECT_TRUE(second.ask().empty());
  ASSERT_TRUE(other.takeRequest());
  other.answer({1, 2, 3});
  ASSERT_TRUE(readable(second.descriptor()));
  EXPECT_THAT(second.read(), ::testing::ElementsAre(
                                 ::testing::StartsWith("lumo: flows: lumo-driver's answer is malformed: ")));
}

}  // namespace
