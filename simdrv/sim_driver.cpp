#include "sim_driver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "platform/device.h"

namespace simdrv {

using namespace drvapi;

SockAddr ipv4(std::string_view address, uint16_t port) {
  SockAddr a{};
  uint8_t octets[4] = {};
  int part = 0;
  unsigned value = 0;
  bool digit = false;
  bool ok = true;
  for (char c : address) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + static_cast<unsigned>(c - '0');
      digit = true;
      if (value > 255) ok = false;
    } else if (c == '.' && digit && part < 3) {
      octets[part++] = static_cast<uint8_t>(value);
      value = 0;
      digit = false;
    } else {
      ok = false;
    }
  }
  if (!ok || !digit || part != 3)
    std::memset(octets, 0, sizeof octets);
  else
    octets[3] = static_cast<uint8_t>(value);
  a[0] = static_cast<uint8_t>(kFamilyIpv4 & 0xFF);
  a[1] = static_cast<uint8_t>(kFamilyIpv4 >> 8);
  a[2] = static_cast<uint8_t>(port >> 8);  // network order
  a[3] = static_cast<uint8_t>(port & 0xFF);
  std::memcpy(&a[4], octets, 4);
  return a;
}

TcpConnInfo tcpInfo(uint32_t processId, const SockAddr& local, const SockAddr& remote,
                    uint32_t filteringFlag) {
  TcpConnInfo info{};
  info.filteringFlag = filteringFlag;
  info.processId = processId;
  info.direction = 2;
  info.ipFamily = kFamilyIpv4;
  std::memcpy(info.localAddress, local.data(), kSockAddrSize);
  std::memcpy(info.remoteAddress, remote.data(), kSockAddrSize);
  return info;
}

UdpConnInfo udpInfo(uint32_t processId, const SockAddr& local) {
  UdpConnInfo info{};
  info.processId = processId;
  info.ipFamily = kFamilyIpv4;
  std::memcpy(info.localAddress, local.data(), kSockAddrSize);
  return info;
}

// --- Batch -------------------------------------------------------------------

Batch& Batch::record(uint32_t type, uint64_t id, const void* payload, size_t size) {
  const RecordHeader h{type, id, static_cast<uint32_t>(size)};
  rawBytes(&h, sizeof h);
  if (size != 0) rawBytes(payload, size);
  return *this;
}

Batch& Batch::rawBytes(const void* bytes, size_t size) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  bytes_.insert(bytes_.end(), p, p + size);
  return *this;
}

Batch& Batch::tcpConnectRequest(uint64_t id, const TcpConnInfo& info) {
  return record(kTcpConnectRequest, id, &info, sizeof info);
}
Batch& Batch::tcpConnected(uint64_t id, const TcpConnInfo& info) {
  return record(kTcpConnected, id, &info, sizeof info);
}
Batch& Batch::tcpReceive(uint64_t id, std::string_view bytes) {
  return record(kTcpReceive, id, bytes.data(), bytes.size());
}
Batch& Batch::tcpSend(uint64_t id, std::string_view bytes) {
  return record(kTcpSend, id, bytes.data(), bytes.size());
}
Batch& Batch::udpCreated(uint64_t id, const UdpConnInfo& info) {
  return record(kUdpCreated, id, &info, sizeof info);
}
Batch& Batch::udpConnectRequest(uint64_t id, const UdpConnectRequest& request) {
  return record(kUdpConnectRequest, id, &request, sizeof request);
}

namespace {

std::vector<uint8_t> datagramPayload(const SockAddr& remote, std::string_view datagram,
                                     std::string_view options, uint32_t flags) {
  std::vector<uint8_t> p(sizeof(UdpDatagramHeader) + options.size() + datagram.size());
  std::memcpy(p.data(), remote.data(), kSockAddrSize);
  const uint32_t length = static_cast<uint32_t>(options.size());
  std::memcpy(p.data() + 28, &flags, 4);
  std::memcpy(p.data() + 32, &length, 4);
  if (!options.empty()) std::memcpy(p.data() + 36, options.data(), options.size());
  if (!datagram.empty()) std::memcpy(p.data() + 36 + options.size(), datagram.data(), datagram.size());
  return p;
}

std::vector<uint8_t> ipPayload(const IpOptions& options, std::string_view packet) {
  std::vector<uint8_t> p(sizeof options + packet.size());
  std::memcpy(p.data(), &options, sizeof options);
  if (!packet.empty()) std::memcpy(p.data() + sizeof options, packet.data(), packet.size());
  return p;
}

}  // namespace

Batch& Batch::udpReceive(uint64_t id, const SockAddr& remote, std::string_view datagram,
                         std::string_view options, uint32_t optionsFlags) {
  const auto p = datagramPayload(remote, datagram, options, optionsFlags);
  return record(kUdpReceive, id, p.data(), p.size());
}
Batch& Batch::udpSend(uint64_t id, const SockAddr& remote, std::string_view datagram,
                      std::string_view options, uint32_t optionsFlags) {
  const auto p = datagramPayload(remote, datagram, options, optionsFlags);
  return record(kUdpSend, id, p.data(), p.size());
}
Batch& Batch::ipReceive(const IpOptions& options, std::string_view packet) {
  const auto p = ipPayload(options, packet);
  return record(kIpReceive, 0, p.data(), p.size());
}
Batch& Batch::ipSend(const IpOptions& options, std::string_view packet) {
  const auto p = ipPayload(options, packet);
  return record(kIpSend, 0, p.data(), p.size());
}

// --- the driver's state -------------------------------------------------------

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
  std::vector<FilterRule> rules;
  std::vector<ProcessRule> processRules;
  std::vector<uint64_t> closes;
  std::map<uint64_t, SockAddr> localAddresses;
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
    if (total < kRecordHeaderSize || total > outboundSize()) return false;
    RecordHeader h;
    std::memcpy(&h, outbound, sizeof h);
    if (uint64_t{h.size} + kRecordHeaderSize != total) return false;
    if (h.type < 32) bytesByType[h.type] += h.size;
    const bool isRule = h.type == kAddRuleFirst || h.type == kAddRuleLast || h.type == kDeleteRules;
    if (!keepLog && !isRule && observers.empty()) return true;
    Record r;
    r.type = h.type;
    r.id = h.id;
    r.payload.assign(outbound + kRecordHeaderSize, outbound + total);
    if (r.type == kAddRuleFirst || r.type == kAddRuleLast) {
      if (r.payload.size() != sizeof(FilterRule)) return false;
      FilterRule rule;
      std::memcpy(&rule, r.payload.data(), sizeof rule);
      if (r.type == kAddRuleFirst)
        rules.insert(rules.begin(), rule);
      else
        rules.push_back(rule);
    } else if (r.type == kDeleteRules) {
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

namespace {

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
    uint32_t n = 0;
    bool ok = false;
    switch (code) {
      case kIoctlExchangeBuffers: {
        const uint64_t buffers[4] = {reinterpret_cast<uintptr_t>(c.inbound), c.inboundSize(),
                                     reinterpret_cast<uintptr_t>(c.outbound), c.outboundSize()};
        if (out == nullptr || outSize < sizeof buffers) break;
        std::memcpy(out, buffers, sizeof buffers);
        n = std::min<uint32_t>(c.exchangeBytes, sizeof buffers);
        ok = true;
        break;
      }
      case kIoctlDriverKind:
        if (!c.kind || out == nullptr || outSize < 4) break;
        std::memcpy(out, &*c.kind, 4);
        n = 4;
        ok = true;
        break;
      case kIoctlTcpLocalAddress: {
        if (in == nullptr || inSize < kLocalAddressQuerySize || out == nullptr ||
            outSize < kLocalAddressQuerySize)
          break;
        RecordHeader h;
        std::memcpy(&h, in, sizeof h);
        uint8_t answer[kLocalAddressQuerySize] = {};
        std::memcpy(answer, in, kRecordHeaderSize);
        const uint64_t id = h.id;  // a packed field: copy before binding a reference
        auto it = c.localAddresses.find(id);
        if (it != c.localAddresses.end())
          std::memcpy(answer + kRecordHeaderSize, it->second.data(), kSockAddrSize);
        std::memcpy(out, answer, sizeof answer);
        n = sizeof answer;
        ok = true;
        break;
      }
      case kIoctlProcessImagePath: {
        if (in == nullptr || inSize < 4 || out == nullptr) break;
        uint32_t pid;
        std::memcpy(&pid, in, 4);
        auto it = c.images.find(pid);
        if (it == c.images.end()) break;
        const size_t bytes = (it->second.size() + 1) * sizeof(char16_t);
        n = static_cast<uint32_t>(std::min<size_t>(bytes, outSize));
        std::memcpy(out, it->second.c_str(), n);
        ok = true;
        break;
      }
      case kIoctlTcpClose: {
        if (in == nullptr || inSize < 8) break;
        uint64_t id;
        std::memcpy(&id, in, 8);
        c.closes.push_back(id);
        ok = true;
        break;
      }
      case kIoctlAddProcessRuleFirst:
      case kIoctlAddProcessRuleLast: {
        if (in == nullptr || inSize != sizeof(ProcessFilterRule)) break;
        ProcessFilterRule raw;
        std::memcpy(&raw, in, sizeof raw);
        ProcessRule rule{raw.rule, {}};
        char16_t name[kProcessNameUnits];
        std::memcpy(name, raw.processName, sizeof name);  // unaligned in the packed record
        size_t length = 0;
        while (length < kProcessNameUnits && name[length] != 0) ++length;
        rule.processName.assign(name, length);
        if (code == kIoctlAddProcessRuleFirst)
          c.processRules.insert(c.processRules.begin(), rule);
        else
          c.processRules.push_back(rule);
        ok = true;
        break;
      }
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

// --- SimDriver -----------------------------------------------------------------

SimDriver::SimDriver() : SimDriver(Config{}) {}
SimDriver::SimDriver(const Config& config) : core_(std::make_shared<Core>(config)) {}
SimDriver::~SimDriver() { uninstall(); }

namespace {

std::unique_ptr<platform::Device> openOn(const std::shared_ptr<SimDriver::Core>& core) {
  {
    std::lock_guard<std::mutex> guard(core->lock);
    if (core->openRefused) return nullptr;
    ++core->opens;
  }
  return std::make_unique<SimDevice>(core);
}

}  // namespace

void SimDriver::install(std::string_view driverName) {
  std::u16string path = kDevicePrefix;
  for (char ch : driverName) path += static_cast<char16_t>(static_cast<unsigned char>(ch));
  std::weak_ptr<Core> weak = core_;
  platform::setDeviceProvider(
      [weak, path](std::u16string_view requested) -> std::unique_ptr<platform::Device> {
        auto core = weak.lock();
        if (!core || requested != path) return nullptr;
        return openOn(core);
      });
}

std::unique_ptr<platform::Device> SimDriver::openDevice() { return openOn(core_); }

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
  auto port = [](const SockAddr& a) { return static_cast<uint16_t>(a[2] | (a[3] << 8)); };  // as stored
  uint16_t family;
  std::memcpy(&family, flow.remote.data(), 2);
  auto matches = [&](const FilterRule& r) {
    const bool rawIpOnly = r.filteringFlag == drvapi::kRuleRawIp;
    if (layer == Layer::Flow ? rawIpOnly : (r.filteringFlag & drvapi::kRuleRawIp) == 0) return false;
    if (r.protocol != 0 && r.protocol != flow.protocol) return false;
    if (r.processId != 0 && r.processId != flow.processId) return false;
    if (r.direction != 0 && r.direction != 3 && r.direction != flow.direction) return false;
    if (r.localPort != 0 && r.localPort != port(flow.local)) return false;
    if (r.remotePort != 0 && r.remotePort != port(flow.remote)) return false;
    if (r.ipFamily != 0 && r.ipFamily != family) return false;
    if (family == kFamilyIpv4)
      for (int i = 0; i < 4; ++i)
        if ((flow.remote[4 + i] & r.remoteIpAddressMask[i]) !=
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

void SimDriver::setLocalAddress(uint64_t id, const SockAddr& address) {
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
