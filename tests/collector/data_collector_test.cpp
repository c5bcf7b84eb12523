#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "collector/data_collector.h"
#include "support/test_support.h"

using namespace collector;

namespace {

// Counts the records the hook sees, and the bytes of the TCP flow-up ones.
class CountingCollector : public DataCollectorEvent {
 public:
  void onCollectorEvent(const DCEvent& record) override {
    if (record.type == kTcpProxyFlowUp) bytes += static_cast<const DCTcpProxyFlowUpEvent&>(record).byteCount;
    ++seen;
  }
  std::atomic<uint64_t> bytes{0};
  std::atomic<int> seen{0};
};

// Holds the first admitted post until released, so that a stop can run while
// a post is between its admission and its queueing.
class HeldPostCollector : public CountingCollector {
 public:
  std::promise<void> admitted;
  std::promise<void> release;

 protected:
  void postAdmitted() override {
    if (held.exchange(true)) return;
    admitted.set_value();
    release.get_future().wait();
  }

 private:
  std::atomic<bool> held{false};
};

DCTcpProxyFlowUpEvent* flowUp(uint32_t count) {
  auto* e = acquire<DCTcpProxyFlowUpEvent>();
  e->type = DCTcpProxyFlowUpEvent::kType;
  e->family = 2;
  e->proxied = 1;
  e->byteCount = count;
  return e;
}

}  // namespace

TEST(DataCollector, PoolsStartWithTheirStockAndGrowToThePeakInUse) {
  // Type 15 is used by no other test in this program.
  const size_t stock = poolSize(kUdpProxyEnd);
  ASSERT_GT(stock, 0u);
  std::vector<DCEvent*> held;
  for (size_t i = 0; i <= stock; ++i) {
    DCEvent* e = acquireEvent(kUdpProxyEnd);
    ASSERT_NE(e, nullptr);
    e->type = kUdpProxyEnd;
    held.push_back(e);
  }
  EXPECT_EQ(poolSize(kUdpProxyEnd), 0u) << "the one past the stock was allocated, not taken from the pool";
  for (DCEvent* e : held) releaseEvent(e);
  EXPECT_EQ(poolSize(kUdpProxyEnd), stock + 1);
  EXPECT_EQ(acquireEvent(0), nullptr);
  EXPECT_EQ(acquireEvent(18), nullptr);
}

TEST(DataCollector, TextIsCutReleasedRecordsComeBackZeroedAndForeignTypesAreLeftAlone) {
  auto* e = acquire<DCTcpProxyBeginEvent>();
  e->type = kTcpProxyBegin;
  e->id = 77;
  e->message.assign(std::string(300, 'x'));
  const uint32_t length = e->message.length;  // packed: read through a copy
  EXPECT_EQ(length, 255u);
  EXPECT_EQ(std::strlen(e->message.text), 255u) << "cut to 255 bytes and terminated";
  releaseEvent(e);
  // Take every free record of the type: the one released must be zero again.
  std::vector<DCEvent*> all;
  bool sawDirty = false;
  while (poolSize(kTcpProxyBegin) > 0) {
    DCEvent* r = acquireEvent(kTcpProxyBegin);
    const auto* bytes = reinterpret_cast<const unsigned char*>(r);
    for (size_t i = 0; i < eventSize(kTcpProxyBegin); ++i) sawDirty |= bytes[i] != 0;
    r->type = kTcpProxyBegin;
    all.push_back(r);
  }
  EXPECT_FALSE(sawDirty);
  for (DCEvent* r : all) releaseEvent(r);

  DCEvent stray{};
  stray.type = 99;
  const size_t before = poolSize(kTcpClosed);
  releaseEvent(&stray);  // must not enter any pool (it is not a pool record)
  EXPECT_EQ(poolSize(kTcpClosed), before);
}

TEST(DataCollector, ConsumerHandsEveryRecordToTheHookAndStopDrains) {
  CountingCollector c;
  c.startCollector();
  c.startCollector();  // a second start keeps the one consumer
  ASSERT_TRUE(c.collecting());
  constexpr int kThreads = 4, kPerThread = 5000;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) c.post(flowUp(3));
    });
  for (auto& t : producers) t.join();
  c.stopCollector();
  EXPECT_FALSE(c.collecting());
  // Everything posted while collecting reached the hook, by the consumer or
  // by the drain on the stopping thread.
  EXPECT_EQ(c.seen.load(), kThreads * kPerThread);
  EXPECT_EQ(c.bytes.load(), 3ull * kThreads * kPerThread);
  // The burst grew the pool to at most the number in flight; all came back.
  EXPECT_GE(poolSize(kTcpProxyFlowUp), 100u);

  // Posted while stopped: straight back to its pool, never counted; a
  // restart collects again.
  const size_t before = poolSize(kTcpProxyFlowUp);
  c.post(flowUp(10));
  EXPECT_EQ(poolSize(kTcpProxyFlowUp), before);
  c.startCollector();
  c.post(flowUp(1));
  EXPECT_TRUE(lumotest::waitFor([&] { return c.seen.load() == kThreads * kPerThread + 1; }));
  c.stopCollector();
  EXPECT_EQ(c.seen.load(), kThreads * kPerThread + 1);
}

TEST(DataCollector, RecordPostedWhileStopRunsIsNeverLeftForTheNextStart) {
  HeldPostCollector c;
  c.startCollector();
  std::thread producer([&] { c.post(flowUp(5)); });
  c.admitted.get_future().wait();
  auto stopped = std::async(std::launch::async, [&] { c.stopCollector(); });
  // The stop must wait for the held post. Give a stop that does not wait the
  // time to finish first (it joins the consumer within its 10 ms nap).
  const bool stopFinishedFirst =
      stopped.wait_for(std::chrono::milliseconds(300)) == std::future_status::ready;
  c.release.set_value();
  producer.join();
  stopped.get();
  EXPECT_FALSE(stopFinishedFirst) << "the stop did not wait for a post in progress";
  EXPECT_EQ(c.seen.load(), 1) << "the record reached the hook before the stop returned";
  c.startCollector();
  c.stopCollector();
  EXPECT_EQ(c.seen.load(), 1) << "nothing is counted again after the next start";
}

TEST(DataCollector, PoolsAreFreedOnlyWhenNoRecordIsInUse) {
  DCEvent* held = acquireEvent(kTcpForward);
  ASSERT_NE(held, nullptr);
  held->type = kTcpForward;
  EXPECT_GE(recordsInUseCount(), 1);
  EXPECT_FALSE(releasePools()) << "a record still in use keeps every pool";
  releaseEvent(held);
  ASSERT_EQ(recordsInUseCount(), 0);
  EXPECT_TRUE(releasePools());
  EXPECT_GT(poolSize(kUdpFlowUp), 0u) << "the next use fills new pools";
}
