// Process names, the selection test and look-ups by executable name.
#include "process/process_selection.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/process_list.h"
#include "platform/sysinfo.h"
#include "platform/text.h"
#include "service/iservice_monitor.h"

namespace {

using platform::ProcessListEntry;

TEST(ProcessNameFromPath, LowerCasedLastPart) {
  struct Row {
    std::u16string path;
    std::string name;
  };
  const Row rows[] = {
      {u"C:\\Games\\Wild Hunt\\Game.EXE", "game.exe"},
      {u"\\Device\\HarddiskVolume2\\Bin\\LAUNCHER.exe", "launcher.exe"},
      {u"GAME.EXE", "game.exe"},  // no "\": the whole text
      {u"C:\\Games\\", ""},
      {u"", ""},
      {u"C:\\\u00C4\\\u00C4bc.EXE", platform::utf16ToAnsi(u"\u00C4bc.exe")},  // only A-Z are lowered
#ifndef _WIN32
      {u"/usr/games/Tux-Racer", "tux-racer"},
#else
      {u"C:/games/Tux-Racer.exe", "c:/games/tux-racer.exe"},  // "/" is no separator on Windows
#endif
  };
  for (const Row& row : rows) EXPECT_EQ(process::ProcessNameFromPath(row.path), row.name) << row.name;
}

TEST(IsSelectedProcess, ConfiguredNamesOrAWatchedServiceProcess) {
  std::map<std::string, int> processes{{"game.exe", 1}, {"launcher.exe", 2}};
  // The monitor's own thread polls once a minute; the test polls itself.
  service::ServiceMonitor monitor([](const std::u16string&) { return uint32_t{700}; }, 60000);
  EXPECT_TRUE(process::IsSelectedProcess(processes, monitor, 100, "game.exe"));
  EXPECT_FALSE(process::IsSelectedProcess(processes, monitor, 100, "GAME.EXE"));  // names come lower-cased
  EXPECT_FALSE(process::IsSelectedProcess(processes, monitor, 700, "svc.exe")) << "not watching yet";

  struct Quiet : service::IServiceMonitor {
    void onServiceStarted(const std::u16string&, uint32_t) override {}
    void onServiceStopped(const std::u16string&, uint32_t) override {}
  } quiet;
  ASSERT_TRUE(monitor.start(&quiet, {u"GameSvc"}));
  monitor.poll();
  EXPECT_TRUE(process::IsSelectedProcess(processes, monitor, 700, "svc.exe"));
  EXPECT_FALSE(process::IsSelectedProcess(processes, monitor, 701, "other.exe"));
  monitor.stop();
}

TEST(FindProcessIdByName, FirstMatchIgnoringCaseAndThisTestProgramInTheSystemSnapshot) {
  std::vector<ProcessListEntry> list{{8, u"System"}, {1200, u"Brannock.exe"}, {1300, u"BRANNOCK.EXE"}};
  bool fail = false;
  process::SnapshotSource source = [&](std::vector<ProcessListEntry>& out) {
    if (fail) return false;
    out = list;
    return true;
  };
  EXPECT_EQ(process::FindProcessIdByName(u"brannock.EXE", source), 1200);
  EXPECT_EQ(process::FindProcessIdByName(u"brannock", source), -1);
  EXPECT_EQ(process::FindProcessIdByName(u"", source), -1);
  fail = true;
  EXPECT_EQ(process::FindProcessIdByName(u"Brannock.exe", source), -1);

  std::vector<ProcessListEntry> snapshot;
  ASSERT_TRUE(platform::snapshotProcesses(snapshot));
  auto nameOf = [&](uint32_t id) {
    for (const auto& entry : snapshot)
      if (entry.processId == id) return entry.exeName;
    return std::u16string();
  };
  const std::u16string ownName = nameOf(platform::currentProcessId());
  ASSERT_NE(ownName.find(u"process_tests"), std::u16string::npos);
  // Another copy of this program may run at the same time; whichever is
  // found first carries the name.
  const int64_t found = process::FindProcessIdByName(platform::toLowerAscii(ownName));
  ASSERT_GT(found, 0);
  EXPECT_EQ(nameOf(static_cast<uint32_t>(found)), ownName) << found;
}

}  // namespace
