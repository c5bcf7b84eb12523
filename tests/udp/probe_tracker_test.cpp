// The probe tracker's compact records against the plain 64K-entry table they
// replace, on random measurement sequences (wrapped counters included).
#include "udp/probe_tracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace {

uint32_t fakeNow = 0;
uint32_t fakeClock() { return fakeNow; }

std::vector<uint8_t> start() { return {13, 0}; }
std::vector<uint8_t> ready() { return {12, 0}; }
std::vector<uint8_t> probe(uint16_t seq) {
  std::vector<uint8_t> d(18, 0);
  d[0] = 40;
  d[9] = static_cast<uint8_t>(seq);
  d[10] = static_cast<uint8_t>(seq >> 8);
  return d;
}
std::vector<uint8_t> reply(uint16_t seq, bool last, uint8_t mark = 1) {
  std::vector<uint8_t> d(15, 0);
  d[0] = 41;
  d[1] = static_cast<uint8_t>(seq);
  d[2] = static_cast<uint8_t>(seq >> 8);
  d[13] = mark;
  d[14] = last ? 2 : 0;
  return d;
}

// The tracker as first built: one 65536-entry time table per address, a
// record for every address that sent any of the four types.
class TableTracker {
 public:
  bool observe(uint32_t address, const uint8_t* data, size_t length) {
    if (length <= 1) return false;
    const uint8_t type = data[0];
    if (type != 13 && type != 12 && type != 40 && type != 41) return false;
    auto& slot = records_[address];
    if (!slot) slot = std::make_unique<Record>();
    Record& r = *slot;
    if (r.state == 4) return false;
    if (type == 13 && r.state == 0) r.state = 1;
    if (type == 12 && r.state == 1) r.state = 2;
    if (type == 40) {
      if (r.state == 2) r.state = 3, r.probeCount = 0;
      if (r.state == 3 && length >= 18) {
        const uint16_t seq = static_cast<uint16_t>(data[9] | (data[10] << 8));
        if (r.probeCount < 10) r.probeSeq[r.probeCount] = seq;
        r.probeTime[seq] = fakeNow;
        ++r.probeCount;
      }
    }
    if (type == 41 && r.state == 3 && length >= 15) {
      const uint16_t seq = static_cast<uint16_t>(data[1] | (data[2] << 8));
      r.probeTime[seq] = fakeNow - r.probeTime[seq];
      ++r.replyCount;
      if (data[14] == 2) {
        r.state = 4;
        if (r.probeCount >= 1 && r.probeCount <= 10 && r.replyCount != 0) {
          uint64_t sum = 0;
          for (int i = 0; i < r.probeCount; ++i) sum += r.probeTime[r.probeSeq[i]];
          const uint64_t average = sum / r.replyCount;
          return average == 0 || average >= 155 || static_cast<uint32_t>(r.probeCount - r.replyCount) >= 2;
        }
      }
    }
    return false;
  }

 private:
  struct Record {
    uint32_t state = 0;
    uint8_t probeCount = 0, replyCount = 0;
    uint16_t probeSeq[10] = {};
    uint32_t probeTime[65536] = {};
  };
  std::map<uint32_t, std::unique_ptr<Record>> records_;
};

bool feed(udp::ProbeTracker& t, const std::vector<uint8_t>& d, uint32_t address = 7) {
  return t.observe(address, d.data(), d.size());
}

}  // namespace

TEST(ProbeTracker, SwitchedOffOrOutOfOrderMessagesMeasureNothing) {
  udp::ProbeTracker t(&fakeClock);
  EXPECT_FALSE(feed(t, start()));
  EXPECT_EQ(t.recordCount(), 0u) << "off: nothing is recorded";
  t.setEnabled(true);
  // Probes and replies before the start and ready messages are no measurement.
  EXPECT_FALSE(feed(t, probe(1)));
  EXPECT_FALSE(feed(t, reply(1, true)));
  EXPECT_EQ(t.recordCount(), 0u);
  for (uint32_t address = 1; address <= 1000; ++address) feed(t, reply(1, true), address);
  EXPECT_EQ(t.recordCount(), 0u) << "addresses that never start a measurement hold no record";
}

TEST(ProbeTracker, CompactRecordsGiveTheSameVerdictsAsTheFullTable) {
  std::mt19937 random(12345);
  int marks = 0, clean = 0;
  for (int round = 0; round < 300; ++round) {
    udp::ProbeTracker compact(&fakeClock);
    compact.setEnabled(true);
    TableTracker table;
    fakeNow = random();
    // Per address a measurement as a game runs it, with its faults: a few
    // probes whose sequence numbers repeat, replies (some missing, some for
    // no probe, some repeated), the last reply anywhere, and stray messages.
    // Every fourth round runs long, so the 8-bit counters wrap first.
    const bool longRound = round % 4 == 0;
    std::vector<std::vector<std::vector<uint8_t>>> script(3);
    for (auto& messages : script) {
      messages = {start(), ready()};
      const int probes =
          longRound ? 300 + static_cast<int>(random() % 300) : 1 + static_cast<int>(random() % 12);
      std::vector<uint16_t> seqs;
      for (int i = 0; i < probes; ++i) {
        seqs.push_back(static_cast<uint16_t>(random() % 8));
        messages.push_back(probe(seqs.back()));
      }
      for (uint16_t seq : seqs) {
        const uint32_t roll = random() % 10;
        if (roll < 7) messages.push_back(reply(seq, false));
        if (roll == 7) messages.push_back(reply(static_cast<uint16_t>(random() % 12), false));
        if (roll == 8)
          messages.push_back(std::vector<uint8_t>(1 + random() % 20, static_cast<uint8_t>(random())));
      }
      std::shuffle(messages.begin() + 2, messages.end(), random);
      messages.push_back(reply(seqs[random() % seqs.size()], true));
    }
    // Interleave the three addresses' messages, each in its own order.
    std::vector<size_t> next(3, 0);
    for (;;) {
      std::vector<uint32_t> open;
      for (uint32_t a = 0; a < 3; ++a)
        if (next[a] < script[a].size()) open.push_back(a);
      if (open.empty()) break;
      const uint32_t address = open[random() % open.size()];
      const std::vector<uint8_t>& d = script[address][next[address]++];
      fakeNow += random() % 40;
      const bool verdict = compact.observe(address, d.data(), d.size());
      ASSERT_EQ(verdict, table.observe(address, d.data(), d.size())) << "round " << round;
      marks += verdict;
      clean += !verdict && d.size() == 15 && d[0] == 41 && d[14] == 2;
    }
  }
  EXPECT_GT(marks, 50) << "the sequences must reach verdicts both ways";
  EXPECT_GT(clean, 50);
}
