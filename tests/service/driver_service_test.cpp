// The driver service's registration, removal, tags, group and load order.
#include <gtest/gtest.h>

#include "driver_test_env.h"
#include "drvapi/drvapi.h"
#include "platform/text.h"

namespace {

using lumotest::DriverTestMachine;
using platform::ServiceState;

const std::u16string kGroupOrderKey = u"SYSTEM\\CurrentControlSet\\Control\\GroupOrderList";

std::vector<uint8_t> listBytes(uint32_t count, const std::vector<uint32_t>& tags) {
  std::vector<uint8_t> out;
  auto put = [&out](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put(count);
  for (uint32_t t : tags) put(t);
  return out;
}

void setList(DriverTestMachine& m, const std::vector<uint32_t>& tags) {
  m.registry.createKey(kGroupOrderKey);
  platform::writeBinary(m.registry, kGroupOrderKey, u"PNP_TDI",
                        listBytes(static_cast<uint32_t>(tags.size()), tags));
}

std::vector<uint8_t> storedList(DriverTestMachine& m) {
  std::vector<uint8_t> raw;
  platform::readBinary(m.registry, kGroupOrderKey, u"PNP_TDI", raw);
  return raw;
}

void setServiceTag(DriverTestMachine& m, const char* name, uint32_t tag) {
  const std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\" + platform::utf8ToUtf16(name);
  m.registry.createKey(key);
  platform::writeDword(m.registry, key, u"Tag", tag);
}

// placeInGroupOrder puts the driver's tag right after the network stack's
// (Tdx, else Tcpip) when it is further back or missing, never forward; a tag
// of 0 is first made one above the largest listed.
TEST(GroupOrder, RewritesTheList) {
  using Tags = std::vector<uint32_t>;
  struct Row {
    const char* what;
    Tags list;
    uint32_t ownTag, tdxTag, tcpipTag;  // 0: no such service
    bool remove;
    Tags expected;
    bool written;
    uint32_t expectedOwnTag;
  } rows[] = {
      {"three after: moved up", {4, 10, 11, 12, 20, 13}, 20, 10, 0, false, {4, 10, 20, 11, 12, 13}, true, 20},
      {"right after the stack: untouched", {4, 10, 20, 11}, 20, 10, 0, false, {4, 10, 20, 11}, false, 20},
      {"before the stack: untouched", {20, 4, 10}, 20, 10, 0, false, {20, 4, 10}, false, 20},
      {"stack tag not listed: written back", {1, 20, 2}, 20, 99, 0, false, {1, 20, 2}, true, 20},
      {"no stack service: written back", {1, 20, 2}, 20, 0, 0, false, {1, 20, 2}, true, 20},
      {"Tcpip stands in for Tdx", {1, 10, 2, 3, 20}, 20, 0, 10, false, {1, 10, 20, 2, 3}, true, 20},
      {"Tdx wins over Tcpip", {1, 7, 10, 2, 20}, 20, 7, 10, false, {1, 7, 20, 10, 2}, true, 20},
      {"not listed: after the stack", {1, 10, 2}, 20, 10, 0, false, {1, 10, 20, 2}, true, 20},
      {"not listed, no stack: appended", {1, 2}, 20, 0, 0, false, {1, 2, 20}, true, 20},
      {"tag 0: one above the largest", {3, 17, 5}, 0, 5, 0, false, {3, 17, 5, 18}, true, 18},
      {"tag 0 and an empty list", {}, 0, 0, 0, false, {1}, true, 1},
      {"remove", {1, 20, 2}, 20, 10, 0, true, {1, 2}, true, 20},
      {"remove when not listed", {1, 2}, 20, 10, 0, true, {1, 2}, false, 20},
      {"remove with tag 0", {1, 2}, 0, 10, 0, true, {1, 2}, false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DriverTestMachine m;
    setList(m, row.list);
    setServiceTag(m, "LumoDriverSys", row.ownTag);
    if (row.tdxTag != 0) setServiceTag(m, "Tdx", row.tdxTag);
    if (row.tcpipTag != 0) setServiceTag(m, "Tcpip", row.tcpipTag);
    const uint64_t writesBefore = m.registry.writeCount();

    service::placeInGroupOrder("LumoDriverSys", row.remove);

    EXPECT_EQ(storedList(m), listBytes(static_cast<uint32_t>(row.expected.size()), row.expected));
    uint32_t tag = 0;
    ASSERT_TRUE(service::readServiceTag("LumoDriverSys", tag));
    EXPECT_EQ(tag, row.expectedOwnTag);
    const uint64_t listWrites = m.registry.writeCount() - writesBefore - (row.ownTag != tag ? 1 : 0);
    EXPECT_EQ(listWrites, row.written ? 1u : 0u);
  }
}

TEST(GroupOrderList, NoListIsLeftAloneCountWordBeyondTheDataIsMendedOneShortOfItIsLeftAlone) {
  DriverTestMachine m;
  setServiceTag(m, "LumoDriverSys", 0);
  uint64_t writes = m.registry.writeCount();
  service::placeInGroupOrder("LumoDriverSys", false);
  EXPECT_EQ(m.registry.writeCount(), writes) << "no list: not even a new tag";
  setList(m, {1, 2});
  writes = m.registry.writeCount();
  service::placeInGroupOrder("NoSuchService", false);
  EXPECT_EQ(m.registry.writeCount(), writes);

  // Count 9 but two tags present, plus two stray bytes.
  auto raw = listBytes(9, {10, 20});
  raw.push_back(0xAA);
  raw.push_back(0xBB);
  platform::writeBinary(m.registry, kGroupOrderKey, u"PNP_TDI", raw);
  setServiceTag(m, "LumoDriverSys", 30);
  setServiceTag(m, "Tdx", 10);
  service::placeInGroupOrder("LumoDriverSys", false);
  EXPECT_EQ(storedList(m), listBytes(3, {10, 30, 20}));

  // Count 1 with three tags present: the other drivers' tags past the
  // count would be lost, so the list is left as it is, tag and all.
  for (const bool remove : {false, true}) {
    SCOPED_TRACE(remove);
    const auto inconsistent = listBytes(1, {5, 6, 30});
    platform::writeBinary(m.registry, kGroupOrderKey, u"PNP_TDI", inconsistent);
    writes = m.registry.writeCount();
    service::placeInGroupOrder("LumoDriverSys", remove);
    EXPECT_EQ(storedList(m), inconsistent);
    EXPECT_EQ(m.registry.writeCount(), writes);
  }
}

// What the driver library asks when the newer driver kind answers: the
// neighbouring filters and the platform decide.
TEST(LoadOrder, ArrangementsFollowTheNeighboursAndThePlatform) {
  struct Row {
    const char* what;
    platform::OsVersion version;
    const char* neighbour;  // registered besides the driver, or null
    uint32_t ownTag;
    uint32_t expectedTag;
    const char16_t* expectedGroup;
  } rows[] = {
      {"aswstm: load after NDIS", {10, 0, 0}, "aswstm", 7, 7, u"NDIS"},
      {"6.1 next to nisdrv: placed in the order", {6, 1, 0}, "nisdrv", 0, 11, u""},
      {"6.1 alone: tag 0", {6, 1, 0}, nullptr, 7, 0, u""},
      {"6.2: nothing", {6, 2, 0}, nullptr, 7, 7, u""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DriverTestMachine m(row.version);
    setList(m, {1, 10});
    setServiceTag(m, "Tdx", 10);
    setServiceTag(m, "LumoDriverSys", row.ownTag);
    if (row.neighbour != nullptr) setServiceTag(m, row.neighbour, 3);
    service::arrangeLoadOrder("LumoDriverSys");
    uint32_t tag = 99;
    ASSERT_TRUE(service::readServiceTag("LumoDriverSys", tag));
    EXPECT_EQ(tag, row.expectedTag);
    EXPECT_EQ(m.text(lumotest::kDriverServiceKey, u"Group"), row.expectedGroup);
    std::vector<std::u16string> depends;
    platform::readMultiString(m.registry, lumotest::kDriverServiceKey, u"DependOnService", depends);
    EXPECT_EQ(depends, std::u16string(row.expectedGroup) == u"NDIS" ? std::vector<std::u16string>{u"tcpip"}
                                                                    : std::vector<std::u16string>{});
    EXPECT_EQ(storedList(m), tag == 11 ? listBytes(3, {1, 10, 11}) : listBytes(2, {1, 10}));
  }
}

TEST(RegisterDriverService, ExistingServiceRunningOrStartableAndTheOptionLeavesItUnstarted) {
  DriverTestMachine m;
  const uint32_t options = drvapi::driverOptions();
  drvapi::setDriverOptions(1, drvapi::kOptionDoNotStartService);
  EXPECT_EQ(service::registerDriverService("LumoDriverSys", nullptr), 0);
  EXPECT_EQ(service::registerDriverService("LumoDriverSys", nullptr), 0);  // exists: fine too
  drvapi::setDriverOptions(1, options);
  EXPECT_EQ(m.state(), ServiceState::kStopped);
  EXPECT_EQ(m.services.startCount(), 0);

  EXPECT_EQ(service::registerDriverService("LumoDriverSys", nullptr), 0);  // stopped: started
  EXPECT_EQ(m.state(), ServiceState::kRunning);
  EXPECT_EQ(service::registerDriverService("LumoDriverSys", nullptr), 0);  // running
  m.services.setState(u"LumoDriverSys", ServiceState::kStopPending);
  EXPECT_EQ(service::registerDriverService("LumoDriverSys", nullptr), -1);
  EXPECT_EQ(platform::lastSystemError(), platform::kErrorServiceCannotAcceptControl);
  EXPECT_EQ(service::registerDriverService(nullptr, nullptr), -1);

  // Nothing is written for a service not registered.
  uint32_t tag = 7;
  EXPECT_FALSE(service::serviceRegistered("aswstm"));
  EXPECT_FALSE(service::readServiceTag("aswstm", tag));
  EXPECT_FALSE(service::writeServiceTag("aswstm", 3));  // no key: nothing to write into
  EXPECT_FALSE(service::setServiceGroup("aswstm", true));
  setServiceTag(m, "aswstm", 0);
  EXPECT_TRUE(service::serviceRegistered("ASWSTM"));
}

TEST(RegisterDriverService, CreatesWithFolderAndPlacesInOrderThenRemovalUndoesItAndClearsIpv6Bit) {
  DriverTestMachine m;
  m.registry.createKey(lumotest::kTcpip6Key);
  platform::writeDword(m.registry, lumotest::kTcpip6Key, u"DisabledComponents", 0x29);
  setList(m, {5, 10, 6});
  setServiceTag(m, "Tdx", 10);
  ASSERT_EQ(service::registerDriverService("LumoDriverSys", "C:\\Drivers"), 0);
  EXPECT_EQ(m.text(lumotest::kDriverServiceKey, u"ImagePath"), u"C:\\Drivers\\LumoDriverSys.sys");
  EXPECT_EQ(m.state(), ServiceState::kRunning);
  uint32_t tag = 0;
  ASSERT_TRUE(service::readServiceTag("LumoDriverSys", tag));
  ASSERT_NE(tag, 0u);
  EXPECT_EQ(storedList(m), listBytes(4, {5, 10, tag, 6}));

  EXPECT_EQ(service::removeDriverService("LumoDriverSys"), 0);
  EXPECT_EQ(storedList(m), listBytes(3, {5, 10, 6}));
  EXPECT_FALSE(service::serviceRegistered("LumoDriverSys"));
  EXPECT_EQ(m.dword(lumotest::kTcpip6Key, u"DisabledComponents"), 0x21u);

  EXPECT_EQ(service::removeDriverService("LumoDriverSys"), -1);
  EXPECT_EQ(platform::lastSystemError(), platform::kErrorServiceDoesNotExist);
}

}  // namespace
