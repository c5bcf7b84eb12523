// IcmpRedirector: the delay scheduler of redirected pings. Each redirected
// echo request is queued with the delay drawn for it; a thread of its own
// wakes every millisecond, turns every request whose delay has passed into
// its echo reply and hands the reply to OnEchoReply, in arrival order.
//
// The engine derives from it and answers OnEchoReply; whether a synthesized
// reply reaches the application is the engine's decision (the node's reply
// may have come first).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "udp/icmp_echo.h"

namespace udp {

class IcmpRedirector {
 public:
  // Milliseconds of a clock that may wrap (differences are read signed).
  using Clock = uint32_t (*)();

  // `clock` stamps and ages the queued echoes: the platform's millisecond
  // tick unless a test gives its own.
  explicit IcmpRedirector(Clock clock = nullptr);
  // Stops the scheduler. A derived class whose OnEchoReply uses its own
  // members must call Stop() in its own destructor.
  virtual ~IcmpRedirector();
  IcmpRedirector(const IcmpRedirector&) = delete;
  IcmpRedirector& operator=(const IcmpRedirector&) = delete;

  // Answers for Enqueue.
  static constexpr int kRefused = 0;         // not an echo request this path takes
  static constexpr int kNothingToQueue = 1;  // delay 0: nothing scheduled
  static constexpr int kQueued = 2;

  // Queues a copy of the echo request `packet` (`length` bytes) to be
  // answered `delayMs` from now. kNothingToQueue for a delay of 0; kRefused
  // for a delay above 1000 ms, a packet that fails IsEchoRequest, one longer
  // than the 512 bytes a queued copy holds, or when no room can be had.
  // Waits for the queue lock, which the scheduler holds while it delivers.
  // Any thread.
  int Enqueue(const uint8_t* packet, size_t length, uint32_t delayMs);

  // Starts the scheduler thread; true when it runs (also when it already
  // did). Start and Stop are serialised; any thread but the scheduler's.
  bool Start();
  // Clears the running flag and joins the thread: no OnEchoReply runs after
  // it returns. Queued echoes stay queued. Not from OnEchoReply.
  void Stop();
  bool Running() const;

  // The echoes waiting for their time.
  size_t QueuedCount() const;

  // One pass of the scheduler at time `now`: every queued echo whose delay
  // has passed is turned into its reply and handed to OnEchoReply (under the
  // queue lock) and leaves the queue; the others stay. The thread calls it
  // every millisecond; tests call it with the times they choose.
  void DeliverDue(uint32_t now);

 protected:
  // A synthesized echo reply: an IPv4 packet of `length` bytes, valid only
  // during the call. Runs on the scheduler's thread with the queue lock held:
  // it must not call Enqueue.
  virtual void OnEchoReply(uint8_t* packet, size_t length) = 0;

 private:
  struct QueuedEcho {
    uint32_t enqueuedAt = 0;
    uint32_t delayMs = 0;
    uint16_t length = 0;
    uint8_t packet[kIcmpPacketRoom] = {};
  };

  void run();

  Clock clock_;
  std::mutex startStopLock_;
  std::atomic<uint8_t> running_{0};
  std::thread worker_;
  mutable std::mutex queueLock_;
  std::list<std::unique_ptr<QueuedEcho>> queue_;
};

}  // namespace udp
