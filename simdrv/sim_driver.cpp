#include "sim_driver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "driver_core.h"
#include "platform/device.h"

namespace simdrv {

using namespace drvapi;

// --- SimDriver -----------------------------------------------------------------

SimDriver::SimDriver() : SimDriver(Config{}) {}
SimDriver::SimDriver(const Config& config) : core_(std::make_shared<Core>(config)) {}
SimDriver::~SimDriver() { uninstall(); }

void SimDriver::install(std::string_view driverName) {
  std::u16string path = kDevicePrefix;
  for (char ch : driverName) path += static_cast<char16_t>(static_cast<unsigned char>(ch));
  std::weak_ptr<Core> weak = core_;
  platform::setDeviceProvider(
      [weak, path](std::u16string_view requested) -> std::unique_ptr<platform::Device> {
        auto core = weak.lock();
        if (!core || requested != path) return nullptr;
        return simdrv::openDevice(core);
      });
}

std::unique_ptr<platform::Device> SimDriver::openDevice() { return simdrv::openDevice(core_); }

void SimDriver::uninstall() { platform::setDeviceProvider(nullptr); }

void SimDriver::setOpenRefused(bool refused) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->openRefused = refused;
}

int SimDriver::openCount() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->opens;
}

bool SimDriver::deliver(const Batch& batch, uint32_t timeoutMs) {
  return deliverWithCount(batch, batch.size(), timeoutMs);
}

bool SimDriver::deliverWithCount(const Batch& batch, uint64_t reportedCount, uint32_t timeoutMs) {
  Core& c = *core_;
  std::unique_lock<std::mutex> guard(c.lock);
  if (!c.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return c.readIo != nullptr; }))
    return false;
  if (batch.size() > c.inboundSize()) return false;
  c.completeRead(batch.bytes().data(), batch.size(), reportedCount);
  return true;
}

bool SimDriver::post(const Batch& batch) {
  Core& c = *core_;
  std::lock_guard<std::mutex> guard(c.lock);
  if (c.posted.size() + batch.size() > c.inboundSize()) return false;
  c.posted.insert(c.posted.end(), batch.bytes().begin(), batch.bytes().end());
  if (c.readIo != nullptr) c.completeReadWithPosted();
  c.changed.notify_all();
  return true;
}

bool SimDriver::waitForRead(uint32_t timeoutMs) {
  Core& c = *core_;
  std::unique_lock<std::mutex> guard(c.lock);
  return c.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return c.readIo != nullptr; });
}

std::vector<Record> SimDriver::written() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->log;
}

std::vector<Record> SimDriver::written(uint32_t type) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  std::vector<Record> out;
  for (const Record& r : core_->log)
    if (r.type == type) out.push_back(r);
  return out;
}

std::vector<Record> SimDriver::written(uint32_t type, uint64_t id) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  std::vector<Record> out;
  for (const Record& r : core_->log)
    if (r.type == type && r.id == id) out.push_back(r);
  return out;
}

size_t SimDriver::writtenCount(uint32_t type) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return static_cast<size_t>(
      std::count_if(core_->log.begin(), core_->log.end(), [&](const Record& r) { return r.type == type; }));
}

std::string SimDriver::stream(uint64_t id, uint32_t type) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  std::string out;
  for (const Record& r : core_->log)
    if (r.type == type && r.id == id) out.append(r.payload.begin(), r.payload.end());
  return out;
}

uint64_t SimDriver::writtenBytes(uint32_t type) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return type < 32 ? core_->bytesByType[type] : 0;
}

bool SimDriver::waitForWrittenBytes(uint32_t type, uint64_t target, uint32_t timeoutMs) const {
  Core& c = *core_;
  std::unique_lock<std::mutex> guard(c.lock);
  return type < 32 && c.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                         [&] { return c.bytesByType[type] >= target; });
}

void SimDriver::setKeepLog(bool keep) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->keepLog = keep;
}

std::vector<Record> SimDriver::refused() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->refusedLog;
}

void SimDriver::clearWritten() {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->log.clear();
}

std::vector<FilterRule> SimDriver::rules() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->rules;
}

std::vector<ProcessRule> SimDriver::processRules() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->processRules;
}

std::vector<uint64_t> SimDriver::closedConnections() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->closes;
}

uint32_t SimDriver::classify(const FlowDescription& flow, Layer layer) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  const uint16_t family = flow.remote.family();
  auto matches = [&](const FilterRule& r) {
    const bool rawIpOnly = r.filteringFlag == drvapi::kRuleRawIp;
    if (layer == Layer::Flow ? rawIpOnly : (r.filteringFlag & drvapi::kRuleRawIp) == 0) return false;
    if (r.protocol != 0 && r.protocol != flow.protocol) return false;
    if (r.processId != 0 && r.processId != flow.processId) return false;
    if (r.direction != 0 && r.direction != 3 && r.direction != flow.direction) return false;
    if (r.localPort != 0 && r.localPort != flow.local.port()) return false;
    if (r.remotePort != 0 && r.remotePort != flow.remote.port()) return false;
    if (r.ipFamily != 0 && r.ipFamily != family) return false;
    if (family == kFamilyIpv4)
      for (int i = 0; i < 4; ++i)
        if ((flow.remote.bytes[4 + i] & r.remoteIpAddressMask[i]) !=
            (r.remoteIpAddress[i] & r.remoteIpAddressMask[i]))
          return false;
    return true;
  };
  // A process rule's name (lower case, no drive) names the program: it
  // matches an image path that ends with it at a path boundary.
  auto imageMatches = [&](const std::u16string& name) {
    if (name.empty()) return true;
    std::u16string path = flow.processPath;
    if (path.empty()) {
      auto it = core_->images.find(flow.processId);
      if (it == core_->images.end()) return false;
      path = it->second;
    }
    for (char16_t& ch : path)
      if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch - u'A' + u'a');
    if (path.size() < name.size() || path.compare(path.size() - name.size(), name.size(), name) != 0)
      return false;
    if (path.size() == name.size() || name.front() == u'\\' || name.front() == u'/') return true;
    const char16_t before = path[path.size() - name.size() - 1];
    return before == u'\\' || before == u'/';
  };
  // Rules without a name (codes 16/17) first, then the process rules, each
  // list in its own order.
  for (const FilterRule& r : core_->rules)
    if (matches(r)) return r.filteringFlag;
  for (const ProcessRule& r : core_->processRules)
    if (matches(r.rule) && imageMatches(r.processName)) return r.rule.filteringFlag;
  return kRulePass;
}

void SimDriver::setWriteMode(WriteMode mode) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->writeMode = mode;
}

void SimDriver::releaseHeldWrites() {
  Core& c = *core_;
  std::unique_lock<std::mutex> guard(c.lock);
  while (!c.held.empty()) {
    Core::HeldWrite h = c.held.front();
    c.held.pop_front();
    std::vector<Record> taken;
    const bool ok = c.takeRecord(h.total, taken);
    c.notifyObservers(guard, taken);
    Core::complete(*h.io, ok, 8);
  }
  c.changed.notify_all();
}

size_t SimDriver::heldWrites() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->held.size();
}

void SimDriver::setKind(std::optional<uint32_t> kind) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->kind = kind;
}

void SimDriver::setExchangeBytes(uint32_t bytes) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->exchangeBytes = bytes;
}

void SimDriver::setLocalAddress(uint64_t id, const platform::SocketAddress28& address) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->localAddresses[id] = address;
}

std::optional<uint32_t> SimDriver::kind() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->kind;
}

uint64_t SimDriver::addWriteObserver(WriteObserver observer) {
  auto o = std::make_shared<Core::Observer>();
  o->fn = std::move(observer);
  std::lock_guard<std::mutex> guard(core_->lock);
  const uint64_t handle = core_->nextObserver++;
  core_->observers.emplace_back(handle, std::move(o));
  return handle;
}

void SimDriver::removeWriteObserver(uint64_t handle) {
  Core& c = *core_;
  std::unique_lock<std::mutex> guard(c.lock);
  std::shared_ptr<Core::Observer> removed;
  for (auto it = c.observers.begin(); it != c.observers.end(); ++it) {
    if (it->first == handle) {
      removed = it->second;
      c.observers.erase(it);
      break;
    }
  }
  // Calls that started before the removal finish first; no new one starts.
  if (removed) c.changed.wait(guard, [&] { return removed->calls == 0; });
}

void SimDriver::setProcessImage(uint32_t processId, std::u16string devicePath) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->images[processId] = std::move(devicePath);
}

}  // namespace simdrv
