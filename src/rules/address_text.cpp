#include "rules/address_text.h"

#include <cstdio>
#include <cstring>

#include "platform/socket_address28.h"

namespace rules {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads the dotted IPv4 tail of an IPv6 address: exactly four decimal parts
// of at most three digits and value 255.
bool parseDottedQuad(std::string_view text, uint8_t out[4]) {
  int part = 0;
  size_t i = 0;
  while (part < 4) {
    size_t start = i;
    unsigned value = 0;
    while (i < text.size() && isDigit(text[i]) && i - start < 3) value = value * 10 + unsigned(text[i++] - '0');
    if (i == start || value > 255) return false;
    out[part++] = static_cast<uint8_t>(value);
    if (part < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  return i == text.size();
}

}  // namespace

uint32_t ClassicInetAddr(std::string_view text) {
  uint32_t parts[4] = {};
  int count = 0;
  size_t i = 0;
  for (;;) {
    if (i >= text.size() || !isDigit(text[i])) return kInvalidIpv4;
    uint64_t value = 0;
    unsigned base = 10;
    if (text[i] == '0') {
      base = 8;
      ++i;
      if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
        if (i >= text.size() || hexValue(text[i]) < 0) return kInvalidIpv4;
      }
    }
    for (; i < text.size(); ++i) {
      int digit = base == 16 ? hexValue(text[i]) : (isDigit(text[i]) ? text[i] - '0' : -1);
      if (digit < 0) break;
      if (base == 8 && digit > 7) return kInvalidIpv4;
      value = value * base + unsigned(digit);
      if (value > 0xFFFFFFFFu) return kInvalidIpv4;
    }
    if (count == 4) return kInvalidIpv4;
    parts[count++] = static_cast<uint32_t>(value);
    if (i < text.size() && text[i] == '.') {
      ++i;
      continue;
    }
    if (i < text.size() && !isSpace(text[i])) return kInvalidIpv4;
    break;
  }
  uint32_t host = 0;
  switch (count) {
    case 1:
      host = parts[0];
      break;
    case 2:
      if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return kInvalidIpv4;
      host = (parts[0] << 24) | parts[1];
      break;
    case 3:
      if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return kInvalidIpv4;
      host = (parts[0] << 24) | (parts[1] << 16) | parts[2];
      break;
    default:
      for (int k = 0; k < 4; ++k)
        if (parts[k] > 0xFF) return kInvalidIpv4;
      host = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
      break;
  }
  return platform::hostToNet32(host);
}

bool ParseIpv6Address(std::string_view text, uint8_t address[16], uint32_t& scopeId, uint16_t& portNet) {
  scopeId = 0;
  portNet = 0;
  std::memset(address, 0, 16);
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6) return false;
      uint32_t port = 0;
      for (char c : rest.substr(1)) {
        if (!isDigit(c)) return false;
        port = port * 10 + unsigned(c - '0');
      }
      if (port > 0xFFFF) return false;
      portNet = platform::hostToNet16(static_cast<uint16_t>(port));
    }
    text = text.substr(1, close - 1);
  }
  size_t percent = text.find('%');
  if (percent != std::string_view::npos) {
    std::string_view scope = text.substr(percent + 1);
    if (scope.empty() || scope.size() > 10) return false;
    uint64_t value = 0;
    for (char c : scope) {
      if (!isDigit(c)) return false;
      value = value * 10 + unsigned(c - '0');
    }
    if (value > 0xFFFFFFFFu) return false;
    scopeId = static_cast<uint32_t>(value);
    text = text.substr(0, percent);
  }

  // Groups before and after the "::", each kept as 16-bit values.
  uint16_t head[8];
  uint16_t tail[8];
  int headCount = 0;
  int tailCount = 0;
  bool compressed = false;
  size_t i = 0;
  if (text.size() >= 2 && text[0] == ':' && text[1] == ':') {
    compressed = true;
    i = 2;
  } else if (!text.empty() && text[0] == ':') {
    return false;
  }
  while (i < text.size()) {
    // A dotted IPv4 tail takes the last two groups.
    size_t end = text.find(':', i);
    std::string_view group = text.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
    int& count = compressed ? tailCount : headCount;
    uint16_t* groups = compressed ? tail : head;
    if (group.find('.') != std::string_view::npos) {
      if (end != std::string_view::npos || headCount + tailCount > 6) return false;
      uint8_t quad[4];
      if (!parseDottedQuad(group, quad)) return false;
      groups[count++] = static_cast<uint16_t>((quad[0] << 8) | quad[1]);
      groups[count++] = static_cast<uint16_t>((quad[2] << 8) | quad[3]);
      break;
    }
    if (group.empty() || group.size() > 4 || headCount + tailCount >= 8) return false;
    unsigned value = 0;
    for (char c : group) {
      int h = hexValue(c);
      if (h < 0) return false;
      value = value * 16 + unsigned(h);
    }
    groups[count++] = static_cast<uint16_t>(value);
    if (end == std::string_view::npos) break;
    i = end + 1;
    if (i < text.size() && text[i] == ':') {
      if (compressed) return false;
      compressed = true;
      ++i;
    } else if (i == text.size()) {
      return false;  // a single trailing colon
    }
  }
  int total = headCount + tailCount;
  if (compressed ? total > 7 : total != 8) return false;
  uint16_t groups[8] = {};
  for (int k = 0; k < headCount; ++k) groups[k] = head[k];
  for (int k = 0; k < tailCount; ++k) groups[8 - tailCount + k] = tail[k];
  for (int k = 0; k < 8; ++k) {
    address[2 * k] = static_cast<uint8_t>(groups[k] >> 8);
    address[2 * k + 1] = static_cast<uint8_t>(groups[k]);
  }
  return true;
}

std::string FormatIpv6Address(const uint8_t address[16], uint32_t scopeId, uint16_t portNet) {
  uint16_t g[8];
  for (int k = 0; k < 8; ++k) g[k] = static_cast<uint16_t>((address[2 * k] << 8) | address[2 * k + 1]);
  char buffer[80];
  std::string text;
  bool firstFiveZero = g[0] == 0 && g[1] == 0 && g[2] == 0 && g[3] == 0 && g[4] == 0;
  bool mapped = firstFiveZero && g[5] == 0xFFFF;
  bool compatible = firstFiveZero && g[5] == 0 && g[6] != 0;
  if (mapped || compatible) {
    std::snprintf(buffer, sizeof buffer, "::%s%u.%u.%u.%u", mapped ? "ffff:" : "", address[12], address[13],
                  address[14], address[15]);
    text = buffer;
  } else {
    int bestStart = -1;
    int bestLength = 1;
    for (int k = 0; k < 8;) {
      if (g[k] != 0) {
        ++k;
        continue;
      }
      int start = k;
      while (k < 8 && g[k] == 0) ++k;
      if (k - start > bestLength) {
        bestStart = start;
        bestLength = k - start;
      }
    }
    for (int k = 0; k < 8; ++k) {
      if (k == bestStart) {
        text += "::";
        k += bestLength - 1;
        continue;
      }
      if (!text.empty() && text.back() != ':') text += ':';
      std::snprintf(buffer, sizeof buffer, "%x", g[k]);
      text += buffer;
    }
  }
  if (scopeId != 0) {
    text += '%';
    text += std::to_string(scopeId);
  }
  if (portNet == 0) return text;
  std::string bracketed;
  bracketed.reserve(text.size() + 8);
  bracketed += '[';
  bracketed += text;
  bracketed += "]:";
  bracketed += std::to_string(platform::hostToNet16(portNet));
  return bracketed;
}

}  // namespace rules
