// IcmpRedirector: the delay scheduler of redirected pings. Each redirected
// echo request is queued with the delay drawn for it; a thread of its own
// sleeps until the earliest one falls due (or a new one comes), turns every
// request whose delay has passed into its echo reply and hands the reply to
// OnEchoReply, in arrival order. Times are kept in microseconds, so a reply
// is late only by the system's wake-up latency, not by a polling step or
// the rounding of a millisecond clock.
//
// The engine derives from it and answers OnEchoReply; whether a synthesized
// reply reaches the application is the engine's decision (the node's reply
// may have come first).
#pragma once

#include <atomic>
#include <condition_variable>
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
  // Microseconds of a monotonic clock.
  using Clock = uint64_t (*)();

  // `clock` stamps and ages the queued echoes: a steady clock unless a test
  // gives its own (the thread then still waits in real time).
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

  // One pass of the scheduler at time `nowUs`: every queued echo whose delay
  // has passed is turned into its reply and handed to OnEchoReply (under the
  // queue lock) and leaves the queue; the others stay. The thread calls it
  // when it wakes; tests call it with the times they choose.
  void DeliverDue(uint64_t nowUs);

  // The steady clock the scheduler uses by default (microseconds).
  static uint64_t SteadyMicroseconds();

 protected:
  // A synthesized echo reply: an IPv4 packet of `length` bytes, valid only
  // during the call. Runs on the scheduler's thread with the queue lock held:
  // it must not call Enqueue.
  virtual void OnEchoReply(uint8_t* packet, size_t length) = 0;

 private:
  struct QueuedEcho {
    uint64_t dueAt = 0;  // microseconds of the clock
    uint16_t length = 0;
    uint8_t packet[kIcmpPacketRoom] = {};
  };

  void run();
  void deliverDueLocked(uint64_t nowUs);

  Clock clock_;
  std::mutex startStopLock_;
  std::atomic<uint8_t> running_{0};
  std::thread worker_;
  mutable std::mutex queueLock_;
  // Wakes the thread for a new echo and for Stop.
  std::condition_variable queueChanged_;
  std::list<std::unique_ptr<QueuedEcho>> queue_;
};

}  // namespace udp
