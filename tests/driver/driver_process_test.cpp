// lumo-driver as a process: started from the library's folder (this
// program's, which has a copy) by the service manager and stopped, one per
// runtime folder; the driver library and the engine outlive a driver that
// dies and reach the next one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "driver_test_support.h"
#include "drvapi/drvapi.h"
#include "drvapi/drvapi_fixture.h"
#include "lumo/lumo.h"
#include "platform/device.h"
#include "platform/module.h"
#include "platform/services.h"

namespace {

namespace fs = std::filesystem;
using drivertest::RuntimeFolder;
using platform::ServiceState;

constexpr std::u16string_view kService = u"LumoDriverSys";

std::string readText(const fs::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The process has ended (gone, or a zombie its new parent has yet to reap).
bool ended(pid_t pid) {
  return lumotest::waitFor([pid] {
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z');
  });
}

uint32_t driverPid() {
  uint32_t pid = 0;
  platform::systemServiceManager().queryProcessId(kService, pid);
  return pid;
}

ServiceState driverState() {
  ServiceState state{};
  EXPECT_EQ(platform::systemServiceManager().queryState(kService, state), 0u);
  return state;
}

class DriverProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setDeviceProvider(nullptr);
    drvapi::setDriverOptions(2, drvapi::kOptionNoServiceStart);
  }
  void TearDown() override {
    drvapi::freeDriver();
    platform::systemServiceManager().stop(kService);  // nothing may outlive the test
  }

  platform::ServiceManager& services = platform::systemServiceManager();
  RuntimeFolder folder;
  // Members, so that they outlive the driver library's threads, which
  // TearDown ends.
  drvtest::RecordingHandler handler;
  drvtest::RecordingHandler next;
};

// A killed driver's socket, nobody listening, is cleared; the service starts
// lumo-driver beside the library, one per folder, and its stop ends it.
TEST_F(DriverProcess, TheServiceStartsOneDriverPerFolderBesideTheLibraryAndStopEndsIt) {
  ASSERT_TRUE(drivertest::leaveStaleSocket());
  EXPECT_EQ(driverState(), ServiceState::kStopped);
  ASSERT_EQ(services.start(kService), 0u);
  EXPECT_EQ(driverState(), ServiceState::kRunning);
  const pid_t pid = static_cast<pid_t>(driverPid());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(fs::canonical("/proc/" + std::to_string(pid) + "/exe"),
            fs::canonical(platform::libraryFolder() / "lumo-driver"));
  EXPECT_EQ(readText(platform::pidFilePath()), std::to_string(pid) + "\n");
  EXPECT_TRUE(fs::exists(drivertest::deviceSocket()));
  EXPECT_EQ(getsid(pid), pid) << "detached into a session of its own";
  EXPECT_EQ((fs::status(folder.path()).permissions() & fs::perms::all), fs::perms::owner_all);
  EXPECT_EQ(services.start(kService), platform::kErrorServiceAlreadyRunning);
  // The paths quoted: a build folder may have spaces in its name.
  const std::string second = "'" + (platform::libraryFolder() / "lumo-driver").string() + "' --dir '" +
                             folder.path().string() + "' >/dev/null 2>&1";
  const int status = std::system(second.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "the folder has its driver: " << status;
  EXPECT_EQ(driverState(), ServiceState::kRunning) << "the refused one changed nothing";
  EXPECT_NE(platform::openDevice(drivertest::kDevicePath), nullptr) << "the first driver still serves";

  ASSERT_EQ(services.stop(kService), 0u);
  EXPECT_TRUE(ended(pid));
  EXPECT_FALSE(fs::exists(drivertest::deviceSocket()));
  EXPECT_FALSE(fs::exists(platform::pidFilePath()));
  EXPECT_EQ(driverState(), ServiceState::kStopped);
  const std::string log = readText(folder.path() / "lumo-driver.log");
  for (const char* line : {"removed a stale socket", "serving", "stopping on SIGTERM"})
    EXPECT_NE(log.find(line), std::string::npos) << line << " is not in:\n" << log;
}

TEST_F(DriverProcess, TheLibraryOutlivesItsDriverAndReachesTheNextOne) {
  ASSERT_EQ(services.start(kService), 0u);
  ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kOk);
  drvapi::FilterRule rule{};
  EXPECT_EQ(drvapi::addFilterRule(&rule, true), drvapi::kOk);

  const pid_t first = static_cast<pid_t>(driverPid());
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  // The reader's read fails and the reader ends, its workers with it.
  ASSERT_TRUE(lumotest::waitFor(
      [&] { return handler.threadsStarted > 0 && handler.threadsEnded == handler.threadsStarted; }));
  EXPECT_EQ(drvapi::addFilterRule(&rule, true), drvapi::kFailed) << "writes fail at once";
  EXPECT_EQ(drvapi::udpInjectReceive(1, drvtest::kRemote.bytes.data(), "x", 1, nullptr), drvapi::kFailed);
  EXPECT_TRUE(ended(first));

  // A new driver (over the dead one's socket), and the library, still open
  // on the dead one, opens it again.
  ASSERT_EQ(services.start(kService), 0u);
  EXPECT_NE(static_cast<pid_t>(driverPid()), first);
  ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &next), drvapi::kOk);
  EXPECT_EQ(drvapi::addFilterRule(&rule, true), drvapi::kOk);
}

TEST_F(DriverProcess, TheExportsStartTheDriverAndSurviveItsEnd) {
  ASSERT_TRUE(Init(0)) << "Init starts lumo-driver and opens its device";
  const pid_t first = static_cast<pid_t>(driverPid());
  ASSERT_GT(first, 0);
  EXPECT_TRUE(UnInit(1));
  EXPECT_EQ(static_cast<pid_t>(driverPid()), first) << "the driver keeps running";
  ASSERT_TRUE(Init(0));
  EXPECT_EQ(static_cast<pid_t>(driverPid()), first) << "and the next Init reaches it";

  ASSERT_EQ(::kill(first, SIGKILL), 0);
  EXPECT_TRUE(ended(first));
  EXPECT_TRUE(Stop(1));
  ASSERT_TRUE(Init(0)) << "a new driver is started";
  const pid_t second = static_cast<pid_t>(driverPid());
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);

  EXPECT_TRUE(UnInstallDriver());
  EXPECT_TRUE(ended(second));
  EXPECT_EQ(driverState(), ServiceState::kStopped);
  EXPECT_TRUE(InstallDriver());
  EXPECT_EQ(driverState(), ServiceState::kRunning);
  const pid_t installed = static_cast<pid_t>(driverPid());
  EXPECT_TRUE(UnInit(1));
  ASSERT_TRUE(Init(1)) << "a restart of the driver";
  EXPECT_TRUE(ended(installed));
  EXPECT_NE(static_cast<pid_t>(driverPid()), installed);
  EXPECT_TRUE(UnInit(1));
  EXPECT_TRUE(UnInstallDriver() == false) << "without an engine";
}

}  // namespace
