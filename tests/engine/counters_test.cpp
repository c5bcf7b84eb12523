#include <gtest/gtest.h>

#include "collector/data_collector.h"
#include "recording_driver.h"
#include "engine/zu_engine.h"
#include "platform/notify.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

using namespace collector;

namespace {

template <typename Record>
Record* record(uint32_t family, uint8_t proxied, uint32_t count) {
  auto* e = acquire<Record>();
  e->type = Record::kType;
  e->family = family;
  if constexpr (requires { e->proxied; }) e->proxied = proxied;
  e->byteCount = count;
  return e;
}

}  // namespace

TEST(Counters, HookCountsOnlyProxiedFlowBytesOfKnownFamilies) {
  RecordingDriver driver;
  engine::ZuEngine e(driver);
  e.startCollector();
  e.post(record<DCTcpProxyFlowUpEvent>(2, 1, 1000));
  e.post(record<DCTcpProxyFlowUpEvent>(2, 0, 50));    // direct fallback: not counted
  e.post(record<DCTcpProxyFlowDownEvent>(23, 1, 300));
  e.post(record<DCUdpProxyFlowUpEvent>(2, 0, 7));      // UDP proxy flows always count
  e.post(record<DCUdpProxyFlowDownEvent>(2, 0, 9));
  e.post(record<DCTcpProxyFlowUpEvent>(0, 1, 5000));  // no family: ignored
  auto* other = acquire<DCTcpClosedEvent>();
  other->type = kTcpClosed;
  other->family = 2;
  e.post(other);
  e.stopCollector();  // drains what the consumer has not taken
  EXPECT_EQ(e.takeSentBytes(), 1007u);
  EXPECT_EQ(e.takeReceivedBytes(), 309u);
  EXPECT_EQ(e.takeSentBytes(), 0u) << "reading clears the counter";
}

#ifndef _WIN32
TEST(Counters, TicksToAPipeWhoseReaderHasGoneDoNotEndTheClient) {
  RecordingDriver driver;
  engine::ZuEngine e(driver);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);  // the client stopped reading; SIGPIPE keeps its default action
  e.Configure(engine::PROXY_CONFIG{}, engine::GAME_CONFIG{}, static_cast<uintptr_t>(fds[1]));
  for (int i = 0; i < 3; ++i) e.notificationTick();
  EXPECT_FALSE(platform::postNotification(static_cast<uintptr_t>(fds[1]), engine::kCountersMessage, 1, 2));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "no SIGPIPE left waiting for the client either";
  close(fds[1]);
}
#endif
