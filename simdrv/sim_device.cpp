// The simulated driver's control device: the library's buffer exchange,
// queries and rule controls, its 8-byte read of each batch's length, and its
// writes of one record each.
#include <algorithm>
#include <cstring>

#include "driver_core.h"

namespace simdrv {

using namespace drvapi;

namespace {

// One control request of the library: its code and buffers. Each answer
// below runs under the driver's lock, checks the sizes it needs, and sets
// `n` to the bytes it placed in `out`.
struct Control {
  uint32_t code;
  const void* in;
  uint32_t inSize;
  void* out;
  uint32_t outSize;
};

// The two shared buffers (addresses and sizes), of which the library is told
// as many bytes as the test set.
bool exchangeBuffers(SimDriver::Core& c, const Control& r, uint32_t& n) {
  const SharedBuffers buffers{reinterpret_cast<uintptr_t>(c.inbound), c.inboundSize(),
                              reinterpret_cast<uintptr_t>(c.outbound), c.outboundSize()};
  if (r.out == nullptr || r.outSize < sizeof buffers) return false;
  std::memcpy(r.out, &buffers, sizeof buffers);
  n = std::min<uint32_t>(c.exchangeBytes, sizeof buffers);
  return true;
}

bool driverKind(SimDriver::Core& c, const Control& r, uint32_t& n) {
  if (!c.kind || r.out == nullptr || r.outSize < 4) return false;
  std::memcpy(r.out, &*c.kind, 4);
  n = 4;
  return true;
}

// The request's record header comes back with the connection's local
// address after it (zero when the test set none).
bool tcpLocalAddress(SimDriver::Core& c, const Control& r, uint32_t& n) {
  if (r.in == nullptr || r.inSize < kLocalAddressQuerySize || r.out == nullptr ||
      r.outSize < kLocalAddressQuerySize)
    return false;
  RecordHeader h;
  std::memcpy(&h, r.in, sizeof h);
  uint8_t answer[kLocalAddressQuerySize] = {};
  std::memcpy(answer, r.in, kRecordHeaderSize);
  const uint64_t id = h.id;  // a packed field: copy before binding a reference
  auto it = c.localAddresses.find(id);
  if (it != c.localAddresses.end())
    std::memcpy(answer + kRecordHeaderSize, it->second.bytes.data(), sizeof it->second);
  std::memcpy(r.out, answer, sizeof answer);
  n = sizeof answer;
  return true;
}

// The process's image path in UTF-16 with its terminator, cut to `out`.
bool processImagePath(SimDriver::Core& c, const Control& r, uint32_t& n) {
  if (r.in == nullptr || r.inSize < 4 || r.out == nullptr) return false;
  uint32_t pid;
  std::memcpy(&pid, r.in, 4);
  auto it = c.images.find(pid);
  if (it == c.images.end()) return false;
  const size_t bytes = (it->second.size() + 1) * sizeof(char16_t);
  n = static_cast<uint32_t>(std::min<size_t>(bytes, r.outSize));
  std::memcpy(r.out, it->second.c_str(), n);
  return true;
}

bool tcpClose(SimDriver::Core& c, const Control& r) {
  if (r.in == nullptr || r.inSize < 8) return false;
  uint64_t id;
  std::memcpy(&id, r.in, 8);
  c.closes.push_back(id);
  return true;
}

// A rule with a process name: at the head of the process rules or at their end.
bool addProcessRule(SimDriver::Core& c, const Control& r) {
  if (r.in == nullptr || r.inSize != sizeof(ProcessFilterRule)) return false;
  ProcessFilterRule raw;
  std::memcpy(&raw, r.in, sizeof raw);
  ProcessRule rule{raw.rule, {}};
  char16_t name[kProcessNameUnits];
  std::memcpy(name, raw.processName, sizeof name);  // unaligned in the packed record
  size_t length = 0;
  while (length < kProcessNameUnits && name[length] != 0) ++length;
  rule.processName.assign(name, length);
  if (r.code == kIoctlAddProcessRuleFirst)
    c.processRules.insert(c.processRules.begin(), rule);
  else
    c.processRules.push_back(rule);
  return true;
}

class SimDevice final : public platform::Device {
 public:
  explicit SimDevice(std::shared_ptr<SimDriver::Core> core) : core_(std::move(core)) {}

  ~SimDevice() override {
    // Closing the handle ends whatever the library left running.
    std::lock_guard<std::mutex> guard(core_->lock);
    if (core_->readIo != nullptr) {
      SimDriver::Core::complete(*core_->readIo, false, 0);
      core_->readIo = nullptr;
    }
    for (auto& h : core_->held) SimDriver::Core::complete(*h.io, false, 0);
    core_->held.clear();
    core_->changed.notify_all();
  }

  bool control(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
               uint32_t* returned) override {
    SimDriver::Core& c = *core_;
    std::lock_guard<std::mutex> guard(c.lock);
    const Control request{code, in, inSize, out, outSize};
    uint32_t n = 0;
    bool ok = false;
    switch (code) {
      case kIoctlExchangeBuffers:
        ok = exchangeBuffers(c, request, n);
        break;
      case kIoctlDriverKind:
        ok = driverKind(c, request, n);
        break;
      case kIoctlTcpLocalAddress:
        ok = tcpLocalAddress(c, request, n);
        break;
      case kIoctlProcessImagePath:
        ok = processImagePath(c, request, n);
        break;
      case kIoctlTcpClose:
        ok = tcpClose(c, request);
        break;
      case kIoctlAddProcessRuleFirst:
      case kIoctlAddProcessRuleLast:
        ok = addProcessRule(c, request);
        break;
      default:
        break;
    }
    if (returned != nullptr) *returned = n;
    return ok;
  }

  platform::IoStart read(void* buffer, uint32_t size, platform::DeviceIo& io) override {
    SimDriver::Core& c = *core_;
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.readIo != nullptr || buffer == nullptr) return platform::IoStart::Failed;
    io.event().reset();
    io.succeeded = false;
    io.transferred = 0;
    c.readIo = &io;
    c.readBuffer = buffer;
    c.readSize = size;
    ++c.readsStarted;
    if (!c.posted.empty()) c.completeReadWithPosted();
    c.changed.notify_all();
    return platform::IoStart::Pending;
  }

  platform::IoStart write(const void* buffer, uint32_t size, platform::DeviceIo& io) override {
    SimDriver::Core& c = *core_;
    std::unique_lock<std::mutex> guard(c.lock);
    if (buffer == nullptr || size < 8 || c.writeMode == WriteMode::Refuse) return platform::IoStart::Failed;
    uint64_t total;
    std::memcpy(&total, buffer, sizeof total);
    io.event().reset();
    switch (c.writeMode) {
      case WriteMode::NoRoom:
        if (total >= kRecordHeaderSize && total <= c.outboundSize()) {
          RecordHeader h;
          std::memcpy(&h, c.outbound, sizeof h);
          c.refusedLog.push_back({h.type, h.id, {}});
        }
        SimDriver::Core::complete(io, true, 0);
        break;
      case WriteMode::Hold:
        io.succeeded = false;
        c.held.push_back({&io, total});
        break;
      default: {
        // The observers act on the record before the write completes, as a
        // driver's data path does before it answers the write.
        std::vector<Record> taken;
        const bool ok = c.takeRecord(total, taken);
        c.notifyObservers(guard, taken);
        SimDriver::Core::complete(io, ok, 8);
        break;
      }
    }
    c.changed.notify_all();
    return platform::IoStart::Pending;
  }

  bool result(platform::DeviceIo& io, uint32_t* transferred) override {
    std::lock_guard<std::mutex> guard(core_->lock);
    if (!io.event().wait(0)) return false;  // still running
    if (transferred != nullptr) *transferred = io.succeeded ? io.transferred : 0;
    return io.succeeded;
  }

  void cancel(platform::DeviceIo& io) override {
    SimDriver::Core& c = *core_;
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.readIo == &io) {
      c.readIo = nullptr;
      SimDriver::Core::complete(io, false, 0);
    }
    for (auto it = c.held.begin(); it != c.held.end();) {
      if (it->io == &io) {
        SimDriver::Core::complete(io, false, 0);
        it = c.held.erase(it);
      } else {
        ++it;
      }
    }
    c.changed.notify_all();
  }

 private:
  std::shared_ptr<SimDriver::Core> core_;
};

}  // namespace

std::unique_ptr<platform::Device> openDevice(const std::shared_ptr<SimDriver::Core>& core) {
  {
    std::lock_guard<std::mutex> guard(core->lock);
    if (core->openRefused) return nullptr;
    ++core->opens;
  }
  return std::make_unique<SimDevice>(core);
}

}  // namespace simdrv
