// What the capture's own name look-ups (resolver.h) read from the system's
// resolver files: the name servers and limits of /etc/resolv.conf
// (resolv.conf(5)), the override LUMO_CAPTURE_NAMESERVER, and whether
// /etc/hosts names a host. The parsers take the files' text, so that tests
// give them rows; the readers open the real files. Pure functions, any
// thread; numbers are read digit by digit, never by the locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace capture::preload {

// The largest number of name servers asked (the C library's MAXNS).
inline constexpr int kMaxNameServers = 3;

struct ResolverConfig {
  // IPv4 addresses in network order, in the file's order; never empty once
  // parsed (127.0.0.1 when the file names no IPv4 server).
  uint32_t servers[kMaxNameServers] = {};
  int serverCount = 0;
  // How long one query waits for its answer, and how many rounds over the
  // servers a look-up makes (`options timeout:N attempts:N`; the C library's
  // defaults and upper limits).
  int timeoutSeconds = 5;
  int attempts = 2;
};

// Reads resolv.conf text: `nameserver` lines with an IPv4 address (the first
// three of them; IPv6 servers are skipped, as the capture sees no IPv6
// socket), `options timeout:N` (1..30) and `attempts:N` (1..5); comments
// start with '#' or ';'; anything else is ignored.
ResolverConfig ParseResolvConf(std::string_view text);

// The configuration of this process: /etc/resolv.conf (an unreadable file
// counts as an empty one), its servers replaced by LUMO_CAPTURE_NAMESERVER
// when that holds a dotted IPv4 address (an invalid value is ignored).
ResolverConfig ReadResolverConfig();

// True when hosts-file `text` (hosts(5): an address, then the canonical name
// and aliases; '#' starts a comment) lists `name`, compared without ASCII
// case and without one trailing dot. Every line counts, whatever its
// address's family, as the C library's files service looks at all of them.
bool HostsFileNames(std::string_view text, std::string_view name);

// HostsFileNames over /etc/hosts. nullopt when the file cannot be read
// whole (a missing file names nothing: false).
std::optional<bool> HostsFileNamesHost(std::string_view name);

// The whole of a file of at most `limit` bytes; nullopt when it cannot be
// opened or read, or is larger.
std::optional<std::string> ReadSmallFile(const char* path, size_t limit);

}  // namespace capture::preload
