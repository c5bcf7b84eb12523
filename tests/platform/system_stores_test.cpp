// The registry and service manager behind the platform headers: the system's
// own (the real ones on Windows, the in-memory ones on Linux) and the
// in-memory store's rules.
#include <gtest/gtest.h>

#include <string>

#include "pe_fixture.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "platform/sysinfo.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace {

std::u16string unique(const char* prefix) {
  return platform::utf8ToUtf16(std::string(prefix) + std::to_string(platform::currentProcessId()));
}

TEST(SystemRegistry, TypedValuesRoundTrip) {
  platform::Registry& registry = platform::systemRegistry();
  const std::u16string key = u"SOFTWARE\\" + unique("LumoTest");
  ASSERT_TRUE(registry.createKey(key + u"\\Inner"));
  EXPECT_TRUE(registry.keyExists(key));

  uint32_t dword = 0;
  std::vector<uint8_t> binary;
  std::u16string text;
  std::vector<std::u16string> texts;
  EXPECT_TRUE(platform::writeDword(registry, key, u"Tag", 0xA1B2C3D4u));
  EXPECT_TRUE(platform::writeBinary(registry, key, u"PNP_TDI", {1, 0, 0, 0, 9, 0, 0, 0}));
  EXPECT_TRUE(platform::writeString(registry, key, u"Group", u"PNP_TDI"));
  EXPECT_TRUE(platform::writeMultiString(registry, key, u"DependOnService", {u"tcpip", u"afd"}));
  ASSERT_TRUE(platform::readDword(registry, key, u"tag", dword));
  EXPECT_EQ(dword, 0xA1B2C3D4u);
  ASSERT_TRUE(platform::readBinary(registry, key, u"PNP_TDI", binary));
  EXPECT_EQ(binary, (std::vector<uint8_t>{1, 0, 0, 0, 9, 0, 0, 0}));
  ASSERT_TRUE(platform::readString(registry, key, u"Group", text));
  EXPECT_EQ(text, u"PNP_TDI");
  ASSERT_TRUE(platform::readMultiString(registry, key, u"DependOnService", texts));
  EXPECT_EQ(texts, (std::vector<std::u16string>{u"tcpip", u"afd"}));
  // A value of another type does not read as a DWORD.
  EXPECT_FALSE(platform::readDword(registry, key, u"Group", dword));
  EXPECT_FALSE(platform::readDword(registry, key, u"Missing", dword));

  EXPECT_TRUE(registry.deleteValue(key, u"Tag"));
  EXPECT_FALSE(platform::readDword(registry, key, u"Tag", dword));
  // Values go only into keys that exist.
  EXPECT_FALSE(platform::writeDword(registry, key + u"\\Absent", u"Tag", 1));

  EXPECT_TRUE(registry.deleteTree(key));
  EXPECT_FALSE(registry.keyExists(key + u"\\Inner"));
  EXPECT_FALSE(registry.keyExists(key));
  EXPECT_TRUE(registry.deleteTree(key));  // already gone
}

TEST(MemoryRegistry, NamesIgnoreCaseAndSeparatorsAndMalformedStringsAreRefused) {
  platform::MemoryRegistry registry;
  ASSERT_TRUE(registry.createKey(u"SYSTEM\\A\\B"));
  EXPECT_TRUE(registry.keyExists(u"system\\a"));
  EXPECT_TRUE(registry.keyExists(u"\\SYSTEM\\\\A\\B\\"));
  EXPECT_TRUE(platform::writeDword(registry, u"System\\A\\B", u"Start", 3));
  uint32_t v = 0;
  EXPECT_TRUE(platform::readDword(registry, u"SYSTEM\\a\\b", u"START", v));
  EXPECT_EQ(v, 3u);
  // Deleting a tree takes its subkeys, not its look-alike siblings.
  ASSERT_TRUE(registry.createKey(u"SYSTEM\\AB"));
  EXPECT_TRUE(registry.deleteTree(u"SYSTEM\\A"));
  EXPECT_FALSE(registry.keyExists(u"SYSTEM\\A\\B"));
  EXPECT_TRUE(registry.keyExists(u"SYSTEM\\AB"));

  // Strings another program left malformed: an odd byte count, a list without its terminator.
  registry.createKey(u"K");
  registry.writeValue(u"K", u"Odd", platform::RegistryValue{platform::kRegString, {'a', 0, 'b'}});
  registry.writeValue(u"K", u"Unterminated", platform::RegistryValue{platform::kRegMultiString, {'a', 0, 'b', 0}});
  std::u16string text;
  std::vector<std::u16string> texts;
  EXPECT_FALSE(platform::readString(registry, u"K", u"Odd", text));
  ASSERT_TRUE(platform::readMultiString(registry, u"K", u"Unterminated", texts));
  EXPECT_EQ(texts, std::vector<std::u16string>{u"ab"});
  registry.setReadOnly(true);
  EXPECT_FALSE(platform::writeDword(registry, u"SYSTEM\\AB", u"Start", 1));
}

TEST(SystemServiceManager, KernelDriverServiceLifecycleAndSimulatedServices) {
  // On Windows this is the real service control manager: a kernel-driver
  // service is created, queried and deleted, never started. The image is the
  // project's own fixture file.
  platform::ServiceManager& manager = platform::systemServiceManager();
  ASSERT_EQ(manager.connect(), 0u);
  lumotest::TempDir dir;
  const auto image = dir.path() / "LumoTestDriver.sys";
  lumotest::writeFileBytes(image, lumotest::buildVersionedPe({1, 0, 0, 0}));

  platform::ServiceDefinition d;
  d.name = unique("LumoTestDrv");
  d.displayName = d.name;
  d.binaryPath = platform::utf8ToUtf16(image.string());
  d.loadOrderGroup = u"PNP_TDI";
  d.startType = platform::kServiceDemandStart;
  d.wantTag = true;
  manager.remove(d.name);  // left over from an interrupted run

  ASSERT_EQ(manager.create(d), 0u);
  EXPECT_EQ(manager.create(d), platform::kErrorServiceExists);
  platform::ServiceState state = platform::ServiceState::kRunning;
  EXPECT_EQ(manager.queryState(d.name, state), 0u);
  EXPECT_EQ(state, platform::ServiceState::kStopped);
  uint32_t pid = 99;
  EXPECT_EQ(manager.queryProcessId(d.name, pid), 0u);
  EXPECT_EQ(pid, 0u);
  EXPECT_EQ(manager.stop(d.name), 0u);  // not running: opened, control refused
  const std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\" + d.name;
  EXPECT_TRUE(platform::systemRegistry().keyExists(key));
  uint32_t type = 0;
  EXPECT_TRUE(platform::readDword(platform::systemRegistry(), key, u"Type", type));
  EXPECT_EQ(type, platform::kServiceKernelDriver);

  EXPECT_EQ(manager.remove(d.name), 0u);
  EXPECT_EQ(manager.queryState(d.name, state), platform::kErrorServiceDoesNotExist);
  EXPECT_EQ(manager.start(d.name), platform::kErrorServiceDoesNotExist);

  // On Windows the system's manager is the real one except for attached
  // names, whose start and stop reach the attached actions.
  int starts = 0, stops = 0;
  bool accept = false;
  ASSERT_TRUE(platform::attachSimulatedService(
      u"LumoSimTest",
      [&] {
        ++starts;
        return accept;
      },
      [&] { ++stops; }));
#ifdef _WIN32
  // Registered with the in-memory manager only: the real one would take a
  // key in the system's registry for an installed driver.
  EXPECT_FALSE(platform::systemRegistry().keyExists(u"SYSTEM\\CurrentControlSet\\Services\\LumoSimTest"));
#endif
  EXPECT_EQ(manager.start(u"LumoSimTest"), platform::kErrorServiceStartFailed);
  EXPECT_EQ(manager.queryState(u"LumoSimTest", state), 0u);
  EXPECT_EQ(state, platform::ServiceState::kStopped);
  accept = true;
  EXPECT_EQ(manager.start(u"LumoSimTest"), 0u);
  EXPECT_EQ(manager.start(u"LumoSimTest"), platform::kErrorServiceAlreadyRunning);
  EXPECT_EQ(manager.stop(u"LumoSimTest"), 0u);
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(stops, 1);
  // Deleted and created again, the service keeps its actions.
  EXPECT_EQ(manager.remove(u"LumoSimTest"), 0u);
  platform::ServiceDefinition simulated;
  simulated.name = u"LumoSimTest";
  ASSERT_EQ(manager.create(simulated), 0u);
  EXPECT_EQ(manager.start(u"LumoSimTest"), 0u);
  EXPECT_EQ(starts, 3);
  manager.stop(u"LumoSimTest");
  manager.remove(u"LumoSimTest");
#ifdef _WIN32
  // A name without a simulation still reaches the real manager, which knows
  // its remote procedure call service (running or not: wine starts it on
  // demand).
  EXPECT_EQ(manager.queryState(u"RpcSs", state), 0u);
#endif
}

}  // namespace
