// The driver interface's public operations: opening the control device,
// the shared-buffer handshake, the write primitive, rules and process paths.
// The reader thread is in batch_reader.cpp, the jobs and the inject queues in
// tcp_events.cpp and udp_events.cpp.
#include "drvapi/drvapi.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "drvapi/library.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/time.h"

namespace drvapi {
namespace detail {
namespace {

std::atomic<TickSource> tickSource{nullptr};

// Set once by the engine before the first initDriver, read under the
// library lock.
ServiceSteps serviceSteps;

unsigned char* pointerOf(uint64_t address) {
  // The 32-bit library uses the low 32 bits of the driver's 64-bit address.
  return reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(address));
}

// The write itself, under the write lock, once `fill` has put the record at
// the start of the outbound buffer.
template <class Fill>
int writeWith(uint32_t total, Fill&& fill) {
  Library& l = lib();
  std::lock_guard<std::mutex> guard(l.writeLock);
  // Not initialised comes first: without buffers every record would look
  // too large, and callers must be able to tell the two apart.
  if (!l.initialised.load() || !l.device || l.buffers.outboundAddress == 0) return kNotInitialised;
  if (l.driverGone.load()) return kFailed;
  if (total > l.buffers.outboundSize) return kNoRoom;
  fill(pointerOf(l.buffers.outboundAddress));
  uint64_t count = total;
  platform::DeviceIo& io = l.writeIo;
  const platform::IoStart started = l.device->write(&count, sizeof count, io);
  if (started == platform::IoStart::Failed) return kNoRoom;
  platform::Event* events[2] = {&l.stopEvent, &io.event()};
  if (platform::waitAny(events, 2, platform::kInfinite) != 1) {
    l.device->cancel(io);
    return kFailed;
  }
  uint32_t transferred = 0;
  if (!l.device->result(io, &transferred)) return kFailed;
  return transferred == 0 ? kFailed : kOk;  // 0 bytes: the driver had no room
}

// Opens "\\.\CtrlDS" + name, with one attempt to bring the driver service up,
// and lets the service make the load-order arrangements the newer driver
// kind needs. The caller's last error after the open is kept.
std::shared_ptr<platform::Device> openDriverDevice(const char* name) {
  char path8[260];
  std::snprintf(path8, sizeof path8, "%s", name);
  std::u16string path = kDevicePrefix;
  path += platform::ansiToUtf16(path8);
  if (path.size() > 259) path.resize(259);

  std::shared_ptr<platform::Device> dev = platform::openDevice(path);
  if (!dev && (lib().optionFlags.load() & kOptionNoServiceStart) == 0 && serviceSteps.registerDriverService) {
    serviceSteps.registerDriverService(name, nullptr);
    dev = platform::openDevice(path);
  }
  if (!dev) return nullptr;
  const uint32_t savedError = platform::lastError();

  // Any answer of at least one byte is the newer driver kind's.
  uint32_t kind = 0;
  uint32_t returned = 0;
  if (dev->control(kIoctlDriverKind, nullptr, 0, &kind, sizeof kind, &returned) && returned >= 1 &&
      serviceSteps.arrangeLoadOrder)
    serviceSteps.arrangeLoadOrder(name);
  platform::setLastError(savedError);
  return dev;
}

// The kind query's answer; 0 when the call fails.
uint32_t queryKind(platform::Device& dev) {
  uint32_t kind = 0;
  uint32_t returned = 0;
  if (!dev.control(kIoctlDriverKind, nullptr, 0, &kind, sizeof kind, &returned) || returned == 0) return 0;
  return kind;
}

}  // namespace

namespace {
std::atomic<bool> libraryBuilt{false};
}  // namespace

Library& lib() {
  // Built in static storage and never destroyed by the exit handlers: at
  // process exit they run before the engine is shut down (Linux), or after the
  // system ended the reader thread (Windows), and destroying the state would
  // destroy a reader thread that is still joinable. Only an unload of the
  // library with the driver closed ends it (releaseDriverLibrary).
  alignas(Library) static unsigned char storage[sizeof(Library)];
  static Library* const instance = [] {
    Library* built = ::new (static_cast<void*>(storage)) Library();
    libraryBuilt.store(true);
    return built;
  }();
  return *instance;
}

uint32_t now() {
  TickSource source = tickSource.load();
  return source != nullptr ? source() : platform::tickCount();
}

std::shared_ptr<platform::Device> device() {
  AutoLock guard(lib().lock);
  return lib().device;
}

int writeRecord(uint32_t type, uint64_t id, const void* payload, uint32_t size) {
  return writeRecord2(type, id, payload, size, nullptr, 0);
}

int writeRecord2(uint32_t type, uint64_t id, const void* a, uint32_t aSize, const void* b, uint32_t bSize) {
  const uint64_t total64 = uint64_t{kRecordHeaderSize} + aSize + bSize;
  if (total64 > 0xFFFFFFFFu) return kNoRoom;
  const uint32_t total = static_cast<uint32_t>(total64);
  return writeWith(total, [&](unsigned char* out) {
    const RecordHeader h{type, id, aSize + bSize};
    std::memcpy(out, &h, sizeof h);
    if (aSize != 0) std::memcpy(out + kRecordHeaderSize, a, aSize);
    if (bSize != 0) std::memcpy(out + kRecordHeaderSize + aSize, b, bSize);
  });
}

int writeFramed(const unsigned char* record, uint32_t total) {
  return writeWith(total, [&](unsigned char* out) { std::memcpy(out, record, total); });
}

void closeTcpConnection(uint64_t id) {
  tcpInjectSend(id, nullptr, 0);
  if (auto dev = device()) {
    uint64_t value = id;
    uint32_t returned = 0;
    dev->control(kIoctlTcpClose, &value, sizeof value, nullptr, 0, &returned);
  }
}

}  // namespace detail

using detail::lib;
using detail::Library;

void setTickSource(TickSource source) { detail::tickSource.store(source); }

void setServiceSteps(const ServiceSteps& steps) {
  AutoLock guard(lib().lock);
  detail::serviceSteps = steps;
}

void setDriverOptions(int workerThreads, uint32_t flags) {
  Library& l = lib();
  AutoLock guard(l.lock);
  l.workerThreads = workerThreads;
  l.optionFlags.store(flags);
}

uint32_t driverOptions() { return lib().optionFlags.load(); }

int initDriver(const char* driverName, DRV_EventHandler* handler) {
  Library& l = lib();
  // A library whose driver went away is closed first and opened again: the
  // driver may be back. Without the lock, as every freeDriver (the reader's
  // workers need it to finish).
  if (l.initialised.load()) {
    std::shared_ptr<platform::Device> dev = detail::device();
    if (l.driverGone.load() || (dev && !dev->alive())) freeDriver();
  }
  AutoLock guard(l.lock);
  if (l.initialised.load()) return kOk;
  // Refused before anything is touched: without a handler nothing could be
  // delivered, and the library must stay uninitialised.
  if (driverName == nullptr || handler == nullptr) return kFailed;

  if (detail::serviceSteps.prepareHostRegistry)
    detail::serviceSteps.prepareHostRegistry((l.optionFlags.load() & kOptionKeepIpv6Registry) == 0);

  std::shared_ptr<platform::Device> dev = detail::openDriverDevice(driverName);
  if (!dev) return kFailed;
  {
    std::lock_guard<std::mutex> writeGuard(l.writeLock);
    l.device = dev;
  }
  std::snprintf(l.driverName, sizeof l.driverName, "%s", driverName);

  const uint32_t kindForChunks = detail::queryKind(*dev);
  l.chunkLimit.store(kindForChunks == 1 || kindForChunks == 2 ? static_cast<int>(kLargeChunk)
                                                              : static_cast<int>(kSmallChunk));
  l.driverKind = detail::queryKind(*dev) == 2 ? 2 : 1;

  SharedBuffers exchanged{};
  uint32_t returned = 0;
  const bool ok = dev->control(kIoctlExchangeBuffers, nullptr, 0, &exchanged, sizeof exchanged, &returned);
  if (!ok || returned != sizeof exchanged) {
    std::lock_guard<std::mutex> writeGuard(l.writeLock);
    l.device.reset();
    l.driverKind = 0;
    return kFailed;
  }
  // The 32-bit library cannot address more than 4 GB of either buffer.
  if (sizeof(void*) == 4) {
    if (exchanged.inboundSize > 0xFFFFFFFFu) exchanged.inboundSize = 0xFFFFFFFFu;
    if (exchanged.outboundSize > 0xFFFFFFFFu) exchanged.outboundSize = 0xFFFFFFFFu;
  }
  {
    std::lock_guard<std::mutex> writeGuard(l.writeLock);
    l.buffers = exchanged;
  }

  l.tcp.create();
  l.udp.create();
  l.maintenanceRan = false;
  l.initialised.store(true);

  // Start the reader and wait until it runs.
  l.handler.store(handler);
  l.stopEvent.reset();
  l.threadExited.reset();
  l.threadStarted.reset();
  try {
    l.reader = std::thread(detail::readerMain, handler, l.workerThreads);
  } catch (...) {
    freeDriver();
    return kFailed;
  }
  l.readerRunning = true;
  l.threadStarted.wait();
  return kOk;
}

void freeDriver() {
  Library& l = lib();
  std::thread reader;
  {
    AutoLock guard(l.lock);
    if (l.readerRunning) {
      reader = std::move(l.reader);
      l.readerRunning = false;
    }
  }
  // Stop the reader (it stops both worker pools) with no lock held: the
  // workers need the library lock to finish their jobs.
  l.stopEvent.set();
  if (reader.joinable()) {
    l.threadExited.wait();
    reader.join();
  }
  AutoLock guard(l.lock);
  {
    std::lock_guard<std::mutex> writeGuard(l.writeLock);
    l.device.reset();
    l.initialised.store(false);
    l.driverGone.store(false);
    l.buffers = {};
  }
  l.handler.store(nullptr);
  // The raw-IP handler may be gone with its engine: a record arriving before
  // the next one registers is written back unchanged instead.
  l.ipHandler.store(nullptr);
  l.driverKind = 0;
  // Nothing queued now may run after the next initDriver. The pools are
  // stopped; injections push under this lock and see the library closed.
  l.events.clear();
  l.eventsOut.clear();
  for (TcpEntry* e : l.retiredTcp) ConnectionTable<TcpEntry>::destroyDetached(l.pool, e);
  l.retiredTcp.clear();
  l.tcp.destroy(l.pool);
  l.udp.destroy(l.pool);
  l.pool.clear();
}

void releaseDriverLibrary() {
  if (!detail::libraryBuilt.load()) return;
  Library& l = lib();
  if (l.readerRunning || l.initialised.load()) return;
  l.~Library();
  detail::libraryBuilt.store(false);
}

void setIpEventHandler(DRV_IPEventHandler* handler) { lib().ipHandler.store(handler); }

namespace {

int ipInject(uint32_t type, const char* packet, int length, const IpOptions* options) {
  if (!lib().initialised.load()) return kNotInitialised;
  if (options == nullptr || packet == nullptr || length < 0) return kFailed;
  if (options->flags & 1u) return kOk;
  return detail::writeRecord2(type, 0, options, sizeof(IpOptions), packet, static_cast<uint32_t>(length));
}

}  // namespace

int ipInjectSend(const char* packet, int length, const IpOptions* options) {
  return ipInject(kIpSend, packet, length, options);
}

int ipInjectReceive(const char* packet, int length, const IpOptions* options) {
  return ipInject(kIpReceive, packet, length, options);
}

int tcpDisableFiltering(uint64_t id) {
  Library& l = lib();
  AutoLock guard(l.lock);
  if (!l.initialised.load()) return kNotInitialised;
  TcpEntry* e = l.tcp.find(id);
  if (e == nullptr) return kUnknownConnection;
  // Inside tcpConnectRequest the driver's flags are not the verdict yet: the
  // request is judged by the verdict the callback leaves.
  if (e->deciding)
    e->disableAfterVerdict = true;
  else if ((e->info.filteringFlag & kVerdictFiltered) && !(e->info.filteringFlag & kVerdictKeepFiltering))
    e->passThrough = true;
  return kOk;
}

int udpDisableFiltering(uint64_t id) {
  Library& l = lib();
  {
    AutoLock guard(l.lock);
    if (!l.initialised.load()) return kNotInitialised;
    UdpEntry* e = l.udp.find(id);
    if (e == nullptr) return kUnknownConnection;
    if (e->passThrough) return kOk;
    e->passThrough = true;
  }
  return detail::writeRecord(kUdpFilteringOff, id, nullptr, 0);
}

int tcpGetConnInfo(uint64_t id, TcpConnInfo* info) {
  Library& l = lib();
  AutoLock guard(l.lock);
  if (!l.initialised.load()) return kNotInitialised;
  if (info == nullptr) return kFailed;
  TcpEntry* e = l.tcp.find(id);
  if (e == nullptr) return kUnknownConnection;
  *info = e->info;
  return kOk;
}

int udpGetConnInfo(uint64_t id, UdpConnInfo* info) {
  Library& l = lib();
  AutoLock guard(l.lock);
  if (!l.initialised.load()) return kNotInitialised;
  if (info == nullptr) return kFailed;
  UdpEntry* e = l.udp.find(id);
  if (e == nullptr) return kUnknownConnection;
  *info = e->info;
  return kOk;
}

int addFilterRule(const FilterRule* rule, bool first) {
  if (rule == nullptr) return kFailed;
  return detail::writeRecord(first ? kAddRuleFirst : kAddRuleLast, 0, rule, sizeof(FilterRule));
}

int deleteFilterRules() { return detail::writeRecord(kDeleteRules, 0, nullptr, 0); }

int addProcessFilterRule(ProcessFilterRule* rule, bool first) {
  if (rule == nullptr) return kFailed;
  if (!lib().initialised.load()) return kNotInitialised;
  // The driver compares names without drive letters and in lower case:
  // "D:\Dir\App.exe" travels as "\dir\app.exe".
  // The name sits at an odd offset of the packed record: work on an aligned
  // copy and put it back.
  char16_t name[kProcessNameUnits];
  std::memcpy(name, rule->processName, sizeof name);
  size_t length = 0;
  while (length < kProcessNameUnits && name[length] != u'\0') ++length;
  if (length == kProcessNameUnits) name[--length] = u'\0';  // never send an unterminated name
  for (size_t i = 0; i < length; ++i)
    if (name[i] >= u'A' && name[i] <= u'Z') name[i] = static_cast<char16_t>(name[i] - u'A' + u'a');
  if (length > 3 && name[1] == u':') {
    std::memmove(name, name + 2, (length - 2 + 1) * sizeof(char16_t));
    std::memset(name + length - 1, 0, (kProcessNameUnits - (length - 1)) * sizeof(char16_t));
  }
  std::memcpy(rule->processName, name, sizeof name);
  std::memset(rule->reserved, 0, sizeof rule->reserved);
  auto dev = detail::device();
  if (!dev) return kNotInitialised;
  uint32_t returned = 0;
  const bool ok = dev->control(first ? kIoctlAddProcessRuleFirst : kIoctlAddProcessRuleLast, rule,
                               sizeof(ProcessFilterRule), nullptr, 0, &returned);
  return ok ? kOk : kFailed;
}

namespace {

std::mutex driveTableLock;
std::vector<platform::DosDevice>& driveTable() {
  static std::vector<platform::DosDevice> table;
  return table;
}

// Replaces a leading volume device name by its drive; false on a miss.
bool mapDevicePath(std::u16string& path) {
  std::lock_guard<std::mutex> guard(driveTableLock);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt == 1) driveTable() = platform::dosDevices();  // a miss rebuilds the table once
    for (const platform::DosDevice& d : driveTable()) {
      if (!d.deviceName.empty() && path.compare(0, d.deviceName.size(), d.deviceName) == 0) {
        path.replace(0, d.deviceName.size(), d.drive);
        return true;
      }
    }
  }
  return false;
}

}  // namespace

int getProcessImagePath(uint32_t processId, char16_t* buffer, uint32_t capacity) {
  if (buffer == nullptr || capacity < 260) {
    platform::setLastError(platform::kErrorNotEnoughMemory);
    return 0;
  }
  auto dev = detail::device();
  if (!dev) return 0;
  std::u16string answer(capacity, u'\0');
  uint32_t returned = 0;
  uint32_t pid = processId;
  if (!dev->control(kIoctlProcessImagePath, &pid, sizeof pid, answer.data(),
                    static_cast<uint32_t>(answer.size() * sizeof(char16_t)), &returned))
    return 0;
  // The driver's answer is trusted no further than its returned length and
  // its first NUL.
  size_t units = std::min<size_t>(returned / sizeof(char16_t), answer.size());
  answer.resize(units);
  const size_t nul = answer.find(u'\0');
  if (nul != std::u16string::npos) answer.resize(nul);
  if (answer.empty()) return 0;
  mapDevicePath(answer);
  if (answer.size() >= capacity) return 0;
  std::memcpy(buffer, answer.data(), answer.size() * sizeof(char16_t));
  buffer[answer.size()] = u'\0';
  return 1;
}

int getProcessModulePath(uint32_t processId, char16_t* buffer, uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return 0;
  const std::u16string path = platform::processImagePath(processId);
  if (path.empty() || path.size() >= capacity) return 0;
  std::memcpy(buffer, path.data(), path.size() * sizeof(char16_t));
  buffer[path.size()] = u'\0';
  return static_cast<int>(path.size());
}

void enableDebugPrivilege() { platform::enableDebugPrivilege(); }

}  // namespace drvapi
