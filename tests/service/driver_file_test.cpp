// Installing the driver file and making sure its service runs, for each
// driver kind, on an in-memory service manager and registry.
#include <gtest/gtest.h>

#include <regex>

#include "driver_test_env.h"
#include "drvapi/drvapi.h"
#include "platform/file_install.h"

namespace {

using lumotest::DriverTestMachine;
using platform::ServiceState;

TEST(DriverKind, ShippedFileByVersionAndArchitecture) {
  struct Row {
    platform::OsVersion version;
    uint16_t architecture;
    const char* file;
    service::DriverKind kind;
  };
  const Row rows[] = {
      {{5, 1, 0}, 0, "LumoDriverSysTdi32.sys", service::DriverKind::kTdi},
      {{5, 2, 0}, 9, "LumoDriverSysTdi64.sys", service::DriverKind::kTdi},
      {{6, 0, 0}, 0, "LumoDriverSysWfp132.sys", service::DriverKind::kWfp1},
      {{6, 1, 0}, 9, "LumoDriverSysWfp164.sys", service::DriverKind::kWfp1},
      {{6, 2, 0}, 9, "LumoDriverSysWfp264.sys", service::DriverKind::kWfp2},
      {{10, 0, 0}, 12, "LumoDriverSysWfp232.sys", service::DriverKind::kWfp2},
  };
  for (const Row& row : rows) {
    EXPECT_STREQ(service::shippedDriverFileName(row.version, row.architecture), row.file)
        << row.version.major << "." << row.version.minor << " arch " << row.architecture;
    EXPECT_EQ(service::driverKindFor(row.version), row.kind) << row.version.major << "." << row.version.minor;
  }
}

class FreshInstall : public ::testing::TestWithParam<platform::OsVersion> {};

TEST_P(FreshInstall, InstallsRegistersAndStarts) {
  DriverTestMachine m(GetParam(), 9);
  m.ship({1, 0, 0, 1});
  const std::u16string tcpip = u"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
  m.registry.createKey(lumotest::kTcpip6Key);
  m.registry.createKey(tcpip);
  platform::writeDword(m.registry, lumotest::kTcpip6Key, u"DisabledComponents", 0x21);
  platform::writeDword(m.registry, tcpip, u"DisableTaskOffload", 1);

  ASSERT_TRUE(service::ensureDriverRunning());
  EXPECT_EQ(lumotest::readFileBytes(m.installed()), lumotest::readFileBytes(m.shippedFile()));
  EXPECT_EQ(m.state(), ServiceState::kRunning);
  EXPECT_EQ(m.dword(lumotest::kDriverServiceKey, u"Type"), 1u);
  EXPECT_EQ(m.dword(lumotest::kDriverServiceKey, u"Start"), 0u);
  EXPECT_EQ(m.text(lumotest::kDriverServiceKey, u"Group"), u"PNP_TDI");
  EXPECT_EQ(m.text(lumotest::kDriverServiceKey, u"ImagePath"), u"system32\\drivers\\LumoDriverSys.sys");
  // The host registry is prepared as opening the driver prepares it.
  EXPECT_EQ(m.dword(lumotest::kTcpip6Key, u"DisabledComponents"), 0x29u);
  EXPECT_EQ(m.dword(tcpip, u"DisableTaskOffload"), 0u);

  // A second call finds everything in place and leaves the file alone.
  const auto written = std::filesystem::last_write_time(m.installed());
  EXPECT_TRUE(service::ensureDriverRunning());
  EXPECT_EQ(std::filesystem::last_write_time(m.installed()), written);
  EXPECT_TRUE(m.asideFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryKind, FreshInstall,
                         ::testing::Values(platform::OsVersion{5, 1, 0}, platform::OsVersion{6, 1, 0},
                                           platform::OsVersion{10, 0, 0}));

// No shipped file: nothing installs. No installed file: it is copied, and
// reported not ready that first time.
TEST(DriverFile, MissingFilesAndFilesWithoutVersions) {
  DriverTestMachine m;
  EXPECT_FALSE(service::installDriverFile(false));
  EXPECT_FALSE(service::installDriverFile(true));
  EXPECT_FALSE(service::ensureDriverRunning());
  m.state();
  EXPECT_EQ(m.lastQuery, platform::kErrorServiceDoesNotExist);

  m.ship({1, 0, 0, 1});
  EXPECT_FALSE(service::installDriverFile(false));
  EXPECT_TRUE(platform::regularFileExists(m.installed()));
  EXPECT_TRUE(service::installDriverFile(false));

  // Versions cannot be read from either file: equal sizes leave it.
  lumotest::writeFileBytes(m.shippedFile(), std::vector<uint8_t>(100, 'a'));
  lumotest::writeFileBytes(m.installed(), std::vector<uint8_t>(100, 'b'));
  EXPECT_TRUE(service::installDriverFile(false));
  EXPECT_EQ(lumotest::readFileBytes(m.installed()), std::vector<uint8_t>(100, 'b'));
}

struct ReplaceRow {
  const char* what;
  platform::FileVersion shipped;
  size_t shippedExtra;
  platform::FileVersion installed;
  size_t installedExtra;
};

class InPlaceReplacement : public ::testing::TestWithParam<ReplaceRow> {};

TEST_P(InPlaceReplacement, NewerKindReplacesAndReregisters) {
  const ReplaceRow& row = GetParam();
  DriverTestMachine m({10, 0, 0}, 9);
  m.ship(row.shipped, row.shippedExtra);
  m.install(row.installed, row.installedExtra);
  ASSERT_EQ(service::registerDriverService("LumoDriverSys", nullptr), 0);
  ASSERT_EQ(m.state(), ServiceState::kRunning);

  // Replacing unloads: the service is stopped and deleted, the loaded image
  // moved aside for deletion at restart, and the new file put in its place.
  EXPECT_TRUE(service::installDriverFile(false));
  EXPECT_EQ(lumotest::readFileBytes(m.installed()), lumotest::readFileBytes(m.shippedFile()));
  m.state();
  EXPECT_EQ(m.lastQuery, platform::kErrorServiceDoesNotExist);
  auto aside = m.asideFiles();
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_TRUE(std::regex_match(aside[0].filename().string(), std::regex("LumoDriverSys\\.sys[a-x]{3,}")))
      << aside[0];
  EXPECT_EQ(lumotest::readFileBytes(aside[0]), lumotest::buildVersionedPe(row.installed, row.installedExtra));
#ifndef _WIN32
  auto marks = platform::restartDeletions();
  ASSERT_FALSE(marks.empty());
  EXPECT_EQ(marks.back(), aside[0]);
#endif

  // The next ensure registers and starts the new file.
  EXPECT_TRUE(service::ensureDriverRunning());
  EXPECT_EQ(m.state(), ServiceState::kRunning);
}

INSTANTIATE_TEST_SUITE_P(
    Differences, InPlaceReplacement,
    ::testing::Values(ReplaceRow{"other version, same size", {1, 3, 0, 0}, 0, {1, 2, 0, 0}, 0},
                      ReplaceRow{"older shipped version, same size", {1, 1, 0, 0}, 0, {1, 2, 0, 0}, 0},
                      ReplaceRow{"same version, other size", {1, 2, 0, 0}, 8, {1, 2, 0, 0}, 0}),
    [](const auto& info) { return "Row" + std::to_string(info.index); });

class AsideReplacement : public ::testing::TestWithParam<platform::OsVersion> {};

TEST_P(AsideReplacement, OlderKindsLeaveNoInstalledFileUntilTheNextCall) {
  // The old file is moved aside; with no service to keep, the new file goes
  // straight into the free place and is registered.
  DriverTestMachine m(GetParam(), 0);
  m.ship({2, 0, 0, 0});
  m.install({1, 0, 0, 0});
  EXPECT_TRUE(service::ensureDriverRunning());
  EXPECT_EQ(m.state(), ServiceState::kRunning);
  EXPECT_EQ(m.asideFiles().size(), 1u);
  EXPECT_EQ(lumotest::readFileBytes(m.installed()), lumotest::readFileBytes(m.shippedFile()));

  m.ship({3, 0, 0, 0});
  EXPECT_TRUE(service::installDriverFile(false));
  EXPECT_FALSE(platform::regularFileExists(m.installed()));
  ASSERT_EQ(m.asideFiles().size(), 2u);
  // The running driver is not touched: it keeps running from the moved file
  // until the system restarts.
  EXPECT_EQ(m.state(), ServiceState::kRunning);
  EXPECT_EQ(m.services.stopCount(), 0);

  // The next call copies the new file into the free place, the one after
  // finds it current.
  EXPECT_FALSE(service::installDriverFile(false));
  EXPECT_EQ(lumotest::readFileBytes(m.installed()), lumotest::readFileBytes(m.shippedFile()));
  EXPECT_TRUE(service::installDriverFile(false));
  EXPECT_EQ(m.asideFiles().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(TdiAndFirstWfp, AsideReplacement,
                         ::testing::Values(platform::OsVersion{5, 1, 0}, platform::OsVersion{6, 1, 0}));

// A current driver file in place, its service registered, then stopped,
// stop-pending (for a moment, then for good) and out of reach.
TEST(EnsureDriverRunning, StartsAStoppedServiceWaitsForAStopPendingOneAndFailsWithoutManager) {
  DriverTestMachine m;
  m.ship({1, 0, 0, 0});
  m.install({1, 0, 0, 0});
  ASSERT_EQ(service::registerDriverService("LumoDriverSys", nullptr), 0);
  service::stopDriverService();
  ASSERT_EQ(m.state(), ServiceState::kStopped);
  EXPECT_TRUE(service::ensureDriverRunning());
  EXPECT_EQ(m.state(), ServiceState::kRunning);

  m.services.setState(u"LumoDriverSys", ServiceState::kStopPending);
  m.onSleep = [&m] {
    if (m.sleeps == 2) m.services.setState(u"LumoDriverSys", ServiceState::kStopped);
  };
  EXPECT_TRUE(service::ensureDriverRunning());
  EXPECT_EQ(m.sleeps, 2);
  EXPECT_EQ(m.state(), ServiceState::kRunning);

  m.onSleep = nullptr;
  m.sleptMs = 0;
  m.services.setState(u"LumoDriverSys", ServiceState::kStopPending);
  const int startsBefore = m.services.startCount();
  EXPECT_FALSE(service::ensureDriverRunning()) << "stuck in stop-pending";
  EXPECT_EQ(m.sleptMs, 3000u);
  EXPECT_EQ(m.services.startCount(), startsBefore + 1);  // started anyway, refused

  m.services.setAvailable(false);
  EXPECT_FALSE(service::ensureDriverRunning());
  EXPECT_FALSE(service::stopDriverService());
}

TEST(UninstallDriver, RemovesServiceAndFileAndAFailingStartIsReported) {
  DriverTestMachine m;
  m.ship({1, 0, 0, 0});
  ASSERT_TRUE(service::ensureDriverRunning());
  ASSERT_TRUE(platform::regularFileExists(m.installed()));
  EXPECT_TRUE(service::uninstallDriver());
  EXPECT_FALSE(platform::regularFileExists(m.installed()));
  EXPECT_FALSE(service::serviceRegistered("LumoDriverSys"));
  // Nothing left to remove: false, and a file put there meanwhile stays.
  m.install({1, 0, 0, 0});
  EXPECT_FALSE(service::uninstallDriver());
  EXPECT_TRUE(platform::regularFileExists(m.installed()));

  m.services.attach(
      u"LumoDriverSys", [] { return false; }, nullptr);
  EXPECT_FALSE(service::ensureDriverRunning());
  EXPECT_EQ(m.state(), ServiceState::kStopped);
}

}  // namespace
