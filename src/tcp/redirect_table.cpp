#include "tcp/redirect_table.h"

namespace tcp {

void RedirectTable::Insert(const REDIRECT_INFO& entry) {
  const uint16_t port = entry.info.localAddress.port();
  std::lock_guard<SpinFlag> lock(redirectLock_);
  (entry.info.ipFamily == drvapi::kFamilyIpv4 ? ipv4_ : other_)[port] = entry;
}

std::optional<REDIRECT_INFO> RedirectTable::TakeRedirect(const platform::SocketAddress& clientAddress) {
  const uint16_t port = clientAddress.port();
  std::lock_guard<SpinFlag> lock(redirectLock_);
  auto& map = clientAddress.family() == platform::kFamilyIpv4 ? ipv4_ : other_;
  auto it = map.find(port);
  if (it == map.end()) return std::nullopt;
  std::optional<REDIRECT_INFO> taken(std::move(it->second));
  map.erase(it);
  return taken;
}

void RedirectTable::Clear() {
  std::lock_guard<SpinFlag> lock(redirectLock_);
  ipv4_.clear();
  other_.clear();
}

size_t RedirectTable::size() {
  std::lock_guard<SpinFlag> lock(redirectLock_);
  return ipv4_.size() + other_.size();
}

void ConnectionNames::Set(uint64_t id, const std::string& name) {
  std::unique_lock<std::shared_mutex> lock(connectionNamesLock_);
  names_[id] = name;
}

std::string ConnectionNames::Get(uint64_t id) const {
  std::shared_lock<std::shared_mutex> lock(connectionNamesLock_);
  auto it = names_.find(id);
  return it == names_.end() ? std::string() : it->second;
}

void ConnectionNames::Erase(uint64_t id) {
  std::unique_lock<std::shared_mutex> lock(connectionNamesLock_);
  names_.erase(id);
}

void ConnectionNames::Clear() {
  std::unique_lock<std::shared_mutex> lock(connectionNamesLock_);
  names_.clear();
}

size_t ConnectionNames::size() const {
  std::shared_lock<std::shared_mutex> lock(connectionNamesLock_);
  return names_.size();
}

}  // namespace tcp
