// The driver's device transport under test: a device server in this process
// (the simulated driver behind it, a temporary runtime folder), and raw peers
// that speak the wire messages byte by byte as the library or the driver.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device_server.h"
#include "platform/driver_runtime_dir.h"
#include "platform/posix/device_wire.h"
#include "platform/posix/packet_socket.h"
#include "platform/posix/unique_fd.h"
#include "shared_buffers.h"
#include "sim_driver.h"
#include "support/test_support.h"

namespace drivertest {

namespace wire = platform::wire;

inline const std::u16string kDevicePath = u"\\\\.\\CtrlDSLumoDriverSys";
inline std::string deviceSocket() { return platform::deviceSocketPath("CtrlDSLumoDriverSys"); }

// Points the runtime folder of this process at a fresh temporary folder for
// the object's life.
class RuntimeFolder {
 public:
  RuntimeFolder() { ::setenv("LUMO_DRIVER_DIR", dir_.path().c_str(), 1); }
  ~RuntimeFolder() { ::unsetenv("LUMO_DRIVER_DIR"); }
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  lumotest::TempDir dir_;
};

// lumo-driver's serving part in this process: shared buffers, the simulated
// driver on them and the device server on the runtime folder's socket. The
// log lines are kept.
class ServedDriver {
 public:
  explicit ServedDriver(simdrv::SimDriver::Config config = {}) {
    if (!buffers.create(config.inboundSize, config.outboundSize, &error)) return;
    config.inboundBuffer = buffers.inbound();
    config.outboundBuffer = buffers.outbound();
    sim = std::make_unique<simdrv::SimDriver>(config);
    server = std::make_unique<driver::DeviceServer>(*sim, buffers, deviceSocket(),
                                                    [this](const std::string& line) {
                                                      std::lock_guard<std::mutex> guard(logLock_);
                                                      logs_.push_back(line);
                                                    });
    started = server->start(&error);
  }
  ~ServedDriver() {
    if (server) server->stop();
  }

  // Log lines that contain `fragment`.
  size_t logged(const std::string& fragment) const {
    std::lock_guard<std::mutex> guard(logLock_);
    size_t n = 0;
    for (const auto& line : logs_) n += line.find(fragment) != std::string::npos;
    return n;
  }

  RuntimeFolder folder;
  driver::SharedBuffers buffers;
  std::unique_ptr<simdrv::SimDriver> sim;
  std::unique_ptr<driver::DeviceServer> server;
  bool started = false;
  std::string error;

 private:
  mutable std::mutex logLock_;
  std::vector<std::string> logs_;
};

inline sockaddr_un socketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// What a driver that was killed leaves: its socket, nobody listening.
inline bool leaveStaleSocket() {
  const sockaddr_un address = socketAddress(deviceSocket());
  platform::UniqueFd stale(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  return ::bind(stale.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Waits up to 10 s for a packet on `fd`; false when none came or the
// connection ended.
inline bool receive(int fd, std::vector<uint8_t>& packet) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10000) != 1) return false;
  packet.resize(wire::kMaxMessage + 1);
  std::vector<platform::UniqueFd> fds;
  size_t n = 0;
  bool truncated = false;
  if (!platform::receivePacket(fd, packet, n, fds, truncated)) return false;
  packet.resize(n);
  return true;
}

// True when the peer closed the connection within 10 s (anything it sent
// before is skipped).
inline bool closedByPeer(int fd) {
  std::vector<uint8_t> packet;
  for (int i = 0; i < 100; ++i)
    if (!receive(fd, packet)) return true;
  return false;
}

template <class T>
T as(const std::vector<uint8_t>& packet) {
  T m{};
  std::memcpy(&m, packet.data(), std::min(sizeof m, packet.size()));
  return m;
}

// A library made of raw bytes: connects to the device socket and reads the
// driver's greeting.
struct RawLibrary {
  RawLibrary() {
    const sockaddr_un address = socketAddress(deviceSocket());
    fd.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return;
    std::vector<uint8_t> packet;
    if (receive(fd.get(), packet) && packet.size() == sizeof(wire::Hello)) hello = as<wire::Hello>(packet);
  }
  bool send(const void* data, size_t n, const int* fds = nullptr, int fdCount = 0) {
    return platform::sendPacket(fd.get(), data, n, fds, fdCount);
  }
  template <class T>
  bool send(const T& m) {
    return send(&m, sizeof m);
  }
  // Sends `m` and takes the next packet into `answer`.
  template <class T>
  bool ask(const T& m, std::vector<uint8_t>& answer) {
    return send(m) && receive(fd.get(), answer);
  }

  platform::UniqueFd fd;
  wire::Hello hello{};
};

// A driver made of raw bytes: listens on the device socket, accepts one
// library and runs `script` on its connection on a thread of its own (after
// sending `hello`, if any). The connection is closed when the script returns.
class FakeDriver {
 public:
  using Script = std::function<void(int fd)>;
  FakeDriver(Script script, std::optional<wire::Hello> hello) {
    const sockaddr_un address = socketAddress(deviceSocket());
    listener_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    bound_ = ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
             ::listen(listener_.get(), 4) == 0;
    thread_ = std::thread([this, script, hello] {
      pollfd p{listener_.get(), POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1) return;
      platform::UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (hello) platform::sendPacket(fd.get(), &*hello, sizeof *hello);
      if (script) script(fd.get());
    });
  }
  ~FakeDriver() {
    if (thread_.joinable()) thread_.join();
    ::unlink(deviceSocket().c_str());
  }
  bool bound() const { return bound_; }

 private:
  platform::UniqueFd listener_;
  bool bound_ = false;
  std::thread thread_;
};

inline wire::Hello hello(uint32_t status, uint32_t version = wire::kVersion) {
  auto m = wire::make<wire::Hello>(wire::kHello, 0);
  m.version = version;
  m.status = status;
  return m;
}

}  // namespace drivertest
