// The driver library against lumo-driver's device server over the socket,
// with no provider installed: opening, the shared buffers both ways, control
// codes, write answers, cancels, and the device opened unshared.
#include <gtest/gtest.h>

#include <thread>

#include "driver_test_support.h"
#include "drvapi/drvapi.h"
#include "drvapi/drvapi_fixture.h"
#include "platform/device.h"

namespace {

using drivertest::ServedDriver;
using drvtest::kGamePid;
using drvtest::kLocal;
using drvtest::kRemote;
using drvtest::RecordingHandler;

class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(served.started) << served.error;
    // Nothing but the socket may answer: no provider, no service steps.
    platform::setDeviceProvider(nullptr);
    drvapi::setDriverOptions(2, drvapi::kOptionNoServiceStart);
  }
  void TearDown() override {
    served.sim->releaseHeldWrites();
    drvapi::freeDriver();
  }

  simdrv::SimDriver& sim() { return *served.sim; }

  ServedDriver served;
  // Members, so that they outlive the driver library's threads, which
  // TearDown ends.
  RecordingHandler handler;
  RecordingHandler next;
};

// A scripted batch in the inbound buffer reaches the handler, and the
// handler's verdict comes back through the outbound one; control codes carry
// input (a process rule) and output (a path); writes are answered as the
// driver gave them.
TEST_F(Transport, RecordsCrossTheSharedBuffersBothWaysAndWritesAreAnswered) {
  ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kOk);
  EXPECT_TRUE(served.server->libraryConnected());
  handler.onTcpConnectRequest = [](uint64_t, drvapi::TcpConnInfo* info) { info->filteringFlag = 0x1234; };
  simdrv::Batch batch;
  batch.udpCreated(7, simdrv::udpInfo(kGamePid, kLocal))
      .udpSend(7, kRemote, "a datagram across processes")
      .tcpConnectRequest(9, simdrv::tcpInfo(kGamePid, kLocal, kRemote));
  ASSERT_TRUE(sim().deliver(batch));
  ASSERT_TRUE(handler.waitCount("udpSend", 1));
  EXPECT_EQ(handler.calls(7).back().data, "a datagram across processes");
  ASSERT_TRUE(lumotest::waitFor([&] { return sim().written(drvapi::kTcpConnectRequest, 9).size() == 1; }));
  drvapi::TcpConnInfo verdict{};
  const auto written = sim().written(drvapi::kTcpConnectRequest, 9);
  ASSERT_EQ(written[0].payload.size(), sizeof verdict);
  std::memcpy(&verdict, written[0].payload.data(), sizeof verdict);
  EXPECT_EQ(verdict.filteringFlag, 0x1234u);

  drvapi::ProcessFilterRule processRule{};
  const std::u16string name = u"D:\\Games\\Game.exe";
  std::memcpy(processRule.processName, name.c_str(), (name.size() + 1) * sizeof(char16_t));
  EXPECT_EQ(drvapi::addProcessFilterRule(&processRule, true), drvapi::kOk);
  ASSERT_EQ(sim().processRules().size(), 1u);
  EXPECT_EQ(sim().processRules()[0].processName, u"\\games\\game.exe");
  sim().setProcessImage(kGamePid, u"\\Device\\HarddiskVolume3\\Games\\game.exe");
  char16_t path[300] = {};
  EXPECT_EQ(drvapi::getProcessImagePath(kGamePid, path, 300), 1);
  EXPECT_EQ(std::u16string(path), u"\\Device\\HarddiskVolume3\\Games\\game.exe");

  drvapi::FilterRule rule{};
  sim().setWriteMode(simdrv::WriteMode::NoRoom);
  EXPECT_EQ(drvapi::addFilterRule(&rule, false), drvapi::kFailed) << "0 bytes: the driver had no room";
  EXPECT_EQ(sim().refused().size(), 1u);
  // A write the driver does not start is a failed one here: the library
  // does not wait a round trip to learn whether it started.
  sim().setWriteMode(simdrv::WriteMode::Refuse);
  EXPECT_EQ(drvapi::addFilterRule(&rule, false), drvapi::kFailed);
  sim().setWriteMode(simdrv::WriteMode::Accept);
  EXPECT_EQ(drvapi::addFilterRule(&rule, false), drvapi::kOk);
  EXPECT_EQ(sim().rules().size(), 1u);
}

TEST_F(Transport, ClosingCancelsInTheDriverWhatTheLibraryLeftRunning) {
  ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kOk);
  ASSERT_TRUE(sim().waitForRead());
  // A write the driver holds; closing the library interrupts it.
  sim().setWriteMode(simdrv::WriteMode::Hold);
  drvapi::FilterRule rule{};
  int status = drvapi::kOk;
  std::thread writer([&] { status = drvapi::addFilterRule(&rule, true); });
  ASSERT_TRUE(lumotest::waitFor([&] { return sim().heldWrites() == 1; }));
  drvapi::freeDriver();
  writer.join();
  EXPECT_EQ(status, drvapi::kFailed);
  EXPECT_EQ(sim().heldWrites(), 0u) << "the held write was cancelled in the driver";
  EXPECT_TRUE(sim().rules().empty());
  // The reader's read was cancelled in the driver too: a batch now waits for
  // the next library instead of vanishing into the abandoned read.
  EXPECT_FALSE(sim().waitForRead(0));

  sim().setWriteMode(simdrv::WriteMode::Accept);
  ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &next), drvapi::kOk) << "the driver takes the next library";
  simdrv::Batch batch;
  batch.tcpConnected(11, simdrv::tcpInfo(kGamePid, kLocal, kRemote));
  ASSERT_TRUE(sim().deliver(batch));
  EXPECT_TRUE(next.waitCount("tcpConnected", 1));
  EXPECT_EQ(sim().openCount(), 2);
  drvapi::freeDriver();
}

// The driver refuses opens while it serves a library, a buffer exchange of
// fewer than 32 bytes fails an open, and a driver that refuses opens is no
// device at all.
TEST_F(Transport, TheDeviceIsOpenedUnsharedAndItsOpenFaultsReachTheLibrary) {
  sim().setExchangeBytes(16);
  EXPECT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kFailed);
  sim().setExchangeBytes(32);
  sim().setOpenRefused(true);
  EXPECT_EQ(platform::openDevice(drivertest::kDevicePath), nullptr);
  EXPECT_EQ(platform::lastError(), platform::kErrorFileNotFound);
  sim().setOpenRefused(false);

  ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kOk);
  EXPECT_EQ(platform::openDevice(drivertest::kDevicePath), nullptr);
  EXPECT_EQ(platform::lastError(), platform::kErrorSharingViolation);
  EXPECT_TRUE(lumotest::waitFor([&] { return served.logged("refused a second library") == 1; }));
  EXPECT_TRUE(served.server->libraryConnected()) << "the first library keeps the device";

  // Once it closed, the next open is served at once: the driver notices a
  // closed library when the next one knocks, before it answers.
  drvapi::freeDriver();
  auto device = platform::openDevice(drivertest::kDevicePath);
  ASSERT_NE(device, nullptr);
  uint32_t kind = 0, returned = 0;
  EXPECT_TRUE(device->control(drvapi::kIoctlDriverKind, nullptr, 0, &kind, sizeof kind, &returned));
  EXPECT_EQ(kind, 2u);
}

}  // namespace
