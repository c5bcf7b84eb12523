#include "device_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/posix/device_wire.h"
#include "platform/posix/packet_socket.h"

namespace driver {
namespace wire = platform::wire;

namespace {

// Reads and writes one library may have running at once: the completion
// thread waits on their events and its own wake-up, 64 events at most. The
// driver library has one read and one write running; more are answered as
// failed.
constexpr size_t kMaxRunningOps = 63;
// Libraries waiting to be accepted (all but one are told the device is busy).
constexpr int kListenBacklog = 8;
// A library that takes no answer for this long is dropped rather than
// holding the driver up.
constexpr time_t kSendLimitSeconds = 5;

void logToStderr(const std::string& line) {
  std::fprintf(stderr, "lumo-driver: %s\n", line.c_str());
  std::fflush(stderr);
}

std::string peerText(int fd) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return "pid unknown";
  return "pid " + std::to_string(peer.pid);
}

// Whether the peer of `fd` has closed its end (what it sent before may still
// wait to be read).
bool peerClosed(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

uint64_t inodeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

}  // namespace

DeviceServer::DeviceServer(simdrv::SimDriver& driver, const SharedBuffers& buffers, std::string socketPath,
                           Log log)
    : driver_(driver),
      buffers_(buffers),
      socketPath_(std::move(socketPath)),
      log_(log ? std::move(log) : logToStderr) {}

DeviceServer::~DeviceServer() { stop(); }

bool DeviceServer::start(std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error != nullptr) *error = what + ": " + std::strerror(errno);
    listener_.reset();
    return false;
  };
  if (started_) {
    errno = EALREADY;
    return fail("the server was started before");
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath_.empty() || socketPath_.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return fail("socket path " + socketPath_);
  }
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  listener_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!listener_.valid()) return fail("socket");
  if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return fail("bind " + socketPath_);
  socketInode_ = inodeOf(socketPath_);
  if (::listen(listener_.get(), kListenBacklog) != 0) {
    const int saved = errno;
    ::unlink(socketPath_.c_str());
    errno = saved;
    return fail("listen " + socketPath_);
  }
  wake_.reset(::eventfd(0, EFD_CLOEXEC));
  if (!wake_.valid()) {
    const int saved = errno;
    ::unlink(socketPath_.c_str());
    errno = saved;
    return fail("eventfd");
  }
  started_ = true;
  completer_ = std::thread([this] { completionLoop(); });
  server_ = std::thread([this] { serveLoop(); });
  return true;
}

void DeviceServer::stop() {
  if (!started_ || stopping_.exchange(true)) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(wake_.get(), &one, sizeof one);
  server_.join();  // drops the library, with the completion thread's help
  {
    std::lock_guard<std::mutex> guard(opsLock_);
    completerStop_ = true;
  }
  opsWake_.set();
  completer_.join();
  listener_.reset();
  // Only our own socket file: a driver started after us may have replaced it.
  if (socketInode_ != 0 && inodeOf(socketPath_) == socketInode_) ::unlink(socketPath_.c_str());
}

void DeviceServer::serveLoop() {
  std::vector<uint8_t> packet(wire::kMaxMessage + 1);
  std::vector<platform::UniqueFd> fds;
  while (!stopping_.load()) {
    pollfd watched[3] = {{wake_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}, {library_.get(), POLLIN, 0}};
    if (::poll(watched, library_.valid() ? 3 : 2, -1) < 0) {
      if (errno == EINTR) continue;
      log_(std::string("poll failed: ") + std::strerror(errno));
      break;
    }
    if (watched[0].revents != 0) continue;  // stop() woke us: the loop condition tells
    if (library_.valid() && watched[2].revents != 0) {
      size_t n = 0;
      bool truncated = false;
      wire::Header h{};
      if (!platform::receivePacket(library_.get(), packet, n, fds, truncated))
        dropLibrary("");
      else if (truncated)
        dropLibrary("it sent an oversized message");
      else if (!fds.empty())
        dropLibrary("it sent file descriptors");
      else if (!wire::checkMessage(packet.data(), n, false, h))
        dropLibrary("it sent a malformed message");
      else if (const char* fault = handleRequest(h, packet.data()))
        dropLibrary(fault);
      fds.clear();
    }
    if (watched[1].revents != 0) acceptLibrary();
  }
  if (library_.valid()) dropLibrary("the driver stops");
}

void DeviceServer::acceptLibrary() {
  platform::UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd.valid()) return;
  const timeval sendLimit{kSendLimitSeconds, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
  const std::string peer = peerText(fd.get());
  auto hello = wire::make<wire::Hello>(wire::kHello, 0);
  hello.version = wire::kVersion;
  // A library that closed the device just before this one opened it is gone
  // even if its end has not been read yet: it must not make the device look
  // busy (an engine closes and opens again at once).
  if (library_.valid() && peerClosed(library_.get())) dropLibrary("");
  if (library_.valid()) {
    // The device is opened unshared.
    hello.status = wire::kHelloBusy;
    platform::sendPacket(fd.get(), &hello, sizeof hello);
    log_("refused a second library (" + peer + "): the device is open");
    return;
  }
  std::unique_ptr<platform::Device> device = driver_.openDevice();
  if (!device) {
    hello.status = wire::kHelloUnavailable;
    platform::sendPacket(fd.get(), &hello, sizeof hello);
    log_("refused a library (" + peer + "): the driver takes no opens");
    return;
  }
  hello.status = wire::kHelloAccepted;
  if (!platform::sendPacket(fd.get(), &hello, sizeof hello)) return;  // gone before it was served
  device_ = std::move(device);
  {
    std::lock_guard<std::mutex> guard(sendLock_);
    library_ = std::move(fd);
  }
  connected_.store(true);
  log_("library connected (" + peer + ")");
}

const char* DeviceServer::handleRequest(const wire::Header& h, const uint8_t* packet) {
  switch (h.kind) {
    case wire::kControl: {
      wire::Control m;
      std::memcpy(&m, packet, sizeof m);
      if (m.code == wire::kExchangeCode)
        answerExchange(h.op, m.outCapacity);
      else
        answerControl(h.op, m.code, packet + sizeof m, m.inSize, m.outCapacity);
      return nullptr;
    }
    case wire::kRead: {
      wire::Read m;
      std::memcpy(&m, packet, sizeof m);
      return startTransfer(h.op, wire::kRead, nullptr, m.size);
    }
    case wire::kWrite: {
      wire::Write m;
      std::memcpy(&m, packet, sizeof m);
      return startTransfer(h.op, wire::kWrite, m.data, wire::kTransferSize);
    }
    case wire::kCancel: {
      // An id that is not running has finished: its completion is on its way.
      std::lock_guard<std::mutex> guard(opsLock_);
      auto it = ops_.find(h.op);
      if (it != ops_.end()) {
        it->second->cancelled = true;
        device_->cancel(it->second->io);  // returns once the operation ended
      }
      return nullptr;
    }
    default:
      return "it sent a message out of place";
  }
}

const char* DeviceServer::startTransfer(uint64_t id, uint32_t kind, const uint8_t* bytes, uint32_t size) {
  auto refuse = [&] {
    if (kind == wire::kRead) {
      auto m = wire::make<wire::ReadDone>(wire::kReadDone, id);
      m.status = wire::kFailed;
      send(&m, sizeof m);
    } else {
      auto m = wire::make<wire::WriteDone>(wire::kWriteDone, id);
      m.status = wire::kFailed;
      send(&m, sizeof m);
    }
    return nullptr;
  };
  {
    std::lock_guard<std::mutex> guard(opsLock_);
    if (ops_.count(id) != 0) return "it reused the id of a running operation";
    if (ops_.size() >= kMaxRunningOps) return refuse();
  }
  auto op = std::make_unique<Op>();
  op->id = id;
  op->kind = kind;
  platform::IoStart started;
  if (kind == wire::kRead) {
    started = device_->read(op->data, size, op->io);
  } else {
    std::memcpy(op->data, bytes, wire::kTransferSize);
    started = device_->write(op->data, wire::kTransferSize, op->io);
  }
  if (started == platform::IoStart::Failed) return refuse();
  {
    std::lock_guard<std::mutex> guard(opsLock_);
    ops_.emplace(id, std::move(op));
  }
  opsWake_.set();
  return nullptr;
}

void DeviceServer::answerControl(uint64_t id, uint32_t code, const uint8_t* in, uint32_t inSize,
                                 uint32_t outCapacity) {
  std::vector<uint8_t> message(sizeof(wire::ControlDone) + outCapacity);
  uint8_t* out = message.data() + sizeof(wire::ControlDone);
  uint32_t returned = 0;
  const bool ok = device_->control(code, inSize != 0 ? in : nullptr, inSize, outCapacity != 0 ? out : nullptr,
                                   outCapacity, &returned);
  returned = std::min(returned, outCapacity);
  auto m = wire::make<wire::ControlDone>(wire::kControlDone, id, returned);
  m.ok = ok ? 1 : 0;
  m.outSize = returned;
  std::memcpy(message.data(), &m, sizeof m);
  send(message.data(), sizeof m + returned);
}

void DeviceServer::answerExchange(uint64_t id, uint32_t outCapacity) {
  // The simulated driver answers with its own addresses of the buffers; what
  // the library needs are the sizes and the memory itself.
  uint64_t answer[4] = {};
  uint32_t returned = 0;
  bool ok = device_->control(wire::kExchangeCode, nullptr, 0, answer,
                             std::min<uint32_t>(outCapacity, sizeof answer), &returned);
  if (ok && (answer[1] > buffers_.inboundSize() || answer[3] > buffers_.outboundSize())) {
    log_("the driver's buffers are larger than the shared memory: the exchange fails");
    ok = false;
  }
  auto m = wire::make<wire::ExchangeDone>(wire::kExchangeDone, id);
  if (!ok) {
    send(&m, sizeof m);
    return;
  }
  m.ok = 1;
  m.reported = std::min<uint32_t>(returned, sizeof answer);
  m.inboundSize = answer[1];
  m.outboundSize = answer[3];
  const int fds[2] = {buffers_.inboundFd(), buffers_.outboundFd()};
  send(&m, sizeof m, fds, 2);
}

void DeviceServer::completionLoop() {
  std::vector<Op*> watched;
  std::vector<platform::Event*> events;
  for (;;) {
    watched.clear();
    events.assign(1, &opsWake_);
    {
      std::lock_guard<std::mutex> guard(opsLock_);
      if (completerStop_ && ops_.empty()) return;
      for (auto& [id, op] : ops_) {
        watched.push_back(op.get());
        events.push_back(&op->io.event());
      }
    }
    const int woken = platform::waitAny(events.data(), static_cast<int>(events.size()), platform::kInfinite);
    if (woken <= 0) continue;
    Op* op = watched[static_cast<size_t>(woken) - 1];
    std::unique_ptr<Op> done;
    uint32_t transferred = 0;
    bool ok;
    {
      // The op stays in the table until here, so a cancel never reaches an
      // operation that is gone; the device stays open while the table is not
      // empty.
      std::lock_guard<std::mutex> guard(opsLock_);
      ok = device_->result(op->io, &transferred);
      auto it = ops_.find(op->id);
      done = std::move(it->second);
      ops_.erase(it);
    }
    const uint32_t status = ok ? wire::kDone : done->cancelled ? wire::kCancelled : wire::kFailed;
    if (done->kind == wire::kRead) {
      auto m = wire::make<wire::ReadDone>(wire::kReadDone, done->id);
      m.status = status;
      m.transferred = ok ? std::min<uint32_t>(transferred, wire::kTransferSize) : 0;
      std::memcpy(m.data, done->data, sizeof m.data);
      send(&m, sizeof m);
    } else {
      auto m = wire::make<wire::WriteDone>(wire::kWriteDone, done->id);
      m.status = status;
      m.transferred = ok && transferred == wire::kTransferSize ? wire::kTransferSize : 0;  // 0: no room
      send(&m, sizeof m);
    }
    opsChanged_.notify_all();
  }
}

void DeviceServer::dropLibrary(const std::string& why) {
  const std::string peer = peerText(library_.get());
  log_(why.empty() ? "library gone (" + peer + ")" : "dropped the library (" + peer + "): " + why);
  {
    // What it left running ends now; the completion thread takes each one
    // out (its answer goes nowhere) and the device closes with none left.
    std::unique_lock<std::mutex> guard(opsLock_);
    for (auto& [id, op] : ops_) {
      op->cancelled = true;
      device_->cancel(op->io);
    }
    opsWake_.set();
    opsChanged_.wait(guard, [&] { return ops_.empty(); });
  }
  device_.reset();
  {
    std::lock_guard<std::mutex> guard(sendLock_);
    library_.reset();
  }
  connected_.store(false);
}

bool DeviceServer::send(const void* data, size_t n, const int* fds, int fdCount) {
  std::lock_guard<std::mutex> guard(sendLock_);
  if (!library_.valid()) return false;
  if (platform::sendPacket(library_.get(), data, n, fds, fdCount)) return true;
  // A library that cannot take its answers is dropped: the serving thread
  // sees the connection end.
  ::shutdown(library_.get(), SHUT_RDWR);
  return false;
}

}  // namespace driver
