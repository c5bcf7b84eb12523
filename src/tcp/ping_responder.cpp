#include "tcp/ping_responder.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/time.h"
#include "tcp/blur.h"

namespace tcp {

void PingResponder::AddAddressRule(uint32_t addressNet, uint16_t portNet, uint32_t delay) {
  std::unique_lock lock(addressRulesLock);
  addressRules[AddressKey(addressNet, portNet)] = delay;
}

void PingResponder::AddNameRule(const std::string& name, uint16_t portNet, uint32_t delay) {
  std::unique_lock lock(nameRulesLock);
  nameRules[name][portNet] = delay;
}

void PingResponder::AddRules(std::span<const rules::DelayRule> rules) {
  for (const rules::DelayRule& rule : rules) {
    if (rule.name.empty())
      AddAddressRule(rule.addressNet, rule.portNet, rule.delay);
    else
      AddNameRule(rule.name, rule.portNet, rule.delay);
  }
}

std::optional<uint32_t> PingResponder::FindDelay(uint32_t addressNet, uint16_t portNet) const {
  std::shared_lock lock(addressRulesLock);
  auto it = addressRules.find(AddressKey(addressNet, portNet));
  if (it == addressRules.end()) it = addressRules.find(AddressKey(0, portNet));
  if (it == addressRules.end()) return std::nullopt;
  return it->second;
}

bool PingResponder::OnNameResolved(const std::string& name, std::span<const uint32_t> addressesNet) {
  if (!IsEnabled()) return false;
  // Copy the name's rules out so that the two locks are never held together.
  std::vector<std::pair<uint16_t, uint32_t>> rules;
  {
    std::shared_lock lock(nameRulesLock);
    auto it = nameRules.find(name);
    if (it == nameRules.end()) return false;
    rules.assign(it->second.begin(), it->second.end());
  }
  std::unique_lock lock(addressRulesLock);
  for (const auto& [port, delay] : rules)
    for (uint32_t address : addressesNet)
      if (address != 0) addressRules[AddressKey(address, port)] = delay;
  return false;
}

void PingResponder::Clear() {
  {
    std::unique_lock lock(nameRulesLock);
    nameRules.clear();
  }
  {
    std::unique_lock lock(addressRulesLock);
    addressRules.clear();
  }
  {
    std::lock_guard<std::mutex> lock(watchesLock);
    watches.clear();
  }
}

size_t PingResponder::NameRuleCount() const {
  std::shared_lock lock(nameRulesLock);
  size_t count = 0;
  for (const auto& entry : nameRules) count += entry.second.size();
  return count;
}

size_t PingResponder::AddressRuleCount() const {
  std::shared_lock lock(addressRulesLock);
  return addressRules.size();
}

namespace {

constexpr int kPingLength = 10;

bool isPing(const uint8_t* b) {
  return b[0] == 0x09 && b[1] == 0x01 && b[2] == 0 && b[3] == 0 && b[4] == 0 && b[5] == 0;
}

}  // namespace

void PingResponder::Register(uint64_t id, platform::Socket clientSocket, const platform::SocketAddress& destination) {
  if (!IsEnabled() || destination.family() != platform::kFamilyIpv4) return;
  std::optional<uint32_t> delay = FindDelay(destination.ipv4(), destination.port());
  if (!delay) return;
  std::lock_guard<std::mutex> lock(watchesLock);
  if (watches.count(id) != 0) return;
  PING_WATCH& w = watches[id];
  w.id = id;
  w.clientSocket = clientSocket;
  w.destination = destination;
  w.delay = *delay;
}

uint32_t PingResponder::PingWait(uint32_t delay, uint32_t t) {
  const uint32_t step = delay / 10 > 1 ? delay / 10 : 1;
  uint32_t jitter = t % step;
  if (jitter > delay) jitter = delay;
  const uint32_t wait = (t & 1u) != 0 ? delay + jitter : delay - jitter;
  return wait < 500 ? wait : 500;
}

bool PingResponder::OnUpstream(uint64_t id, const uint8_t* bytes, int length, bool transformed) {
  if (!IsEnabled() || bytes == nullptr || length != kPingLength) return false;
  uint8_t copy[kPingLength];
  std::memcpy(copy, bytes, kPingLength);
  if (transformed) UnblurInPlace(copy, kPingLength);
  if (!isPing(copy)) return false;
  platform::Socket client;
  uint32_t delay;
  {
    std::lock_guard<std::mutex> lock(watchesLock);
    auto it = watches.find(id);
    if (it == watches.end()) return false;
    std::memcpy(it->second.pending, copy, kPingLength);
    client = it->second.clientSocket;
    delay = it->second.delay;
  }
  const uint32_t t = nowSeconds ? nowSeconds() : platform::calendarSeconds();
  const uint32_t wait = PingWait(delay, t);
  if (sleepFor)
    sleepFor(wait);
  else
    platform::sleepMs(wait);
  platform::sendBytes(client, copy, kPingLength);
  return true;
}

bool PingResponder::OnDownstream(uint64_t id, const uint8_t* bytes, int length) {
  if (!IsEnabled() || bytes == nullptr || length != kPingLength || !isPing(bytes)) return false;
  std::lock_guard<std::mutex> lock(watchesLock);
  auto it = watches.find(id);
  if (it == watches.end() || std::memcmp(it->second.pending, bytes, kPingLength) != 0) return false;
  std::memset(it->second.pending, 0, kPingLength);
  return true;
}

void PingResponder::Unregister(uint64_t id) {
  std::lock_guard<std::mutex> lock(watchesLock);
  watches.erase(id);
}

size_t PingResponder::WatchCount() const {
  std::lock_guard<std::mutex> lock(watchesLock);
  return watches.size();
}

void PingResponder::SetClockForTesting(std::function<uint32_t()> now, std::function<void(uint32_t)> sleep) {
  nowSeconds = std::move(now);
  sleepFor = std::move(sleep);
}

}  // namespace tcp
