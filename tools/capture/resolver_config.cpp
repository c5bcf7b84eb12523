// Linux: the resolver files are read on every look-up, as they may change
// while a program runs (the C library re-reads resolv.conf when it changes).
// Files are read with open and the C library's own read, never through the
// capture's interposed calls.
#include "resolver_config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "address_reply.h"
#include "real_calls.h"

namespace capture::preload {
namespace {

// The C library's upper limits for `timeout` and `attempts`
// (RES_MAXRETRANS, RES_MAXRETRY).
constexpr int kMaxTimeoutSeconds = 30;
constexpr int kMaxAttempts = 5;
// resolv.conf is short; a hosts file may be long (block lists), up to this.
constexpr size_t kResolvConfLimit = 64 * 1024;
constexpr size_t kHostsFileLimit = 16 * 1024 * 1024;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// The next word of `line` from `at` (blanks skipped); empty at the end.
std::string_view nextWord(std::string_view line, size_t& at) {
  while (at < line.size() && isBlank(line[at])) ++at;
  const size_t start = at;
  while (at < line.size() && !isBlank(line[at])) ++at;
  return line.substr(start, at - start);
}

// A decimal number of one to nine digits, nothing else.
std::optional<int> decimal(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::optional<uint32_t> ipv4(std::string_view text) {
  char copy[INET_ADDRSTRLEN];
  if (text.empty() || text.size() >= sizeof copy) return std::nullopt;
  text.copy(copy, text.size());
  copy[text.size()] = '\0';
  in_addr a{};
  if (::inet_pton(AF_INET, copy, &a) != 1) return std::nullopt;
  return a.s_addr;
}

// Calls `each` with every line of `text`, its comment cut off.
template <class Each>
void forEachLine(std::string_view text, Each each, std::string_view commentStarts) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (const size_t comment = line.find_first_of(commentStarts); comment != std::string_view::npos)
      line = line.substr(0, comment);
    if (!each(line)) return;
    start = end + 1;
  }
}

}  // namespace

ResolverConfig ParseResolvConf(std::string_view text) {
  ResolverConfig config;
  forEachLine(
      text,
      [&](std::string_view line) {
        size_t at = 0;
        const std::string_view keyword = nextWord(line, at);
        if (keyword == "nameserver") {
          const std::optional<uint32_t> server = ipv4(nextWord(line, at));
          if (server && config.serverCount < kMaxNameServers) config.servers[config.serverCount++] = *server;
        } else if (keyword == "options") {
          for (std::string_view option = nextWord(line, at); !option.empty(); option = nextWord(line, at)) {
            // Out-of-range values are held to the limits, as the C library does.
            if (option.substr(0, 8) == "timeout:") {
              if (const std::optional<int> n = decimal(option.substr(8)))
                config.timeoutSeconds = std::clamp(*n, 1, kMaxTimeoutSeconds);
            } else if (option.substr(0, 9) == "attempts:") {
              if (const std::optional<int> n = decimal(option.substr(9)))
                config.attempts = std::clamp(*n, 1, kMaxAttempts);
            }
          }
        }
        return true;
      },
      "#;");
  if (config.serverCount == 0) {
    // No server named: the C library asks the local host.
    config.servers[0] = htonl(INADDR_LOOPBACK);
    config.serverCount = 1;
  }
  return config;
}

ResolverConfig ReadResolverConfig() {
  ResolverConfig config = ParseResolvConf(ReadSmallFile("/etc/resolv.conf", kResolvConfLimit).value_or(""));
  if (const char* override = std::getenv("LUMO_CAPTURE_NAMESERVER")) {
    if (const std::optional<uint32_t> server = ipv4(override)) {
      config.servers[0] = *server;
      config.serverCount = 1;
    }
  }
  return config;
}

bool HostsFileNames(std::string_view text, std::string_view name) {
  bool found = false;
  forEachLine(
      text,
      [&](std::string_view line) {
        size_t at = 0;
        if (nextWord(line, at).empty()) return true;  // the address, or an empty line
        for (std::string_view host = nextWord(line, at); !host.empty(); host = nextWord(line, at))
          if (SameDnsName(host, name)) found = true;
        return !found;
      },
      "#");
  return found;
}

std::optional<bool> HostsFileNamesHost(std::string_view name) {
  errno = 0;
  const std::optional<std::string> text = ReadSmallFile("/etc/hosts", kHostsFileLimit);
  if (!text) return errno == ENOENT ? std::optional<bool>(false) : std::nullopt;
  return HostsFileNames(*text, name);
}

std::optional<std::string> ReadSmallFile(const char* path, size_t limit) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = real().read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || text.size() + static_cast<size_t>(n) > limit) {
      const int error = n < 0 ? errno : EFBIG;
      real().close(fd);
      if (n == 0) return text;
      errno = error;
      return std::nullopt;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace capture::preload
