#include "run_config.h"

#include <arpa/inet.h>

#include <charconv>
#include <set>

namespace run {
namespace {

// SetConfig takes each process name in a 64-byte field that must end in a NUL.
constexpr size_t kMaxProcessName = 63;
// RFC 1929 carries the user name and the password behind a one-byte length.
constexpr size_t kMaxCredential = 255;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Decimal digits only (no sign, no spaces), read without the locale.
bool parseDecimal(std::string_view text, uint32_t& value) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Each setter checks one value and stores it, or returns the problem (without
// place or key, which the caller adds).
using Setter = std::string (*)(std::string_view value, RunConfig& config);

std::string setPort(std::string_view value, uint16_t& port) {
  uint32_t number = 0;
  if (!parseDecimal(value, number) || number == 0 || number > 65535)
    return "not a port number (1-65535): " + std::string(value);
  port = static_cast<uint16_t>(number);
  return {};
}

std::string setNumber(std::string_view value, uint32_t& number) {
  if (!parseDecimal(value, number)) return "not a whole number (0-4294967295): " + std::string(value);
  return {};
}

std::string setCredential(std::string_view value, std::string& field) {
  if (value.size() > kMaxCredential) return "longer than 255 bytes";
  field = value;
  return {};
}

std::string setSwitch(std::string_view value, bool& flag) {
  std::string lower(value);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lower == "yes" || lower == "true" || lower == "on" || lower == "1") {
    flag = true;
  } else if (lower == "no" || lower == "false" || lower == "off" || lower == "0") {
    flag = false;
  } else {
    return "not yes or no: " + std::string(value);
  }
  return {};
}

std::string setNode(std::string_view value, RunConfig& config) {
  // inet_pton takes exactly four decimal parts, each 0-255, and nothing else.
  in_addr address{};
  const std::string text(value);
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) return "not an IPv4 address (a.b.c.d): " + text;
  if (address.s_addr == 0) return "0.0.0.0 is not a node address";
  config.nodeAddress = address.s_addr;
  config.nodeAddressText = text;
  return {};
}

std::string setProcesses(std::string_view value, RunConfig& config) {
  if (value.empty()) return "at least one process name is needed";
  std::vector<std::string> names;
  for (;;) {
    const size_t comma = value.find(',');
    const std::string_view name = trim(value.substr(0, comma));
    if (name.empty()) return "an empty process name (names are separated by single commas)";
    if (name.size() > kMaxProcessName) return "process name longer than 63 bytes: " + std::string(name);
    if (name.find('/') != std::string_view::npos)
      return "a process name is an executable's file name, not a path: " + std::string(name);
    names.emplace_back(name);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  config.processes = std::move(names);
  return {};
}

struct Key {
  const char* name;
  Setter set;
  bool required;
  bool isSwitch;
};

// Every key, in the order the help text and the example file list them.
const Key kKeys[] = {
    {"node", setNode, true, false},
    {"socks-port", [](std::string_view v, RunConfig& c) { return setPort(v, c.socksPort); }, true, false},
    {"udp-port", [](std::string_view v, RunConfig& c) { return setPort(v, c.udpPort); }, true, false},
    {"user", [](std::string_view v, RunConfig& c) { return setCredential(v, c.user); }, false, false},
    {"password", [](std::string_view v, RunConfig& c) { return setCredential(v, c.password); }, false, false},
    {"processes", setProcesses, true, false},
    {"process-limit", [](std::string_view v, RunConfig& c) { return setNumber(v, c.processLimit); }, false,
     false},
    {"rules",
     [](std::string_view v, RunConfig& c) {
       c.rules = v;
       return std::string();
     },
     false, false},
    {"game-id", [](std::string_view v, RunConfig& c) { return setNumber(v, c.gameId); }, false, false},
    {"area-id", [](std::string_view v, RunConfig& c) { return setNumber(v, c.areaId); }, false, false},
    {"tcp", [](std::string_view v, RunConfig& c) { return setSwitch(v, c.tcp); }, false, true},
    {"udp", [](std::string_view v, RunConfig& c) { return setSwitch(v, c.udp); }, false, true},
    {"udp-proxy-all", [](std::string_view v, RunConfig& c) { return setSwitch(v, c.udpProxyAll); }, false,
     true},
    {"adapter", [](std::string_view v, RunConfig& c) { return setSwitch(v, c.adapter); }, false, true},
    {"force-udp-direct", [](std::string_view v, RunConfig& c) { return setSwitch(v, c.forceUdpDirect); },
     false, true},
    {"restart-driver", [](std::string_view v, RunConfig& c) { return setSwitch(v, c.restartDriver); }, false,
     true},
};

const Key* findKey(std::string_view name) {
  for (const Key& key : kKeys) {
    if (name == key.name) return &key;
  }
  return nullptr;
}

// Stores one value, with `place` ("file:7" or "--udp-port") leading any
// message. Every value is C text for the engine, so a NUL byte in it would
// silently cut it short.
bool setValue(const Key& key, std::string_view value, const std::string& place, RunConfig& config,
              std::string& error) {
  std::string problem =
      value.find('\0') != std::string_view::npos ? "contains a NUL byte" : key.set(value, config);
  if (problem.empty()) return true;
  error = place + ": " + problem;
  return false;
}

bool readFile(const ConfigFile& file, RunConfig& config, std::set<std::string>& given, std::string& error) {
  std::string_view text = file.text;
  // A byte-order mark that an editor may have put before the first line.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<int> firstLine(std::size(kKeys), 0);
  int lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = trim(line);
    if (line.empty() || line.front() == '#') continue;

    const std::string place = file.name + ":" + std::to_string(lineNumber);
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      error = place + ": not a 'key = value' line: " + std::string(line.substr(0, 40));
      return false;
    }
    const std::string_view name = trim(line.substr(0, equals));
    if (name.empty()) {
      error = place + ": no key before '='";
      return false;
    }
    const Key* key = findKey(name);
    if (key == nullptr) {
      error = place + ": " + std::string(name) + ": unknown key";
      return false;
    }
    const size_t index = static_cast<size_t>(key - kKeys);
    if (firstLine[index] != 0) {
      error =
          place + ": " + key->name + ": given twice (first on line " + std::to_string(firstLine[index]) + ")";
      return false;
    }
    firstLine[index] = lineNumber;
    if (!setValue(*key, trim(line.substr(equals + 1)), place + ": " + key->name, config, error)) return false;
    given.insert(key->name);
  }
  return true;
}

}  // namespace

bool isConfigKey(std::string_view key) { return findKey(key) != nullptr; }

bool isSwitchKey(std::string_view key) {
  const Key* found = findKey(key);
  return found != nullptr && found->isSwitch;
}

bool buildRunConfig(const std::optional<ConfigFile>& file, const std::vector<ConfigOverride>& overrides,
                    RunConfig& config, std::string& error) {
  RunConfig built;
  std::set<std::string> given;
  if (file && !readFile(*file, built, given, error)) return false;
  for (const ConfigOverride& option : overrides) {
    const Key* key = findKey(option.key);
    if (key == nullptr) {
      error = "--" + option.key + ": unknown option";
      return false;
    }
    if (!setValue(*key, option.value, "--" + option.key, built, error)) return false;
    given.insert(key->name);
  }

  std::string missing;
  std::string options;
  for (const Key& key : kKeys) {
    if (!key.required || given.count(key.name) != 0) continue;
    missing += (missing.empty() ? "" : ", ") + std::string(key.name);
    options += (options.empty() ? "--" : ", --") + std::string(key.name);
  }
  if (!missing.empty()) {
    error = "missing: " + missing + " (set " + (missing.find(',') == std::string::npos ? "it" : "them") +
            " in " + (file ? file->name : std::string("a --config file")) + ", or give " + options + ")";
    return false;
  }
  config = std::move(built);
  return true;
}

}  // namespace run
