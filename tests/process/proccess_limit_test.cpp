// The per-name instance limit, driven through a process list that the test
// controls.
#include "process/proccess_limit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "support/test_support.h"

namespace {

using platform::ProcessListEntry;

// The processes "running" on the test machine, by id.
class FakeProcesses {
 public:
  void run(uint32_t id, std::u16string name) {
    std::lock_guard<std::mutex> g(lock_);
    running_[id] = std::move(name);
  }
  void end(uint32_t id) {
    std::lock_guard<std::mutex> g(lock_);
    running_.erase(id);
  }
  process::SnapshotSource source() {
    return [this](std::vector<ProcessListEntry>& out) {
      if (failSnapshots) return false;
      std::lock_guard<std::mutex> g(lock_);
      out.clear();
      for (const auto& [id, name] : running_) out.push_back({id, name});
      return true;
    };
  }
  std::atomic<bool> failSnapshots{false};

 private:
  std::mutex lock_;
  std::map<uint32_t, std::u16string> running_;
};

class ProccessLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (uint32_t id : {11u, 12u, 13u}) machine.run(id, u"game.exe");
  }
  FakeProcesses machine;
  process::ProccessLimit limit{machine.source()};
};

TEST_F(ProccessLimitTest, ThirdInstanceWaitsForAFreeSlotAndOtherNamesDoNot) {
  limit.Start({u"game.exe", u"launcher.exe"}, 2);
  ASSERT_TRUE(limit.running());
  EXPECT_TRUE(limit.Admit(11, u"game.exe"));
  EXPECT_TRUE(limit.Admit(12, u"game.exe"));
  EXPECT_FALSE(limit.Admit(13, u"game.exe"));
  EXPECT_TRUE(limit.Admit(11, u"game.exe"));  // admitted ones stay admitted
  limit.Refresh();
  EXPECT_FALSE(limit.Admit(13, u"game.exe"));  // all three still run

  machine.end(12);
  limit.Refresh();
  EXPECT_TRUE(limit.Admit(13, u"game.exe"));
  EXPECT_FALSE(limit.Admit(14, u"game.exe"));
  EXPECT_EQ(limit.AdmittedCount(u"game.exe"), 2u);
  // Each name has its own slots; names not configured have no limit.
  EXPECT_TRUE(limit.Admit(20, u"launcher.exe"));
  for (uint32_t id = 100; id < 110; ++id) EXPECT_TRUE(limit.Admit(id, u"browser.exe")) << id;

  // The worker refreshes once a second: a slot freed by an ending process is
  // taken on one of the next connections.
  machine.end(11);
  EXPECT_TRUE(lumotest::waitFor([&] { return limit.Admit(14, u"game.exe"); }));

  // A failed snapshot cannot tell who still runs: every slot is freed.
  machine.failSnapshots = true;
  limit.Refresh();
  EXPECT_EQ(limit.AdmittedCount(u"game.exe"), 0u);
  EXPECT_EQ(limit.AdmittedCount(u"launcher.exe"), 0u);
  EXPECT_TRUE(limit.Admit(15, u"game.exe"));
}

TEST_F(ProccessLimitTest, NamesIgnoreLetterCaseAndAReusedProcessIdIsStale) {
  limit.Start({u"Game.EXE", u"GAME.exe"}, 1);
  EXPECT_TRUE(limit.Admit(11, u"GAME.EXE"));
  EXPECT_FALSE(limit.Admit(12, u"game.exe"));
  machine.run(11, u"GaMe.ExE");
  limit.Refresh();
  EXPECT_EQ(limit.AdmittedCount(u"game.exe"), 1u) << "same program, other spelling";
  machine.run(11, u"notepad.exe");  // 11 ended and its id went to another program
  limit.Refresh();
  EXPECT_EQ(limit.AdmittedCount(u"game.exe"), 0u);
  EXPECT_TRUE(limit.Admit(12, u"game.exe"));
}

TEST_F(ProccessLimitTest, LimitZeroAndStopAdmitAllAndRestartForgets) {
  limit.Start({u"game.exe"}, 0);
  EXPECT_FALSE(limit.running());
  for (uint32_t id = 11; id < 20; ++id) EXPECT_TRUE(limit.Admit(id, u"game.exe"));

  limit.Start({u"game.exe"}, 1);
  EXPECT_TRUE(limit.Admit(11, u"game.exe"));
  limit.Start({u"other.exe"}, 5);  // running: changes nothing
  EXPECT_FALSE(limit.Admit(12, u"game.exe"));
  limit.Stop();
  EXPECT_FALSE(limit.running());
  EXPECT_TRUE(limit.Admit(12, u"game.exe"));
  limit.Start({u"game.exe"}, 1);
  EXPECT_TRUE(limit.Admit(12, u"game.exe"));
  EXPECT_FALSE(limit.Admit(11, u"game.exe"));
}

TEST_F(ProccessLimitTest, ConcurrentAdmissionsNeverExceedTheLimit) {
  limit.Start({u"game.exe"}, 3);
  std::atomic<int> admitted{0};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (uint32_t i = 0; i < 50; ++i)
        if (limit.Admit(1000 + t * 50 + i, u"game.exe")) ++admitted;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(admitted.load(), 3);
  EXPECT_EQ(limit.AdmittedCount(u"game.exe"), 3u);
}

}  // namespace
