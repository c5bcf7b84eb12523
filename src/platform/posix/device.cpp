// Linux control devices. A device path is served by an installed provider
// (the simulated driver in-process) or else by the driver process lumo-driver,
// which listens on a Unix-domain socket in the runtime folder
// (driver_runtime_dir.h) and speaks the messages of device_wire.h.
//
// One connection is one open device. Every call becomes one request with an
// operation id; one receiver thread per device takes the driver's answers and
// completes the operation they name: it signals the DeviceIo of a read or
// write, or wakes the thread waiting in control(). The buffer exchange's
// answer brings the two shared buffers as memfds; they are mapped here and
// their local addresses are what the library gets, and they stay mapped
// until the device is destroyed. When the driver goes away (the connection
// ends, or it sends something that is not the protocol), every operation
// still running completes as failed and every later call fails at once.
//
// The last error is a thread-local value that mirrors the Windows one so the
// portable code can keep and restore it.
#include "platform/device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/debug.h"
#include "platform/driver_runtime_dir.h"
#include "platform/posix/device_wire.h"
#include "platform/posix/packet_socket.h"
#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

thread_local uint32_t threadLastError = 0;

// How long an open waits for the driver's greeting.
constexpr int kHelloWaitMs = 3000;
// A driver that takes no request or answers no control within this time is
// taken for gone rather than holding the caller without end. Reads and writes
// have no such limit: the driver completes them when it has something.
constexpr int kDriverAnswerMs = 10000;

// A shared buffer the driver sent: a memfd that cannot shrink under us (a
// shrink would turn our accesses into SIGBUS) and holds `size` bytes.
void* mapSharedBuffer(int fd, uint64_t size) {
  struct stat st {};
  if (size == 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) < size)
    return nullptr;
  const int seals = ::fcntl(fd, F_GET_SEALS);
  if (seals < 0 || (seals & F_SEAL_SHRINK) == 0) return nullptr;
  void* p = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : p;
}

class SocketDevice final : public Device {
 public:
  explicit SocketDevice(UniqueFd fd) : fd_(std::move(fd)) {
    receiver_ = std::thread([this] { receive(); });
  }

  ~SocketDevice() override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      closing_ = true;
    }
    // The receiver sees the end of the connection, fails what still runs
    // (closing a handle ends its outstanding I/O) and returns.
    ::shutdown(fd_.get(), SHUT_RDWR);
    receiver_.join();
    for (auto& [address, size] : mappings_) ::munmap(address, size);
  }

  bool control(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
               uint32_t* returned) override {
    if (returned != nullptr) *returned = 0;
    if (inSize > wire::kMaxControlInput || (inSize != 0 && in == nullptr)) return false;
    Op op;
    op.kind = wire::kControl;
    op.exchange = code == wire::kExchangeCode;
    op.out = out;
    op.outCapacity = out != nullptr ? std::min(outSize, wire::kMaxControlOutput) : 0;
    std::vector<uint8_t> message(sizeof(wire::Control) + inSize);
    uint64_t id;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (gone_) return false;
      id = nextOp_++;
      ops_.emplace(id, op);
    }
    auto m = wire::make<wire::Control>(wire::kControl, id, inSize);
    m.code = code;
    m.inSize = inSize;
    m.outCapacity = op.outCapacity;
    std::memcpy(message.data(), &m, sizeof m);
    if (inSize != 0) std::memcpy(message.data() + sizeof m, in, inSize);
    const bool sent = sendPacket(fd_.get(), message.data(), message.size());
    std::unique_lock<std::mutex> guard(lock_);
    if (!sent) lose("a request could not be sent");
    if (!changed_.wait_for(guard, std::chrono::milliseconds(kDriverAnswerMs),
                           [&] { return ops_.at(id).done; }))
      lose("a control request went unanswered");
    const Op done = ops_.at(id);
    ops_.erase(id);
    if (returned != nullptr) *returned = done.returned;
    return done.ok;
  }

  IoStart read(void* buffer, uint32_t size, DeviceIo& io) override {
    if (buffer == nullptr || size == 0 || size > wire::kTransferSize) return IoStart::Failed;
    auto m = wire::make<wire::Read>(wire::kRead, 0);
    m.size = size;
    Op op;
    op.kind = wire::kRead;
    op.io = &io;
    op.readBuffer = buffer;
    op.readSize = size;
    return start(op, m);
  }

  IoStart write(const void* buffer, uint32_t size, DeviceIo& io) override {
    if (buffer == nullptr || size != wire::kTransferSize) return IoStart::Failed;
    auto m = wire::make<wire::Write>(wire::kWrite, 0);
    std::memcpy(m.data, buffer, wire::kTransferSize);
    Op op;
    op.kind = wire::kWrite;
    op.io = &io;
    return start(op, m);
  }

  bool result(DeviceIo& io, uint32_t* transferred) override {
    if (!io.event().wait(0)) return false;  // still running
    if (transferred != nullptr) *transferred = io.succeeded ? io.transferred : 0;
    return io.succeeded;
  }

  void cancel(DeviceIo& io) override {
    std::unique_lock<std::mutex> guard(lock_);
    auto it =
        std::find_if(ops_.begin(), ops_.end(), [&](const auto& entry) { return entry.second.io == &io; });
    if (it == ops_.end()) return;  // ended already
    const uint64_t id = it->first;
    if (!it->second.cancelSent) {
      it->second.cancelSent = true;
      guard.unlock();
      const auto m = wire::make<wire::Cancel>(wire::kCancel, id);
      const bool sent = sendPacket(fd_.get(), &m, sizeof m);
      guard.lock();
      if (!sent) lose("a cancel could not be sent");
    }
    // The driver answers with the operation's completion, cancelled or not.
    changed_.wait(guard, [&] { return ops_.count(id) == 0; });
  }

  bool alive() override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (gone_) return false;
    }
    // The receiver may not have seen yet that the driver ended.
    pollfd p{fd_.get(), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 0 || (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) == 0;
  }

 private:
  struct Op {
    uint32_t kind = 0;
    // Controls: where the answer goes, and the answer once it came.
    bool exchange = false;
    void* out = nullptr;
    uint32_t outCapacity = 0;
    bool done = false;
    bool ok = false;
    uint32_t returned = 0;
    // Reads and writes.
    DeviceIo* io = nullptr;
    void* readBuffer = nullptr;
    uint32_t readSize = 0;
    bool cancelSent = false;
  };

  template <class Message>
  IoStart start(const Op& op, Message& m) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (gone_) return IoStart::Failed;
      m.h.op = nextOp_++;
      op.io->event().reset();
      op.io->succeeded = false;
      op.io->transferred = 0;
      ops_.emplace(m.h.op, op);
    }
    if (sendPacket(fd_.get(), &m, sizeof m)) return IoStart::Pending;
    std::lock_guard<std::mutex> guard(lock_);
    // Not started after all, unless the receiver has failed it meanwhile
    // (its event is then signalled, as for a started operation).
    const bool notStarted = ops_.erase(m.h.op) != 0;
    lose("a request could not be sent");
    return notStarted ? IoStart::Failed : IoStart::Pending;
  }

  static void complete(DeviceIo& io, bool ok, uint32_t transferred) {
    io.succeeded = ok;
    io.transferred = transferred;
    io.event().set();
  }

  // Fails every operation and every later call. Under lock_. `why` is logged
  // unless the device is being closed.
  void lose(const char* why) {
    if (!gone_ && !closing_ && why != nullptr) {
      char line[160];
      std::snprintf(line, sizeof line, "[DRV][device] the driver's connection ended: %s", why);
      debugOutput(line);
    }
    gone_ = true;
    for (auto it = ops_.begin(); it != ops_.end();) {
      Op& op = it->second;
      if (op.kind == wire::kControl) {
        if (!op.done) {
          op.done = true;
          op.ok = false;
          op.returned = 0;
        }
        ++it;  // its caller collects it
      } else {
        complete(*op.io, false, 0);
        it = ops_.erase(it);
      }
    }
    changed_.notify_all();
  }

  void receive() {
    std::vector<uint8_t> buffer(wire::kMaxMessage + 1);
    std::vector<UniqueFd> fds;
    for (;;) {
      size_t n = 0;
      bool truncated = false;
      if (!receivePacket(fd_.get(), buffer, n, fds, truncated)) {
        std::lock_guard<std::mutex> guard(lock_);
        lose(nullptr);  // the driver closed the connection (the library's reader tells)
        return;
      }
      wire::Header h{};
      const char* fault = nullptr;
      if (truncated)
        fault = "an oversized message";
      else if (!wire::checkMessage(buffer.data(), n, true, h))
        fault = "a malformed message";
      std::lock_guard<std::mutex> guard(lock_);
      if (fault == nullptr) fault = handle(h, buffer.data(), fds);
      fds.clear();  // mapped or refused: the mappings stand without them
      if (fault != nullptr) {
        lose(fault);
        return;
      }
    }
  }

  // Completes the operation an answer names; the fault when the answer does
  // not fit it. Under lock_. Descriptors are the caller's to close.
  const char* handle(const wire::Header& h, const uint8_t* data, const std::vector<UniqueFd>& fds) {
    auto it = ops_.find(h.op);
    if (it == ops_.end()) return "an answer to no request";
    Op& op = it->second;
    if (h.kind != wire::kExchangeDone && !fds.empty()) return "descriptors with a message that carries none";
    switch (h.kind) {
      case wire::kControlDone: {
        if (op.kind != wire::kControl || op.done || op.exchange) return "a control answer to another request";
        wire::ControlDone m;
        std::memcpy(&m, data, sizeof m);
        if (m.outSize > op.outCapacity) return "a control answer longer than asked for";
        if (m.outSize != 0) std::memcpy(op.out, data + sizeof m, m.outSize);
        op.done = true;
        op.ok = m.ok != 0;
        op.returned = m.outSize;
        break;
      }
      case wire::kExchangeDone: {
        if (op.kind != wire::kControl || op.done || !op.exchange) return "buffers for another request";
        wire::ExchangeDone m;
        std::memcpy(&m, data, sizeof m);
        if (m.ok == 0) {
          if (!fds.empty()) return "descriptors with a failed buffer exchange";
        } else {
          if (fds.size() != 2) return "a buffer exchange without its two buffers";
          void* inbound = mapSharedBuffer(fds[0].get(), m.inboundSize);
          void* outbound = inbound != nullptr ? mapSharedBuffer(fds[1].get(), m.outboundSize) : nullptr;
          if (outbound == nullptr) {
            if (inbound != nullptr) ::munmap(inbound, m.inboundSize);
            return "shared buffers that cannot be mapped safely";
          }
          mappings_.emplace_back(inbound, m.inboundSize);
          mappings_.emplace_back(outbound, m.outboundSize);
          const uint64_t buffers[4] = {reinterpret_cast<uintptr_t>(inbound), m.inboundSize,
                                       reinterpret_cast<uintptr_t>(outbound), m.outboundSize};
          const uint32_t n = std::min<uint32_t>(op.outCapacity, sizeof buffers);
          if (n != 0) std::memcpy(op.out, buffers, n);
          op.returned = std::min(m.reported, n);
        }
        op.done = true;
        op.ok = m.ok != 0;
        break;
      }
      case wire::kReadDone: {
        if (op.kind != wire::kRead) return "a read completion for another request";
        wire::ReadDone m;
        std::memcpy(&m, data, sizeof m);
        const bool ok = m.status == wire::kDone;
        const uint32_t n = ok ? std::min(m.transferred, op.readSize) : 0;
        if (n != 0) std::memcpy(op.readBuffer, m.data, n);
        complete(*op.io, ok, n);
        ops_.erase(it);
        break;
      }
      case wire::kWriteDone: {
        if (op.kind != wire::kWrite) return "a write completion for another request";
        wire::WriteDone m;
        std::memcpy(&m, data, sizeof m);
        const bool ok = m.status == wire::kDone;
        complete(*op.io, ok, ok ? m.transferred : 0);
        ops_.erase(it);
        break;
      }
      default:
        return "a message out of place";
    }
    changed_.notify_all();
    return nullptr;
  }

  const UniqueFd fd_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::map<uint64_t, Op> ops_;
  uint64_t nextOp_ = 1;
  bool gone_ = false;
  bool closing_ = false;
  std::vector<std::pair<void*, size_t>> mappings_;  // by the receiver, under lock_
  std::thread receiver_;
};

// "\\.\Name" -> "Name", when Name is something a socket file can be named.
bool deviceName(std::u16string_view path, std::string& name) {
  constexpr std::u16string_view kPrefix = u"\\\\.\\";
  if (path.substr(0, kPrefix.size()) != kPrefix || path.size() == kPrefix.size()) return false;
  name.clear();
  for (char16_t ch : path.substr(kPrefix.size())) {
    if (ch <= 0x20 || ch >= 0x7F || ch == u'/' || ch == u'\\') return false;
    name.push_back(static_cast<char>(ch));
  }
  return true;
}

// Connects to the driver process's socket for `path` and waits for its
// greeting. Null with the last error set when nobody serves the device or the
// driver does not take this library.
std::unique_ptr<Device> openDriverProcessDevice(std::u16string_view path) {
  threadLastError = kErrorFileNotFound;
  std::string name;
  if (!deviceName(path, name)) return nullptr;
  const std::string socketPath = deviceSocketPath(name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) return nullptr;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

  // Non-blocking for the connect alone: a driver whose queue of connections
  // is full does not hold the open up.
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const timeval sendLimit{kDriverAnswerMs / 1000, 0};
  if (!fd.valid() || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0 ||
      ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit) != 0)
    return nullptr;
  pollfd p{fd.get(), POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, kHelloWaitMs);
  } while (ready < 0 && errno == EINTR);
  std::vector<uint8_t> buffer(sizeof(wire::Hello) + 1);
  std::vector<UniqueFd> fds;
  size_t n = 0;
  bool truncated = false;
  wire::Header h{};
  if (ready != 1 || !receivePacket(fd.get(), buffer, n, fds, truncated) || truncated || !fds.empty() ||
      !wire::checkMessage(buffer.data(), n, true, h) || h.kind != wire::kHello)
    return nullptr;
  wire::Hello hello;
  std::memcpy(&hello, buffer.data(), sizeof hello);
  if (hello.version != wire::kVersion || hello.status != wire::kHelloAccepted) {
    if (hello.status == wire::kHelloBusy) threadLastError = kErrorSharingViolation;
    return nullptr;
  }
  threadLastError = 0;
  return std::make_unique<SocketDevice>(std::move(fd));
}

}  // namespace

std::unique_ptr<Device> openDevice(std::u16string_view path) {
  if (auto device = openProvidedDevice(path)) return device;
  return openDriverProcessDevice(path);
}

uint32_t lastError() { return threadLastError; }
void setLastError(uint32_t error) { threadLastError = error; }

std::vector<DosDevice> dosDevices() { return {}; }

}  // namespace platform
