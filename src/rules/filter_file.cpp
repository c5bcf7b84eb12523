#include "rules/filter_file.h"

#include <array>

#include "platform/crypto.h"
#include "platform/files.h"
#include "rules/address_text.h"
#include "rules/decimal.h"
#include "rules/filter_key.h"
#include "rules/name_pattern.h"
#include "rules/text_split.h"
#include "rules/validators.h"

namespace rules {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kBase64LineLength = 76;  // characters before each CR LF

// Columns needed by each kind, index = kind.
constexpr size_t kMinimumColumns[] = {5, 5, 4, 5, 3, 9, 9};

uint32_t readU32(std::string_view column) { return static_cast<uint32_t>(ReadDecimal(column)); }
uint16_t readPort(std::string_view column) {
  return platform::hostToNet16(static_cast<uint16_t>(ReadDecimal(column)));
}
std::string cut(std::string_view text, size_t limit) { return std::string(text.substr(0, limit)); }

// Classifies a kind 6 host: 1 a domain name, 0 an IPv4 address, -1 neither.
// `host` becomes the text without surrounding white space.
int hostKind(std::string& host) {
  std::string name = host;
  if (IsDomainText(name)) {
    host = name;
    return 1;
  }
  std::string address = host;
  if (IsIpv4Text(address)) {
    host = address;
    return 0;
  }
  return -1;
}

void drop(std::vector<DroppedLine>* dropped, size_t line, DropReason reason, std::string detail) {
  if (dropped != nullptr) dropped->push_back(DroppedLine{line, reason, std::move(detail)});
}

// Whether a kind 0 or 3 name is acceptable: a plain name always is, a
// "][" pattern only when it compiles within the bounds of name_pattern.h.
bool patternAccepted(const FILTER_RECORD& r, std::vector<DroppedLine>* dropped, size_t line) {
  std::string_view name = TrimName(r.name);
  if (name.substr(0, kPatternPrefix.size()) != kPatternPrefix) return true;
  std::string problem;
  if (NamePattern::Compile(name.substr(kPatternPrefix.size()), &problem) != nullptr) return true;
  drop(dropped, line, DropReason::kBadPattern, "bad pattern " + std::string(name) + ": " + problem);
  return false;
}

}  // namespace

void ParseFilterText(std::string_view text, FilterLists& lists, std::vector<DroppedLine>* dropped) {
  std::vector<size_t> numbers;
  std::vector<std::string_view> lines = SplitLines(text, dropped != nullptr ? &numbers : nullptr);
  for (size_t index = 0; index < lines.size(); ++index) {
    const size_t lineNumber = dropped != nullptr ? numbers[index] : 0;
    std::vector<std::string_view> c = SplitDropEmpty(lines[index], ',');
    if (c.size() < 3) {
      drop(dropped, lineNumber, DropReason::kTooFewColumns,
           "too few columns: " + std::to_string(c.size()) + " of at least 3");
      continue;
    }
    FILTER_RECORD r;
    r.gameId = readU32(c[0]);
    r.areaId = readU32(c[1]);
    r.kind = readU32(c[2]);
    if (r.kind > FILTER_PORT_MAP) {
      drop(dropped, lineNumber, DropReason::kUnknownKind, "unknown kind " + std::string(c[2]));
      continue;
    }
    if (c.size() < kMinimumColumns[r.kind]) {
      drop(dropped, lineNumber, DropReason::kTooFewColumns,
           "too few columns for kind " + std::to_string(r.kind) + ": " + std::to_string(c.size()) +
               " of at least " + std::to_string(kMinimumColumns[r.kind]));
      continue;
    }
    const size_t n = c.size();
    switch (r.kind) {
      case FILTER_STEER:
        r.nameIsAddress = ReadDecimal(c[3]);
        r.name = cut(c[4], kNameLimit);
        if (n >= 7) {
          r.proxyResolve = ReadDecimal(c[5]);
          r.note = cut(c[6], kFixedAddressLimit);
        }
        if (n >= 8) {
          // With exactly eight columns the eighth is both the flag (read as a
          // number) and the address text.
          r.fixedAddressFlag = ReadDecimal(c[7]);
          r.fixedAddress = cut(n >= 9 ? c[8] : c[7], kFixedAddressLimit);
        }
        if (r.nameIsAddress != 1 && !patternAccepted(r, dropped, lineNumber)) continue;
        lists.records.push_back(std::move(r));
        break;
      case FILTER_ADDRESS_PORT:
      case FILTER_DOMAIN_PORT:
        r.name = cut(c[3], kNameLimit);
        r.port = readPort(c[4]);
        if (n >= 6) r.action = static_cast<uint16_t>(ReadDecimal(c[5]));
        if (n >= 7) r.protocol = readU32(c[6]);
        if (r.kind == FILTER_DOMAIN_PORT && !patternAccepted(r, dropped, lineNumber)) continue;
        lists.records.push_back(std::move(r));
        break;
      case FILTER_PORT:
        r.port = readPort(c[3]);
        if (n >= 5) r.action = static_cast<uint16_t>(ReadDecimal(c[4]));
        if (n >= 6) r.protocol = readU32(c[5]);
        lists.records.push_back(std::move(r));
        break;
      case FILTER_WEB_GAME:
        lists.webGames.emplace(r.gameId, r.areaId);
        lists.records.push_back(std::move(r));
        break;
      case FILTER_HOST_REWRITE: {
        HostRewriteEntry e;
        e.gameId = r.gameId;
        e.areaId = r.areaId;
        e.destination = SocketAddress28::FromIpv4(ClassicInetAddr(TrimName(c[3])));
        e.destinationPort = readPort(c[4]);
        e.targetHost = std::string(c[7]);
        e.webRelayPort = readPort(c[8]);
        lists.hostRewrites.push_back(std::move(e));
        break;
      }
      case FILTER_PORT_MAP: {
        PortMapEntry e;
        e.gameId = r.gameId;
        e.areaId = r.areaId;
        e.sourceHost = std::string(c[3]);
        e.sourcePort = readPort(c[4]);
        e.targetHost = std::string(c[5]);
        e.targetPort = readPort(c[6]);
        e.type = readU32(c[7]);
        e.number = readU32(c[8]);
        int source = hostKind(e.sourceHost);
        int target = hostKind(e.targetHost);
        if (source < 0 || target < 0) {
          drop(dropped, lineNumber, DropReason::kBadAddress,
               std::string("bad address: ") +
                   (source < 0 ? "source host " + std::string(c[3]) : "target host " + std::string(c[5])) +
                   " is neither a domain name nor an IPv4 address");
          continue;
        }
        e.sourceIsName = static_cast<uint8_t>(source);
        e.targetIsName = static_cast<uint8_t>(target);
        lists.portMaps.push_back(std::move(e));
        break;
      }
    }
  }
}

FileReadResult ReadFilterFile(const std::filesystem::path& path, std::string& contents) {
  contents.clear();
  try {
    if (path.empty() || !platform::fileExists(path)) return FileReadResult::kMissing;
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    // No size (a folder, say) is left for the read to refuse.
    if (!error && size > kLargestFilterFile) return FileReadResult::kTooLarge;
    if (!platform::readWholeFile(path, contents)) return FileReadResult::kUnreadable;
    if (contents.size() > kLargestFilterFile) {
      std::string().swap(contents);
      return FileReadResult::kTooLarge;
    }
    return FileReadResult::kRead;
  } catch (const std::exception&) {
    // Out of memory while reading (std::bad_alloc, std::length_error).
    std::string().swap(contents);
    return FileReadResult::kUnreadable;
  }
}

std::string Base64Encode(const std::vector<uint8_t>& bytes) {
  std::string out;
  out.reserve(bytes.size() * 4 / 3 + bytes.size() / 57 + 8);
  size_t lineLength = 0;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = uint32_t{bytes[i]} << 16;
    if (i + 1 < bytes.size()) v |= uint32_t{bytes[i + 1]} << 8;
    if (i + 2 < bytes.size()) v |= bytes[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
    lineLength += 4;
    if (lineLength == kBase64LineLength) {
      out += "\r\n";
      lineLength = 0;
    }
  }
  if (lineLength != 0) out += "\r\n";
  return out;
}

size_t EncipheredFileSize(size_t plainBytes) {
  const size_t characters = (plainBytes + 2) / 3 * 4;
  const size_t lines = (characters + kBase64LineLength - 1) / kBase64LineLength;
  return characters + 2 * lines;  // each line ends in CR LF
}

std::vector<uint8_t> Base64Decode(std::string_view text) {
  static const auto table = [] {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int k = 0; k < 64; ++k) t[static_cast<uint8_t>(kAlphabet[k])] = static_cast<int8_t>(k);
    return t;
  }();
  std::vector<uint8_t> out;
  out.reserve(text.size() * 3 / 4);
  uint32_t bits = 0;
  int count = 0;
  for (char ch : text) {
    int8_t v = table[static_cast<uint8_t>(ch)];
    if (v < 0) continue;  // line breaks, '=' and anything else
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  return out;
}

CipherResult DecipherFilterFile(std::string_view fileContents, std::string& plainText, std::string& error) {
  plainText.clear();
  error.clear();
  std::vector<uint8_t> bytes = Base64Decode(fileContents);
  platform::CipherStatus status = platform::CipherStatus::kFailed;
  WithFilterKey([&](const uint8_t* key, size_t length) {
    status = platform::rc4DecryptWithDerivedKey(key, length, bytes, error);
  });
  if (status == platform::CipherStatus::kFailed) return CipherResult::kFailed;
  plainText.assign(bytes.begin(), bytes.end());
  return status == platform::CipherStatus::kOk ? CipherResult::kOk : CipherResult::kNoProvider;
}

CipherResult EncipherFilterText(std::string_view plainText, std::string& fileContents, std::string& error) {
  fileContents.clear();
  error.clear();
  std::vector<uint8_t> bytes(plainText.begin(), plainText.end());
  platform::CipherStatus status = platform::CipherStatus::kFailed;
  WithFilterKey([&](const uint8_t* key, size_t length) {
    status = platform::rc4EncryptWithDerivedKey(key, length, bytes, error);
  });
  if (status == platform::CipherStatus::kNoProvider) {
    error = "no cryptographic context could be acquired";
    return CipherResult::kNoProvider;
  }
  if (status == platform::CipherStatus::kFailed) return CipherResult::kFailed;
  fileContents = Base64Encode(bytes);
  return CipherResult::kOk;
}

}  // namespace rules
