#include "destination_map.h"

#include <algorithm>
#include <charconv>

#include "platform/net.h"

namespace node {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerText(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), lower);
  return out;
}

// Decimal digits only, at most `maxDigits`, value at most `maxValue`.
bool parseDecimal(std::string_view text, size_t maxDigits, uint32_t maxValue, uint32_t& value) {
  if (text.empty() || text.size() > maxDigits) return false;
  if (!std::all_of(text.begin(), text.end(), isDigit)) return false;
  uint32_t parsed = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec != std::errc() || end != text.data() + text.size() || parsed > maxValue) return false;
  value = parsed;
  return true;
}

// A host name as DNS carries it: letters, digits, '-', '_' and dots.
bool isHostName(std::string_view text) {
  if (text.empty() || text.size() > 253) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return isDigit(c) || (lower(c) >= 'a' && lower(c) <= 'z') || c == '-' || c == '_' || c == '.';
  });
}

// Splits "HOST:PORT" at the last colon; no colon leaves `port` empty.
void splitPort(std::string_view text, std::string_view& host, std::string_view& port, bool& hasPort) {
  size_t colon = text.rfind(':');
  hasPort = colon != std::string_view::npos;
  host = hasPort ? text.substr(0, colon) : text;
  port = hasPort ? text.substr(colon + 1) : std::string_view();
}

}  // namespace

bool parseIpv4(std::string_view text, uint32_t& address) {
  uint32_t addressNet = 0;
  if (!platform::parseIpv4(text, addressNet)) return false;
  address = platform::netToHost32(addressNet);
  return true;
}

bool parsePort(std::string_view text, uint16_t& port) {
  uint32_t value = 0;
  if (!parseDecimal(text, 5, 65535, value)) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

std::string formatIpv4(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string formatEndpoint(const Ipv4Endpoint& endpoint) {
  return formatIpv4(endpoint.address) + ":" + std::to_string(endpoint.port);
}

bool DestinationMap::addRule(std::string_view text, std::string& error) {
  size_t equals = text.find('=');
  if (equals == std::string_view::npos || text.find('=', equals + 1) != std::string_view::npos) {
    error = "a map rule is SOURCE=TARGET with exactly one '=': " + std::string(text);
    return false;
  }
  std::string_view source = text.substr(0, equals);
  std::string_view targetText = text.substr(equals + 1);

  // Target: an IPv4 address and an optional port.
  Target target;
  std::string_view targetHost, targetPort;
  bool targetHasPort = false;
  splitPort(targetText, targetHost, targetPort, targetHasPort);
  if (!parseIpv4(targetHost, target.address)) {
    error = "map target must be an IPv4 address with an optional :port: " + std::string(targetText);
    return false;
  }
  if (targetHasPort && (!parsePort(targetPort, target.port) || target.port == 0)) {
    error = "bad target port in map rule: " + std::string(text);
    return false;
  }
  target.keepPort = !targetHasPort;

  // Source: a network, an address or a host name, with an optional port.
  std::string_view sourceHost, sourcePort;
  bool sourceHasPort = false;
  splitPort(source, sourceHost, sourcePort, sourceHasPort);
  uint16_t port = 0;
  if (sourceHasPort && (!parsePort(sourcePort, port) || port == 0)) {
    error = "bad source port in map rule: " + std::string(text);
    return false;
  }

  bool numeric = !sourceHost.empty() && std::all_of(sourceHost.begin(), sourceHost.end(),
                                                     [](char c) { return isDigit(c) || c == '.' || c == '/'; });
  if (!numeric) {
    if (!isHostName(sourceHost)) {
      error = "map source must be an IPv4 address, a network a.b.c.d/n or a host name: " + std::string(source);
      return false;
    }
    nameRules_.push_back({lowerText(sourceHost), !sourceHasPort, port, target});
    return true;
  }

  AddressRule rule;
  rule.anyPort = !sourceHasPort;
  rule.port = port;
  rule.target = target;
  uint32_t networkNet = 0, prefixLength = 0;
  if (!platform::parseIpv4Network(sourceHost, networkNet, prefixLength)) {
    error = "bad network in map rule (a.b.c.d or a.b.c.d/n, n 0..32): " + std::string(source);
    return false;
  }
  rule.network = platform::netToHost32(networkNet);
  rule.prefixLength = static_cast<int>(prefixLength);
  uint32_t mask = rule.prefixLength == 0 ? 0u : ~0u << (32 - rule.prefixLength);
  if ((rule.network & ~mask) != 0) {
    error = "network has bits set beyond its prefix: " + std::string(source);
    return false;
  }
  addressRules_.push_back(rule);
  return true;
}

Ipv4Endpoint DestinationMap::apply(const Target& target, uint16_t requestedPort) {
  return {target.address, target.keepPort ? requestedPort : target.port};
}

std::optional<Ipv4Endpoint> DestinationMap::map(const Ipv4Endpoint& requested) const {
  const AddressRule* best = nullptr;
  for (const AddressRule& rule : addressRules_) {
    uint32_t mask = rule.prefixLength == 0 ? 0u : ~0u << (32 - rule.prefixLength);
    if ((requested.address & mask) != rule.network) continue;
    if (!rule.anyPort && rule.port != requested.port) continue;
    // Rules are visited in the order given, so only a strictly better rule
    // replaces the one found first.
    if (best == nullptr || (best->anyPort && !rule.anyPort) ||
        (best->anyPort == rule.anyPort && rule.prefixLength > best->prefixLength)) {
      best = &rule;
    }
  }
  if (best == nullptr) return std::nullopt;
  return apply(best->target, requested.port);
}

std::optional<Ipv4Endpoint> DestinationMap::mapName(std::string_view name, uint16_t port) const {
  std::string wanted = lowerText(name);
  const NameRule* best = nullptr;
  for (const NameRule& rule : nameRules_) {
    if (rule.name != wanted || (!rule.anyPort && rule.port != port)) continue;
    if (best == nullptr || (best->anyPort && !rule.anyPort)) best = &rule;
  }
  if (best == nullptr) return std::nullopt;
  return apply(best->target, port);
}

}  // namespace node
