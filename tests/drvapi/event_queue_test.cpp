// The library's own containers: the connection table, the event queue and
// the record pool.
#include "drvapi/event_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "drvapi/record_pool.h"

namespace {

using drvapi::ConnectionStates;

// Random adds, changes and removals against a std::map: the open-addressing
// table must agree on every look-up, including ids that collide in their low
// bits and removals that shift probe runs across the table's end.
TEST(ConnectionStates, AgreesWithAMapOverRandomAddsAndRemovals) {
  struct Case {
    uint64_t idSpace;  // ids drawn from [0, idSpace) times the stride
    uint64_t stride;
  };
  for (const Case c : {Case{40, 1}, Case{300, 1}, Case{64, uint64_t{1} << 32}, Case{500, 4096}}) {
    ConnectionStates table;
    std::map<uint64_t, uint32_t> reference;
    std::mt19937_64 random(c.idSpace);
    for (int step = 0; step < 20000; ++step) {
      const uint64_t id = (random() % c.idSpace) * c.stride;
      if (random() % 3 != 0) {
        ConnectionStates::State& s = table.findOrAdd(id);
        s.mask |= 1u << (step % 20);
        reference[id] |= 1u << (step % 20);
      } else if (ConnectionStates::State* s = table.find(id)) {
        table.erase(s);
        ASSERT_EQ(reference.erase(id), 1u) << "step " << step;
      } else {
        ASSERT_EQ(reference.count(id), 0u) << "step " << step;
      }
      ASSERT_EQ(table.size(), reference.size());
    }
    for (uint64_t i = 0; i < c.idSpace; ++i) {
      const uint64_t id = i * c.stride;
      const ConnectionStates::State* s = table.find(id);
      auto it = reference.find(id);
      ASSERT_EQ(s != nullptr, it != reference.end()) << id;
      if (s == nullptr) continue;
      EXPECT_EQ(s->mask, it->second);
    }
  }
}

// A job that records what it was handed, and counts the records ever made
// and the runs on a worker while a claimed job was out.
using Deliveries = std::map<std::pair<uint64_t, uint32_t>, int>;  // per (connection, code)
std::atomic<int> jobsMade{0};
std::mutex seenLock;
Deliveries seen;
std::atomic<bool> claimHeld{false};
std::atomic<int> ranWhileClaimed{0};

class RecordingJob final : public drvapi::QueuedJob {
 public:
  RecordingJob() { jobsMade.fetch_add(1); }
  void run() override {
    if (!inlined && claimHeld.load()) ranWhileClaimed.fetch_add(1);
    std::lock_guard<std::mutex> guard(seenLock);
    for (uint32_t code = 0; code < 32; ++code)
      if (mask & (1u << code)) ++seen[{id, code}];
  }
};

// Every pushed code reaches one job of its connection, and job records are
// reused: never more are made than workers run at once.
TEST(EventQueue, DeliversEveryCodeOnceAndReusesJobRecords) {
  constexpr int kThreads = 2;
  jobsMade = 0;
  seen.clear();
  drvapi::EventQueue<RecordingJob> queue;
  ASSERT_TRUE(queue.start(kThreads, nullptr));
  platform::Event never(platform::Event::Reset::Manual);
  Deliveries pushed;
  for (int round = 0; round < 300; ++round) {
    for (uint64_t id = 1; id <= 20; ++id) {
      const uint32_t code = (round + id) % 2 == 0 ? 8 : 9;  // UDP receive and send
      ++pushed[{id, code}];
      queue.push(code, id);
    }
    queue.drain(0, never);  // one delivery per push of this round
  }
  queue.stop();
  EXPECT_EQ(seen, pushed);
  EXPECT_LE(jobsMade.load(), kThreads);
  EXPECT_EQ(queue.load(), 0u);
}

// A job that a thread claimed holds its connection like a worker's job: what
// is pushed for the connection meanwhile waits for it and then runs once, a
// connection that waits or runs already is not claimed, and stop() returns
// only after the claimed job was handed back.
TEST(EventQueue, ClaimedJobHoldsItsConnectionUntilHandedBack) {
  seen.clear();
  ranWhileClaimed = 0;
  drvapi::EventQueue<RecordingJob> queue;
  ASSERT_TRUE(queue.start(2, nullptr));
  platform::Event never(platform::Event::Reset::Manual);

  drvapi::QueuedJob* job = queue.claimOrPush(12, 7);
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(job->mask, 1u << 12);
  claimHeld = true;
  queue.push(10, 7);  // waits for the claimed job
  // Held: queued instead (a wrong claim is handed back, so the test ends).
  if (drvapi::QueuedJob* wrong = queue.claimOrPush(13, 7)) {
    ADD_FAILURE() << "claimed a connection whose job is out";
    queue.finishClaimed(wrong);
  }
  EXPECT_EQ(queue.load(), 2u);
  job->run();
  claimHeld = false;
  queue.finishClaimed(job);
  queue.drain(0, never);
  {
    std::lock_guard<std::mutex> guard(seenLock);
    EXPECT_EQ(seen, (Deliveries{{{7, 10}, 1}, {{7, 12}, 1}, {{7, 13}, 1}}));
  }
  EXPECT_EQ(ranWhileClaimed.load(), 0);

  // A connection already waiting is not claimed either.
  queue.pause();
  queue.push(8, 9);
  if (drvapi::QueuedJob* wrong = queue.claimOrPush(12, 9)) {
    ADD_FAILURE() << "claimed a connection that waits";
    queue.finishClaimed(wrong);
  }
  queue.resume();
  queue.drain(0, never);

  job = queue.claimOrPush(12, 11);
  ASSERT_NE(job, nullptr);
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    queue.stop();
    stopped = true;
  });
  // stop() refuses new claims at once and waits for the one out.
  while (drvapi::QueuedJob* early = queue.claimOrPush(12, 12)) queue.finishClaimed(early);
  EXPECT_FALSE(stopped.load());
  queue.finishClaimed(job);
  stopper.join();
  EXPECT_TRUE(stopped.load());
}

// What the pool keeps is bounded, so a burst does not hold its memory for good.
TEST(RecordPool, KeepsABoundedNumberOfBlocksAndSizes) {
  drvapi::RecordPool pool;
  std::vector<void*> blocks;
  for (int i = 0; i < 150; ++i) blocks.push_back(pool.allocate(64));
  for (void* b : blocks) pool.release(b);
  for (size_t size = 16; size < 16 + 150 * 8; size += 8) pool.release(pool.allocate(size));
  EXPECT_LE(pool.keptBlocks(), drvapi::RecordPool::kMaxFreePerClass + drvapi::RecordPool::kMaxSizeClasses);
}

}  // namespace
