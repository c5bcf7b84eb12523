#include "rules/validators.h"

#include <regex>

#include "rules/address_text.h"
#include "rules/decimal.h"

namespace rules {
namespace {

// The patterns are part of the file and rule formats: each one decides which
// texts a user may write, so they are kept exactly as the formats define them.
// They run on libstdc++'s breadth-first matcher (the __polynomial flag, see
// name_pattern.h): it walks the text once and its recursion is bounded by the
// pattern, where the backtracking matcher recurses once per character and
// needed a third of a megabyte of stack for a 1,024-character text. Each
// pattern's group 1 (and 5) can only fall one way in a text that matches, so
// the breadth-first matcher captures what the backtracking one would.
constexpr std::regex::flag_type kFlags = std::regex::ECMAScript | std::regex_constants::__polynomial;
const std::regex& ipv4Pattern() {
  static const std::regex pattern(
      R"(^\s*((25[0-5]|2[0-4]\d|[0-1]\d{2}|\d{2}|[1-9])\.(25[0-5]|2[0-4]\d|[0-1]\d{2}|\d{2}|[0-9])\.)"
      R"((25[0-5]|2[0-4]\d|[0-1]\d{2}|\d{2}|[0-9])\.(25[0-5]|2[0-4]\d|[0-1]\d{2}|\d{2}|[0-9]))\s*$)",
      kFlags);
  return pattern;
}

const std::regex& domainPattern() {
  static const std::regex pattern(
      R"(^\s*([a-zA-Z0-9][-a-zA-Z0-9]{0,62}(\.[a-zA-Z0-9][-a-zA-Z0-9]{0,62})*\.[a-zA-Z]+)\s*$)", kFlags);
  return pattern;
}

const std::regex& cidrPattern() {
  static const std::regex pattern(
      R"(^\s*((25[0-5]|2[0-4]\d|[0-1]?\d?\d)(\.(25[0-5]|2[0-4]\d|[0-1]?\d?\d)){3})/(\d+)\s*$)", kFlags);
  return pattern;
}

// Texts far longer than any name or address are refused before the regular
// expression sees them: the matcher's time grows with the text, and a hostile
// megabyte-long token must not cost a megabyte's worth of steps.
constexpr size_t kLongestText = 1024;

}  // namespace

bool IsIpv4Text(std::string& text) {
  if (text.size() > kLongestText) return false;
  std::smatch match;
  if (!std::regex_match(text, match, ipv4Pattern())) return false;
  text = match[1].str();
  return true;
}

bool IsDomainText(std::string& text) {
  if (text.size() > kLongestText) return false;
  std::smatch match;
  if (!std::regex_match(text, match, domainPattern())) return false;
  text = match[1].str();
  return true;
}

bool ParseCidrText(const std::string& text, uint32_t& addressNet, uint32_t& prefixLength) {
  if (text.size() > kLongestText) return false;
  std::smatch match;
  if (!std::regex_match(text, match, cidrPattern())) return false;
  addressNet = ClassicInetAddr(match[1].str());
  prefixLength = static_cast<uint32_t>(ReadDecimal(match[5].str()));
  return true;
}

bool IsIpv6Text(std::string& text) {
  uint8_t address[16];
  uint32_t scope = 0;
  uint16_t port = 0;
  if (!ParseIpv6Address(text, address, scope, port)) return false;
  text = FormatIpv6Address(address, scope, port);
  return true;
}

bool ParseIpv6Text(const std::string& text, SocketAddress28& out) {
  uint8_t address[16];
  uint32_t scope = 0;
  uint16_t port = 0;
  if (!ParseIpv6Address(text, address, scope, port)) {
    out = SocketAddress28{};
    return false;
  }
  out = SocketAddress28::FromIpv6(address, port, scope);
  return true;
}

}  // namespace rules
