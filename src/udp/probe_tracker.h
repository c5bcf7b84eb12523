// The UDP probe tracker: a game-specific watch over the datagrams of one game
// that measures the round trips of its latency probes and, when a measurement
// ends badly, clears the "good path" byte of the measurement's last reply.
//
// Per remote IPv4 address the game's messages move a record through states:
//   0 --type 13--> 1 --type 12--> 2 --type 40 (probe)--> 3 --type 41 with byte 14 = 2--> 4 (final)
// In state 3 each probe (type 40, at least 18 bytes) stores the send time of
// its sequence number (bytes 9-10, little-endian) and each reply (type 41, at
// least 15 bytes) turns the time of its sequence number (bytes 1-2) into a
// round-trip time. The last reply (byte 14 = 2) averages the times of the
// first probes (at most 10) over the replies seen; an average of 0 or of 155
// ms or more, or two probes or more without a reply, sets its byte 13 to 0.
//
// Only the times of the (at most ten) sequence numbers that take part in the
// average are kept, so a record is a few dozen bytes whatever the game sends;
// addresses that never start a measurement (no type 13) get no record.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

namespace udp {

class ProbeTracker {
 public:
  // Milliseconds since an arbitrary start, wrapping at 32 bits.
  using Clock = uint32_t (*)();

  // `clock` defaults to the platform's tick count.
  explicit ProbeTracker(Clock clock = nullptr);

  // The switch: on for the games that probe this way, off at engine stop.
  // Records stay while the engine lives. Any thread.
  void setEnabled(bool on) { enabled_.store(on ? 1 : 0, std::memory_order_release); }
  bool enabled() const { return enabled_.load(std::memory_order_acquire) != 0; }

  // Looks at one datagram to or from `addressNet` (IPv4, network order).
  // Returns true when the caller must set byte 13 of the datagram to 0
  // before it goes on (the datagram then has at least 15 bytes). Nothing
  // happens while the switch is off. Any thread; one mutex.
  bool observe(uint32_t addressNet, const uint8_t* data, size_t length);

  // Number of addresses with a record (diagnostics and tests).
  size_t recordCount() const;

 private:
  static constexpr size_t kStoredProbes = 10;

  struct Record {
    uint8_t state = 0;
    uint8_t probeCount = 0;  // 8 bits: counts past 255 wrap, as the game's own counter does
    uint8_t replyCount = 0;
    uint16_t probeSeq[kStoredProbes] = {};
    // The time of probeSeq[i]'s sequence number: the probe's send time, then
    // its round-trip time once the reply is seen. Slots holding the same
    // sequence number always hold the same time.
    uint32_t seqTime[kStoredProbes] = {};
  };

  bool endMeasurement(Record& record) const;

  Clock clock_;
  std::atomic<uint8_t> enabled_{0};
  mutable std::mutex lock_;
  std::map<uint32_t, Record> records_;
};

}  // namespace udp
