// The service monitor: callbacks on a watched service's process changes.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "platform/services.h"
#include "service/service_monitor.h"
#include "support/test_support.h"

namespace {

struct Call {
  bool started;
  std::u16string name;
  uint32_t processId;
  bool operator==(const Call&) const = default;
};

// Process ids that the test sets, as the service manager would report them,
// and the monitor's calls.
class FakeServices : public service::IServiceMonitor {
 public:
  void set(const std::u16string& name, uint32_t id) {
    std::lock_guard<std::mutex> g(lock);
    ids[name] = id;
  }
  service::ServiceMonitor::ProcessIdQuery query() {
    return [this](const std::u16string& name) {
      ++queries;
      std::lock_guard<std::mutex> g(lock);
      auto it = ids.find(name);
      return it == ids.end() ? 0u : it->second;
    };
  }
  void onServiceStarted(const std::u16string& name, uint32_t pid) override { add({true, name, pid}); }
  void onServiceStopped(const std::u16string& name, uint32_t pid) override { add({false, name, pid}); }
  std::vector<Call> calls() {
    std::lock_guard<std::mutex> g(lock);
    return log;
  }
  std::atomic<int> queries{0};

 private:
  void add(Call c) {
    std::lock_guard<std::mutex> g(lock);
    log.push_back(std::move(c));
  }
  std::mutex lock;
  std::map<std::u16string, uint32_t> ids;
  std::vector<Call> log;
};

TEST(ServiceMonitor, ReportsStartChangeAndStop) {
  FakeServices fake;
  service::ServiceMonitor monitor(fake.query(), 60000);  // polls driven by the test
  ASSERT_TRUE(monitor.start(&fake, {u"iphlpsvc", u"other"}));
  // The thread's own first poll is over before the test's polls begin.
  ASSERT_TRUE(lumotest::waitFor([&] { return fake.queries.load() >= 2; }));

  struct Step {
    uint32_t id;
    std::vector<Call> adds;
  };
  const Step steps[] = {
      {0, {}},
      {100, {{true, u"iphlpsvc", 100}}},
      {100, {}},
      {200, {{false, u"iphlpsvc", 100}, {true, u"iphlpsvc", 200}}},
      {0, {{false, u"iphlpsvc", 200}}},
  };
  std::vector<Call> expected = fake.calls();  // the thread's first poll saw nothing
  EXPECT_TRUE(expected.empty());
  for (const Step& step : steps) {
    fake.set(u"iphlpsvc", step.id);
    monitor.poll();
    expected.insert(expected.end(), step.adds.begin(), step.adds.end());
    EXPECT_EQ(fake.calls(), expected) << "id " << step.id;
    EXPECT_EQ(monitor.isMonitoredProcess(200), step.id == 200);
  }
  EXPECT_FALSE(monitor.isMonitoredProcess(0));
  monitor.stop();
}

TEST(ServiceMonitor, ThreadPollsUntilStopped) {
  FakeServices fake;
  service::ServiceMonitor monitor(fake.query(), 5);
  EXPECT_FALSE(monitor.start(nullptr, {u"iphlpsvc"}));
  EXPECT_FALSE(monitor.start(&fake, {}));
  EXPECT_FALSE(monitor.running());

  ASSERT_TRUE(monitor.start(&fake, {u"iphlpsvc"}));
  EXPECT_TRUE(monitor.start(&fake, {u"other"}));  // already running: unchanged
  fake.set(u"iphlpsvc", 1234);
  ASSERT_TRUE(lumotest::waitFor([&] { return monitor.isMonitoredProcess(1234); }));
  fake.set(u"other", 77);  // not watched
  monitor.stop();
  EXPECT_FALSE(monitor.running());
  EXPECT_FALSE(monitor.isMonitoredProcess(1234));
  EXPECT_EQ(fake.calls(), (std::vector<Call>{{true, u"iphlpsvc", 1234}}));
}

#ifndef _WIN32
// Linux only: the test needs a running service whose process id it chooses,
// which the in-memory manager offers and Windows' real one does not.
TEST(ServiceMonitor, EngineMonitorOverTheSystemManager) {
  auto& manager = static_cast<platform::MemoryServiceManager&>(platform::systemServiceManager());
  ASSERT_TRUE(platform::attachSimulatedService(u"LumoMonitorTest", nullptr, nullptr));
  FakeServices fake;
  ASSERT_TRUE(service::startServiceMonitor(&fake, {u"LumoMonitorTest"}));
  manager.setState(u"LumoMonitorTest", platform::ServiceState::kRunning, 4242);
  EXPECT_TRUE(lumotest::waitFor([] { return service::engineServiceMonitor().isMonitoredProcess(4242); }));
  service::stopServiceMonitor();
  EXPECT_FALSE(service::engineServiceMonitor().isMonitoredProcess(4242));
  EXPECT_EQ(fake.calls(), (std::vector<Call>{{true, u"LumoMonitorTest", 4242}}));
  manager.remove(u"LumoMonitorTest");
}
#endif

}  // namespace
