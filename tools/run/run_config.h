// The configuration of one lumo-run: which node to use, which processes to
// steer and how.
//
// It comes from a small file of "key = value" lines and from command-line
// options named after the same keys ("--udp-port 1081"), which override the
// file. Both are read by the same rules, so a value that the file may hold is
// exactly a value the option may take. The file's format:
//
//   # a comment: a line whose first non-blank character is '#'
//   node = 127.0.0.1
//   processes = game, game-launcher
//
// Blank lines are skipped; spaces and tabs around keys and values are not
// part of them; a '#' after a value is part of the value (passwords may hold
// one). Each key may appear once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace run {

struct RunConfig {
  // The node: its IPv4 address (network byte order, as SetConfig takes it;
  // the text kept for messages), SOCKS5 port and UDP tunnel port (host
  // order). All three are required.
  uint32_t nodeAddress = 0;
  std::string nodeAddressText;
  uint16_t socksPort = 0;
  uint16_t udpPort = 0;
  // SOCKS5 credentials (RFC 1929: at most 255 bytes each); the password's
  // leading decimal digits are also the UDP tunnel's user id.
  std::string user;
  std::string password;
  // The executable file names of the processes to steer (at least one, each
  // at most 63 bytes), and how many processes of each name are admitted
  // (0: no limit).
  std::vector<std::string> processes;
  uint32_t processLimit = 0;
  // Ping-delay and ICMP rules, passed to the engine as they are.
  std::string rules;
  uint32_t gameId = 0;
  uint32_t areaId = 0;
  // Start's switches and the driver restart of Init and Start.
  bool tcp = true;
  bool udp = true;
  bool udpProxyAll = false;
  bool adapter = false;
  bool forceUdpDirect = false;
  bool restartDriver = false;
};

// A configuration file's name (for messages) and its whole text.
struct ConfigFile {
  std::string name;
  std::string text;
};

// One command-line option that sets a key: "--udp-port 1081" is
// {"udp-port", "1081"}.
struct ConfigOverride {
  std::string key;
  std::string value;
};

// True when `key` is one of the configuration keys.
bool isConfigKey(std::string_view key);
// True when `key` is a yes/no switch (its option may stand alone: "--tcp",
// "--no-tcp").
bool isSwitchKey(std::string_view key);

// Reads `file` (when given), then applies `overrides` in order (a later one
// wins), and checks that every required key is set. Returns false with one
// line in `error` on the first fault, which names its place and key:
//   "lumo-run.conf:7: udp-port: not a port number (1-65535): 10810"
//   "lumo-run.conf:3: nod: unknown key"
//   "--udp-port: not a port number (1-65535): x"
//   "missing: node, processes (set them in lumo-run.conf or with --node, --processes)"
// `config` is written only on success. No I/O: the caller reads the file.
bool buildRunConfig(const std::optional<ConfigFile>& file, const std::vector<ConfigOverride>& overrides,
                    RunConfig& config, std::string& error);

}  // namespace run
