#include "udp/probe_tracker.h"

#include "platform/time.h"

namespace udp {
namespace {

constexpr uint8_t kTypeStart = 13;
constexpr uint8_t kTypeReady = 12;
constexpr uint8_t kTypeProbe = 40;
constexpr uint8_t kTypeReply = 41;

enum State : uint8_t { kIdle = 0, kStarted = 1, kReady = 2, kMeasuring = 3, kDone = 4 };

constexpr size_t kMinProbeLength = 18;
constexpr size_t kProbeSeqOffset = 9;
constexpr size_t kMinReplyLength = 15;
constexpr size_t kReplySeqOffset = 1;
constexpr size_t kLastReplyOffset = 14;
constexpr uint8_t kLastReply = 2;
// A measurement is bad when its average round trip reaches this, in ms.
constexpr uint64_t kSlowAverageMs = 155;

uint16_t readLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

ProbeTracker::ProbeTracker(Clock clock) : clock_(clock != nullptr ? clock : &platform::tickCount) {}

size_t ProbeTracker::recordCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return records_.size();
}

bool ProbeTracker::observe(uint32_t addressNet, const uint8_t* data, size_t length) {
  if (!enabled() || data == nullptr || length <= 1) return false;
  const uint8_t type = data[0];
  if (type != kTypeStart && type != kTypeReady && type != kTypeProbe && type != kTypeReply) return false;

  std::lock_guard<std::mutex> guard(lock_);
  auto it = records_.find(addressNet);
  if (it == records_.end()) {
    // A record that stays idle is the same as none: only a start makes one.
    if (type != kTypeStart) return false;
    it = records_.emplace(addressNet, Record{}).first;
  }
  Record& r = it->second;
  if (r.state == kDone) return false;

  switch (type) {
    case kTypeStart:
      if (r.state == kIdle) r.state = kStarted;
      return false;
    case kTypeReady:
      if (r.state == kStarted) r.state = kReady;
      return false;
    case kTypeProbe: {
      if (r.state == kReady) {
        r.state = kMeasuring;
        r.probeCount = 0;
      }
      if (r.state != kMeasuring || length < kMinProbeLength) return false;
      const uint16_t seq = readLe16(data + kProbeSeqOffset);
      if (r.probeCount < kStoredProbes) r.probeSeq[r.probeCount] = seq;
      const uint32_t now = clock_();
      for (size_t i = 0; i < kStoredProbes; ++i)
        if (r.probeSeq[i] == seq) r.seqTime[i] = now;
      ++r.probeCount;
      return false;
    }
    case kTypeReply: {
      if (r.state != kMeasuring || length < kMinReplyLength) return false;
      const uint16_t seq = readLe16(data + kReplySeqOffset);
      const uint32_t now = clock_();
      for (size_t i = 0; i < kStoredProbes; ++i)
        if (r.probeSeq[i] == seq) r.seqTime[i] = now - r.seqTime[i];
      ++r.replyCount;
      if (data[kLastReplyOffset] != kLastReply) return false;
      r.state = kDone;
      return endMeasurement(r);
    }
    default:
      return false;
  }
}

// The verdict of the last reply: true when the path is bad.
bool ProbeTracker::endMeasurement(Record& r) const {
  if (r.probeCount < 1 || r.probeCount > kStoredProbes) return false;
  // Past 255 replies the 8-bit count has wrapped: there is no divisor, and
  // the measurement says nothing either way.
  if (r.replyCount == 0) return false;
  uint64_t sum = 0;
  // A probe without a reply still holds its send time, which makes the
  // average large: that is how a lost probe counts against the path.
  for (size_t i = 0; i < r.probeCount; ++i)
    if (r.seqTime[i] != 0) sum += r.seqTime[i];
  const uint64_t average = sum / r.replyCount;
  const uint32_t missing = static_cast<uint32_t>(r.probeCount - r.replyCount);
  return average == 0 || average >= kSlowAverageMs || missing >= 2;
}

}  // namespace udp
