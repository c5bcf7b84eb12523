#include "tcp/ping_responder.h"

#include <mutex>
#include <vector>

namespace tcp {

void PingResponder::AddAddressRule(uint32_t addressNet, uint16_t portNet, uint32_t delay) {
  std::unique_lock lock(addressRulesLock);
  addressRules[AddressKey(addressNet, portNet)] = delay;
}

void PingResponder::AddNameRule(const std::string& name, uint16_t portNet, uint32_t delay) {
  std::unique_lock lock(nameRulesLock);
  nameRules[name][portNet] = delay;
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

}  // namespace tcp
