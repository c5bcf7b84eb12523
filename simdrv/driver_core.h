// Inside the simulated driver: its state, which the SimDriver object and
// every device opened on it share (a device may outlive the object), and the
// device itself. Not for use outside simdrv/.
#pragma once

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/device.h"
#include "sim_driver.h"

namespace simdrv {

struct SimDriver::Core {
  explicit Core(const Config& c)
      : ownInbound(c.inboundBuffer != nullptr ? 0 : c.inboundSize + 8),
        ownOutbound(c.outboundBuffer != nullptr ? 0 : c.outboundSize + 8),
        inbound(c.inboundBuffer != nullptr ? c.inboundBuffer : ownInbound.data()),
        outbound(c.outboundBuffer != nullptr ? c.outboundBuffer : ownOutbound.data()),
        inboundBytes(c.inboundSize),
        outboundBytes(c.outboundSize),
        kind(c.kind),
        exchangeBytes(c.exchangeBytes) {}

  mutable std::mutex lock;
  std::condition_variable changed;

  // The shared buffers, the driver's own or the caller's. The library owns
  // the inbound one between a completed read and its next read; the outbound
  // one while its write runs.
  std::vector<uint8_t> ownInbound;
  std::vector<uint8_t> ownOutbound;
  uint8_t* const inbound;
  uint8_t* const outbound;
  const size_t inboundBytes;
  const size_t outboundBytes;

  // The library's outstanding read.
  platform::DeviceIo* readIo = nullptr;
  void* readBuffer = nullptr;
  uint32_t readSize = 0;
  uint64_t readsStarted = 0;
  // Records posted while no read was outstanding: the next read takes them.
  std::vector<uint8_t> posted;

  WriteMode writeMode = WriteMode::Accept;
  struct HeldWrite {
    platform::DeviceIo* io;
    uint64_t total;
  };
  std::deque<HeldWrite> held;

  std::optional<uint32_t> kind;
  uint32_t exchangeBytes;
  bool openRefused = false;
  int opens = 0;

  std::vector<Record> log;
  std::vector<Record> refusedLog;
  bool keepLog = true;
  uint64_t bytesByType[32] = {};
  std::vector<drvapi::FilterRule> rules;
  std::vector<ProcessRule> processRules;
  std::vector<uint64_t> closes;
  std::map<uint64_t, platform::SocketAddress28> localAddresses;
  std::map<uint32_t, std::u16string> images;

  size_t inboundSize() const { return inboundBytes; }
  size_t outboundSize() const { return outboundBytes; }

  // Write observers: each call runs with `calls` raised, so removal can wait
  // for the calls of that observer alone.
  struct Observer {
    WriteObserver fn;
    int calls = 0;
  };
  std::vector<std::pair<uint64_t, std::shared_ptr<Observer>>> observers;
  uint64_t nextObserver = 1;

  // Takes the record at the start of the outbound buffer (caller holds lock).
  // False for a frame that does not add up. When observers are registered,
  // `taken` receives the record for them.
  bool takeRecord(uint64_t total, std::vector<Record>& taken) {
    if (total < drvapi::kRecordHeaderSize || total > outboundSize()) return false;
    drvapi::RecordHeader h;
    std::memcpy(&h, outbound, sizeof h);
    if (uint64_t{h.size} + drvapi::kRecordHeaderSize != total) return false;
    if (h.type < 32) bytesByType[h.type] += h.size;
    const bool isRule =
        h.type == drvapi::kAddRuleFirst || h.type == drvapi::kAddRuleLast || h.type == drvapi::kDeleteRules;
    if (!keepLog && !isRule && observers.empty()) return true;
    Record r;
    r.type = h.type;
    r.id = h.id;
    r.payload.assign(outbound + drvapi::kRecordHeaderSize, outbound + total);
    if (r.type == drvapi::kAddRuleFirst || r.type == drvapi::kAddRuleLast) {
      if (r.payload.size() != sizeof(drvapi::FilterRule)) return false;
      drvapi::FilterRule rule;
      std::memcpy(&rule, r.payload.data(), sizeof rule);
      if (r.type == drvapi::kAddRuleFirst)
        rules.insert(rules.begin(), rule);
      else
        rules.push_back(rule);
    } else if (r.type == drvapi::kDeleteRules) {
      // Every rule goes, those that came with a process name included.
      rules.clear();
      processRules.clear();
    }
    if (!observers.empty()) taken.push_back(r);
    if (keepLog || isRule) log.push_back(std::move(r));
    return true;
  }

  // Hands `taken` to every observer with the lock released (the caller holds
  // it through `guard`, and holds it again on return).
  void notifyObservers(std::unique_lock<std::mutex>& guard, const std::vector<Record>& taken) {
    if (taken.empty() || observers.empty()) return;
    std::vector<std::shared_ptr<Observer>> active;
    for (auto& [handle, o] : observers) {
      ++o->calls;
      active.push_back(o);
    }
    guard.unlock();
    for (const auto& o : active)
      for (const Record& r : taken) o->fn(r);
    guard.lock();
    for (const auto& o : active) --o->calls;
    changed.notify_all();
  }

  static void complete(platform::DeviceIo& io, bool ok, uint32_t transferred) {
    io.succeeded = ok;
    io.transferred = transferred;
    io.event().set();
  }

  // Completes the outstanding read with `size` bytes of records, reporting
  // `reportedCount` as their length (caller holds lock, a read is out).
  void completeRead(const uint8_t* records, size_t size, uint64_t reportedCount) {
    if (size != 0) std::memcpy(inbound, records, size);
    platform::DeviceIo* io = readIo;
    const uint32_t n = std::min<uint32_t>(readSize, sizeof reportedCount);
    std::memcpy(readBuffer, &reportedCount, n);
    readIo = nullptr;
    complete(*io, true, n);
  }

  void completeReadWithPosted() {
    completeRead(posted.data(), posted.size(), posted.size());
    posted.clear();
  }
};

// A device on `core`, or null while opening is refused (counts the open).
std::unique_ptr<platform::Device> openDevice(const std::shared_ptr<SimDriver::Core>& core);

}  // namespace simdrv
