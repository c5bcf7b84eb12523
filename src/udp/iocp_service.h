// The completion service: one completion port and the one worker thread that
// takes every completion off it and hands it to a handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/completion.h"

// Receives the completions of an IOCPService, on its worker thread, one at a
// time.
class IOCPHandler {
 public:
  virtual ~IOCPHandler() = default;
  // `key` is the socket's key (or the posted one), `bytesTransferred` the
  // bytes of the operation, `overlapped` its record (null for a bare post or a
  // port failure), `error` 0 or the system's error number of a failed
  // operation.
  virtual void OnCompletion(uintptr_t key, uint32_t bytesTransferred, platform::Overlapped* overlapped,
                            uint32_t error) = 0;
};

class IOCPService {
 public:
  // The key of the completion that tells a worker to leave.
  static constexpr uintptr_t kQuitKey = 0xFFFFFFFD;
  // How long a worker waits before it looks at the running flag again.
  static constexpr uint32_t kWaitSliceMs = 500;

  IOCPService() = default;
  ~IOCPService();  // stops the service
  IOCPService(const IOCPService&) = delete;
  IOCPService& operator=(const IOCPService&) = delete;

  // Opens the port and starts the worker, which calls `handler` for every
  // completion until Stop. True at once when already running; false when the
  // port cannot be opened. Not concurrent with Stop; never from the worker.
  bool Start(IOCPHandler* handler);

  // Clears the running flag, posts one quit completion per worker, joins
  // them and closes the port. Completions still queued are dropped, so their
  // owner takes its records back before (see UDPProxy::Stop). Nothing when
  // not running. Never from the worker itself.
  void Stop();

  // Queues a completion of no bytes with `key` and `overlapped`. False when
  // not running or the post fails. Any thread.
  bool Post(uintptr_t key, platform::Overlapped* overlapped);

  bool running() const { return running_.load(std::memory_order_acquire); }

  // The port, for associating sockets and starting operations while running.
  platform::CompletionPort& port() { return port_; }

 private:
  void Work();

  platform::CompletionPort port_;
  IOCPHandler* handler_ = nullptr;
  std::vector<std::thread> workers_;  // exactly one while running
  std::atomic<bool> running_{false};
  std::mutex lifecycle_;  // Start and Stop one at a time
};
