// The filter file: its records, its line format and its encoding.
//
// File encoding, outermost first: Base64 text (every character outside the
// standard alphabet, '=' included, is skipped); RC4 with the key derived from
// the 9-byte file key (platform/crypto.h, filter_key.h); 8-bit plain text.
//
// Plain text: lines split at every CR and LF, empty lines skipped; columns
// split at every ',', empty columns dropped. Columns 1 to 3 are gameId,
// areaId and kind; the rest depends on the kind:
//
//   kind 0 steer        4 nameIsAddress, 5 name; 7+ columns: 6 proxyResolve,
//                       7 note; 8+ columns: 8 fixedAddressFlag, 9 fixedAddress
//                       (with exactly 8 columns fixedAddress is column 8's text)
//   kind 1 address port 4 address, 5 port; 6 action; 7 protocol
//   kind 2 port         4 port; 5 action; 6 protocol
//   kind 3 domain port  as kind 1 with a domain or "][" pattern in column 4
//   kind 4 web game     nothing more
//   kind 5 host rewrite 4 IPv4 address, 5 port, 6-7 unused, 8 target host,
//                       9 web-relay port
//   kind 6 port map     4 source host, 5 source port, 6 target host,
//                       7 target port, 8 type (1 = through the relay), 9 number
//
// A name of kind 0 or 3 that starts with "][" is a domain pattern; a line
// whose pattern is refused (name_pattern.h says which ones) is dropped.
//
// Size: a file larger than kLargestFilterFile is not read at all (it is
// treated as unreadable and the lists already loaded stay).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket_address28.h"

namespace rules {

using platform::SocketAddress28;

enum FilterKind : uint32_t {
  FILTER_STEER = 0,
  FILTER_ADDRESS_PORT = 1,
  FILTER_PORT = 2,
  FILTER_DOMAIN_PORT = 3,
  FILTER_WEB_GAME = 4,
  FILTER_HOST_REWRITE = 5,
  FILTER_PORT_MAP = 6,
};

// The largest filter file read, in bytes of the enciphered file: 4 MiB holds
// about 60,000 rules of typical length (50 bytes a line), several times what
// a catalogue of every game and region needs. The cap also bounds what a
// damaged or hostile file can make the engine allocate while loading: a file
// at the cap made of the shortest rules costs about 95 MB at the peak (about
// 23 bytes per byte of file), one of typical rules about 25 MB.
inline constexpr size_t kLargestFilterFile = size_t{4} << 20;

inline constexpr size_t kNameLimit = 254;         // bytes of FILTER_RECORD::name
inline constexpr size_t kFixedAddressLimit = 15;  // bytes of fixedAddress and note

// One line of kind 0 to 4. Numbers are read as decimal (decimal.h); ports are
// stored in network byte order.
struct FILTER_RECORD {
  uint32_t gameId = 0;  // 0 = every game
  uint32_t areaId = 0;  // 0 = every area
  uint32_t kind = 0;
  uint16_t port = 0xFFFF;
  int32_t proxyResolve = -1;      // kind 0: 1 = resolved through the proxy
  int32_t fixedAddressFlag = -1;  // kind 0: 1 = fixedAddress holds the answer
  int32_t nameIsAddress = -1;     // kind 0: 1 = name is an address
  uint16_t action = 0;            // 1 = block, else direct
  uint32_t protocol = 0;          // 0 TCP and UDP, 1 TCP, 2 UDP
  std::string name;               // domain, "][" pattern or address; cut to 254 bytes
  std::string fixedAddress;       // kind 0 column 9; cut to 15 bytes
  std::string note;               // kind 0 column 7, kept but never read; cut to 15 bytes
};

// One kind 5 line.
struct HostRewriteEntry {
  uint32_t gameId = 0;
  uint32_t areaId = 0;
  SocketAddress28 destination;   // family 2, column 4's address, port 0
  uint16_t destinationPort = 0;  // network order
  std::string targetHost;        // column 8
  uint16_t webRelayPort = 0;     // network order
};

// The value of the host-rewrite table: where a rewritten web connection goes.
struct HOST_REWRITE {
  uint32_t gameId = 0;
  uint32_t areaId = 0;
  std::string targetHost;     // a DNS name to resolve
  uint16_t webRelayPort = 0;  // network order
};

// One kind 6 line, and the value of the port-map table.
struct PortMapEntry {
  uint32_t gameId = 0;
  uint32_t areaId = 0;
  std::string sourceHost;   // a domain name or an IPv4 address
  uint16_t sourcePort = 0;  // network order
  std::string targetHost;   // a domain name or an IPv4 address
  uint16_t targetPort = 0;  // network order
  uint32_t type = 0;        // 1 = through the relay
  uint32_t number = 0;      // column 9, kept with the entry
  uint8_t sourceIsName = 0;
  uint8_t targetIsName = 0;  // the host-is-name flag: resolve targetHost by DNS
};
using PORT_MAP = PortMapEntry;

// Everything one file holds, in line order.
struct FilterLists {
  std::vector<FILTER_RECORD> records;     // kinds 0 to 4
  std::map<uint32_t, uint32_t> webGames;  // kind 4: gameId → areaId (first line wins)
  std::vector<HostRewriteEntry> hostRewrites;
  std::vector<PortMapEntry> portMaps;
};

enum class DropReason { kTooFewColumns, kUnknownKind, kBadAddress, kBadPattern };

struct DroppedLine {
  size_t lineNumber = 0;  // 1-based, as an editor counts
  DropReason reason = DropReason::kTooFewColumns;
  std::string detail;  // one sentence for a person
};

// Parses plain filter text into `lists` (appending). Lines that do not fit
// are dropped; when `dropped` is given each one is reported there. Never
// fails as a whole.
void ParseFilterText(std::string_view text, FilterLists& lists, std::vector<DroppedLine>* dropped = nullptr);

enum class FileReadResult {
  kRead,        // `contents` holds the whole file
  kMissing,     // nothing exists at the path
  kUnreadable,  // it could not be opened or read (a folder, no permission, no memory)
  kTooLarge,    // larger than kLargestFilterFile: not read
};

// Reads a filter file whole, refusing one larger than kLargestFilterFile (its
// size is checked before reading and again after, in case it grew). Leaves
// `contents` empty unless kRead. Never throws. Any thread.
FileReadResult ReadFilterFile(const std::filesystem::path& path, std::string& contents);

// Base64 with the standard alphabet and '=' fill, in lines of 76 characters.
std::string Base64Encode(const std::vector<uint8_t>& bytes);
// The size of the file that EncipherFilterText makes of `plainBytes` bytes
// of text (the cipher keeps the length; Base64Encode adds the rest).
size_t EncipheredFileSize(size_t plainBytes);
// Base64 decoding that skips every character outside the alphabet.
std::vector<uint8_t> Base64Decode(std::string_view text);

enum class CipherResult {
  kOk,          // the text was deciphered
  kNoProvider,  // no cryptographic context: the decoded bytes are taken as they are
  kFailed,      // a cryptographic call failed: treat the file as unreadable
};

// File contents → plain text, with the build's file key. `error` receives
// the failing call's text for kFailed.
CipherResult DecipherFilterFile(std::string_view fileContents, std::string& plainText, std::string& error);

// Plain text → file contents, with the build's file key. kNoProvider and
// kFailed leave `fileContents` empty.
CipherResult EncipherFilterText(std::string_view plainText, std::string& fileContents, std::string& error);

}  // namespace rules
