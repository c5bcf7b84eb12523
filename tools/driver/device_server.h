// The driver's control device on Linux: a Unix-domain SOCK_SEQPACKET socket on
// which lumo-driver serves the simulated driver to the driver library of one
// engine at a time, in the messages of platform/posix/device_wire.h.
//
// The device is opened unshared: while one library is connected, another is
// told so (Hello "busy") and closed. Each library gets a platform::Device of
// the SimDriver; its requests are carried out on it: controls at once, reads
// and writes started and answered when their DeviceIo completes (a thread of
// the server waits on their events), cancels passed on so that a read the
// library gives up does not take a batch with it. The buffer exchange's answer
// carries the two SharedBuffers' memfds. When the library disconnects or
// breaks the protocol, what it left running is cancelled, the device is
// closed and the next library can come.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/device.h"
#include "platform/event.h"
#include "platform/posix/device_wire.h"
#include "platform/posix/unique_fd.h"
#include "shared_buffers.h"
#include "sim_driver.h"

namespace driver {

class DeviceServer {
 public:
  // Receives one log line (no line end); called on the server's threads.
  using Log = std::function<void(const std::string& line)>;

  // Serves `driver`, whose Config gave it `buffers`, on `socketPath`. Both
  // must outlive the server. `log` defaults to standard error.
  DeviceServer(simdrv::SimDriver& driver, const SharedBuffers& buffers, std::string socketPath,
               Log log = nullptr);
  // Stops (see stop()).
  ~DeviceServer();
  DeviceServer(const DeviceServer&) = delete;
  DeviceServer& operator=(const DeviceServer&) = delete;

  // Binds the socket (its path must be free: a stale one is the caller's to
  // remove), listens and starts serving. False with *error set otherwise.
  // Once only.
  bool start(std::string* error);
  // Drops the connected library (its running operations cancelled, the device
  // closed), stops serving and removes the socket file. Idempotent; not from
  // the log callback.
  void stop();

  const std::string& socketPath() const { return socketPath_; }
  // Whether a library is connected now (for tests and logs).
  bool libraryConnected() const { return connected_.load(); }

 private:
  // One read or write the library started and the device has not finished.
  struct Op {
    uint64_t id = 0;
    uint32_t kind = 0;
    platform::DeviceIo io;
    uint8_t data[8] = {};
    bool cancelled = false;
  };

  void serveLoop();
  void completionLoop();
  void acceptLibrary();
  // Carries out one packet from the library; the fault when it is not the
  // protocol (the library is then dropped).
  const char* handleRequest(const platform::wire::Header& h, const uint8_t* packet);
  const char* startTransfer(uint64_t id, uint32_t kind, const uint8_t* bytes, uint32_t size);
  void answerControl(uint64_t id, uint32_t code, const uint8_t* in, uint32_t inSize, uint32_t outCapacity);
  void answerExchange(uint64_t id, uint32_t outCapacity);
  void dropLibrary(const std::string& why);
  bool send(const void* data, size_t n, const int* fds = nullptr, int fdCount = 0);

  simdrv::SimDriver& driver_;
  const SharedBuffers& buffers_;
  const std::string socketPath_;
  const Log log_;

  platform::UniqueFd listener_;
  platform::UniqueFd wake_;  // eventfd: stop() wakes the serving thread
  uint64_t socketInode_ = 0;
  std::thread server_;
  std::thread completer_;
  std::atomic<bool> stopping_{false};
  bool started_ = false;

  // The connected library: its socket (sends under sendLock_) and device.
  std::mutex sendLock_;
  platform::UniqueFd library_;
  std::unique_ptr<platform::Device> device_;
  std::atomic<bool> connected_{false};

  // Running reads and writes, by the library's id. Only the completion
  // thread removes them.
  std::mutex opsLock_;
  std::condition_variable opsChanged_;
  std::map<uint64_t, std::unique_ptr<Op>> ops_;
  platform::Event opsWake_{platform::Event::Reset::Automatic};
  bool completerStop_ = false;  // under opsLock_
};

}  // namespace driver
