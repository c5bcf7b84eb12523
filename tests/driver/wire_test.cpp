// The device messages on the wire, and bytes that are not the protocol: the
// server drops such a library and serves the next; the library takes such a
// driver for gone, fails what runs and every later call, and never hangs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "driver_test_support.h"
#include "drvapi/drvapi.h"
#include "platform/device.h"

namespace {

using namespace drivertest;

// The bytes of message `m`, followed by `extra` bytes of `fill`.
template <class T>
std::vector<uint8_t> bytesOf(const T& m, size_t extra = 0, uint8_t fill = 0) {
  const auto* p = reinterpret_cast<const uint8_t*>(&m);
  std::vector<uint8_t> bytes(p, p + sizeof m);
  bytes.resize(bytes.size() + extra, fill);
  return bytes;
}

// `m` as `change` leaves it: a well-formed message with one fault.
template <class T, class F>
T with(T m, F change) {
  change(m);
  return m;
}

TEST(WireCheck, EveryCutOrPaddedMessageAndEveryWrongDirectionIsRefused) {
  auto control = wire::make<wire::Control>(wire::kControl, 5, 4);
  control.code = drvapi::kIoctlDriverKind;
  control.inSize = 4;
  control.outCapacity = 8;
  std::vector<uint8_t> packet = bytesOf(control);
  packet.insert(packet.end(), {0xAA, 0xBB, 0xCC, 0xDD});
  wire::Header h{};
  EXPECT_TRUE(wire::checkMessage(packet.data(), packet.size(), false, h));
  EXPECT_EQ(h.size, packet.size());
  for (size_t cut = 0; cut < packet.size(); ++cut)
    EXPECT_FALSE(wire::checkMessage(packet.data(), cut, false, h)) << "cut at " << cut;
  packet.push_back(0);
  EXPECT_FALSE(wire::checkMessage(packet.data(), packet.size(), false, h));
  // Each direction carries its own kinds only.
  const auto busy = bytesOf(hello(wire::kHelloBusy));
  const auto write = bytesOf(wire::make<wire::Write>(wire::kWrite, 0x0102));
  EXPECT_FALSE(wire::checkMessage(busy.data(), busy.size(), false, h));
  EXPECT_FALSE(wire::checkMessage(write.data(), write.size(), true, h));
}

// --- the server and a raw library ------------------------------------------

class ServerWire : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(served.started) << served.error; }

  // A connected raw library the server accepted.
  std::unique_ptr<RawLibrary> connect() {
    auto library = std::make_unique<RawLibrary>();
    EXPECT_EQ(library->hello.h.kind, wire::kHello);
    EXPECT_EQ(library->hello.status, wire::kHelloAccepted);
    return library;
  }

  ServedDriver served;
};

// Ids, sealed buffers, reads, writes and cancels as the real library uses
// them are in transport_test.cpp; here what that library never sends.
TEST_F(ServerWire, ALibraryThatBreaksTheProtocolIsDroppedAndTheNextServed) {
  auto control = wire::make<wire::Control>(wire::kControl, 1);
  control.code = drvapi::kIoctlDriverKind;
  control.outCapacity = 4;
  {
    SCOPED_TRACE("a cancel of a finished request is no fault");
    auto library = connect();
    std::vector<uint8_t> packet;
    ASSERT_TRUE(library->ask(control, packet));
    ASSERT_EQ(packet.size(), sizeof(wire::ControlDone) + 4);
    EXPECT_EQ(as<wire::ControlDone>(packet).h.op, 1u);
    ASSERT_TRUE(library->send(wire::make<wire::Cancel>(wire::kCancel, 1)));
    ASSERT_TRUE(library->ask(with(control, [](wire::Control& m) { m.h.op = 2; }), packet));
    EXPECT_EQ(as<wire::ControlDone>(packet).h.op, 2u);
    EXPECT_EQ(served.logged("dropped"), 0u);
  }
  auto read = wire::make<wire::Read>(wire::kRead, 2);
  read.size = 8;

  auto bigInput = wire::make<wire::Control>(wire::kControl, 3, wire::kMaxControlInput + 1);
  bigInput.inSize = wire::kMaxControlInput + 1;
  auto shortInput = control;  // 10 bytes of input announced, 4 sent
  shortInput.inSize = 10;
  shortInput.h.size = sizeof shortInput + 4;
  const struct Row {
    const char* what;
    std::vector<uint8_t> bytes;
    bool withFd = false;  // a descriptor comes along
  } rows[] = {
      {"shorter than a header", std::vector<uint8_t>(8, 0)},
      {"a size field that is not the packet's", bytesOf(with(read, [](wire::Read& m) { m.h.size = 25; }))},
      {"an unknown kind", bytesOf(with(read, [](wire::Read& m) { m.h.kind = 99; }))},
      {"a read of more than 8 bytes", bytesOf(with(read, [](wire::Read& m) { m.size = 9; }))},
      {"a read of nothing", bytesOf(with(read, [](wire::Read& m) { m.size = 0; }))},
      {"operation id 0", bytesOf(with(read, [](wire::Read& m) { m.h.op = 0; }))},
      {"a control input over the limit", bytesOf(bigInput, bigInput.inSize)},
      {"a control shorter than its input", bytesOf(shortInput, 4)},
      {"a control output over the limit",
       bytesOf(with(control, [](wire::Control& m) { m.outCapacity = wire::kMaxControlOutput + 1; }))},
      {"an oversized packet", bytesOf(read, wire::kMaxMessage + 100 - sizeof read)},
      {"a driver's message", bytesOf(wire::make<wire::WriteDone>(wire::kWriteDone, 4))},
      {"descriptors from the library", bytesOf(read), true},
  };

  size_t dropped = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto library = connect();
    platform::UniqueFd memory(::memfd_create("x", MFD_CLOEXEC));
    const int fd = memory.get();
    ASSERT_TRUE(library->send(row.bytes.data(), row.bytes.size(), row.withFd ? &fd : nullptr, row.withFd));
    EXPECT_TRUE(closedByPeer(library->fd.get()));
    EXPECT_EQ(served.logged("dropped the library"), ++dropped);
  }
  {
    SCOPED_TRACE("an id reused while its operation runs");
    auto library = connect();
    ASSERT_TRUE(library->send(read));
    ASSERT_TRUE(served.sim->waitForRead());
    ASSERT_TRUE(library->send(read));
    EXPECT_TRUE(closedByPeer(library->fd.get()));
    EXPECT_EQ(served.logged("dropped the library"), ++dropped);
    EXPECT_FALSE(served.sim->waitForRead(0)) << "the dropped library's read was cancelled";
  }
  connect();  // the server goes on
}

// --- the library and a raw driver --------------------------------------------

class LibraryWire : public ::testing::Test {
 protected:
  void SetUp() override { platform::setDeviceProvider(nullptr); }

  RuntimeFolder folder;
};

// No driver at all, and names that would lead out of the runtime folder, are
// no device; otherwise the driver's greeting decides.
TEST_F(LibraryWire, TheGreetingDecidesTheOpen) {
  platform::setLastError(0);
  EXPECT_EQ(platform::openDevice(kDevicePath), nullptr);
  EXPECT_EQ(platform::lastError(), platform::kErrorFileNotFound);
  EXPECT_EQ(platform::openDevice(u"\\\\.\\Ctrl/../x"), nullptr);
  EXPECT_EQ(platform::openDevice(u"CtrlDSLumoDriverSys"), nullptr);
  struct Row {
    const char* what;
    std::optional<wire::Hello> hello;  // none: the connection is closed instead
    uint32_t error;
  };
  const Row rows[] = {
      {"busy", hello(wire::kHelloBusy), platform::kErrorSharingViolation},
      {"refused", hello(wire::kHelloUnavailable), platform::kErrorFileNotFound},
      {"another version", hello(wire::kHelloAccepted, 7), platform::kErrorFileNotFound},
      {"a closed connection instead of a greeting", std::nullopt, platform::kErrorFileNotFound},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeDriver fake(nullptr, row.hello);
    ASSERT_TRUE(fake.bound());
    EXPECT_EQ(platform::openDevice(kDevicePath), nullptr);
    EXPECT_EQ(platform::lastError(), row.error);
  }
  {
    SCOPED_TRACE("a stale socket nobody listens on");
    ASSERT_TRUE(leaveStaleSocket());
    EXPECT_EQ(platform::openDevice(kDevicePath), nullptr);
    EXPECT_EQ(platform::lastError(), platform::kErrorFileNotFound);
    ::unlink(deviceSocket().c_str());
  }
}

// Reads one request from the library and answers it with `answer` bytes
// (the request's id is written at offset 8 when `withId`).
FakeDriver::Script answerWith(std::vector<uint8_t> answer, bool withId, std::vector<int> fds = {}) {
  return [answer, withId, fds](int fd) mutable {
    std::vector<uint8_t> request;
    if (!receive(fd, request) || request.size() < sizeof(wire::Header)) return;
    if (withId) std::memcpy(answer.data() + 8, request.data() + 8, 8);
    platform::sendPacket(fd, answer.data(), answer.size(), fds.empty() ? nullptr : fds.data(),
                         static_cast<int>(fds.size()));
    closedByPeer(fd);  // until the library closes
  };
}

TEST_F(LibraryWire, ADriverThatBreaksTheProtocolIsTakenForGone) {
  auto done = wire::make<wire::ControlDone>(wire::kControlDone, 0, 4);
  done.ok = 1;
  done.outSize = 4;
  std::vector<uint8_t> good = bytesOf(done);
  good.insert(good.end(), {2, 0, 0, 0});
  const auto changed = [&good](auto change) { return with(good, change); };
  auto longer = done;
  longer.outSize = 8;
  longer.h.size = sizeof longer + 8;

  const struct Row {
    const char* what;
    std::vector<uint8_t> answer;
    bool withId;
    bool withFd = false;  // a descriptor comes along
    bool answered = false;
  } rows[] = {
      {"the well-formed answer, for contrast", good, true, false, true},
      // 0x77: an id the library never used.
      {"an answer to no request", changed([](std::vector<uint8_t>& b) { b[8] = 0x77; }), false},
      {"a size field that is not the packet's", changed([](std::vector<uint8_t>& b) { b[4] = 29; }), true},
      {"more output than the request has room for", bytesOf(longer, 8, 1), true},
      {"a read completion for a control",
       bytesOf(with(wire::make<wire::ReadDone>(wire::kReadDone, 0),
                    [](wire::ReadDone& m) { m.status = wire::kDone; })),
       true},
      {"a second greeting", bytesOf(hello(wire::kHelloAccepted)), false},
      {"an oversized packet", changed([](std::vector<uint8_t>& b) { b.resize(wire::kMaxMessage + 50); }),
       true},
      {"descriptors with a control answer", good, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    platform::UniqueFd memory(::memfd_create("x", MFD_CLOEXEC));
    FakeDriver fake(answerWith(row.answer, row.withId, std::vector<int>(row.withFd, memory.get())),
                    hello(wire::kHelloAccepted));
    ASSERT_TRUE(fake.bound());
    auto device = platform::openDevice(kDevicePath);
    ASSERT_NE(device, nullptr);
    uint32_t kind = 0, returned = 0;
    EXPECT_EQ(device->control(drvapi::kIoctlDriverKind, nullptr, 0, &kind, sizeof kind, &returned),
              row.answered);
    EXPECT_EQ(returned, row.answered ? 4u : 0u);
    EXPECT_EQ(device->alive(), row.answered);
    if (row.answered) {
      EXPECT_EQ(kind, 2u);
      continue;
    }
    // Taken for gone: everything after the failed control fails too.
    uint64_t count = 0;
    platform::DeviceIo io;
    EXPECT_EQ(device->read(&count, sizeof count, io), platform::IoStart::Failed);
    EXPECT_EQ(device->write(&count, sizeof count, io), platform::IoStart::Failed);
    EXPECT_FALSE(device->control(drvapi::kIoctlDriverKind, nullptr, 0, &kind, sizeof kind, &returned));
  }
}

// A memfd of `size` bytes, sealed against shrinking when `sealed`.
platform::UniqueFd memoryOf(size_t size, bool sealed) {
  platform::UniqueFd fd(::memfd_create("lumo-test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return {};
  if (sealed) ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW);
  return fd;
}

TEST_F(LibraryWire, OnlyBuffersThatCannotShrinkUnderTheLibraryAreMapped) {
  auto exchanged = wire::make<wire::ExchangeDone>(wire::kExchangeDone, 0);
  exchanged.ok = 1;
  exchanged.reported = 32;
  exchanged.inboundSize = 4096;
  exchanged.outboundSize = 4096;
  const std::vector<uint8_t> answer = bytesOf(exchanged);

  struct Row {
    const char* what;
    size_t inboundBytes;
    bool sealed;
    int fdCount;
    bool mapped;
  };
  const Row rows[] = {
      {"a buffer that could shrink", 4096, false, 2, false},
      {"a buffer smaller than stated", 1024, true, 2, false},
      {"one buffer instead of two", 4096, true, 1, false},
      {"sealed buffers of the stated sizes, for contrast", 4096, true, 2, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    platform::UniqueFd inbound = memoryOf(row.inboundBytes, row.sealed);
    platform::UniqueFd outbound = memoryOf(4096, true);
    std::vector<int> fds = {inbound.get(), outbound.get()};
    fds.resize(static_cast<size_t>(row.fdCount));
    FakeDriver fake(answerWith(answer, true, fds), hello(wire::kHelloAccepted));
    auto device = platform::openDevice(kDevicePath);
    ASSERT_NE(device, nullptr);
    uint64_t buffers[4] = {};
    uint32_t returned = 0;
    EXPECT_EQ(device->control(wire::kExchangeCode, nullptr, 0, buffers, sizeof buffers, &returned),
              row.mapped);
    EXPECT_EQ(buffers[0] != 0, row.mapped);
    EXPECT_EQ(device->alive(), row.mapped);
  }
}

}  // namespace
