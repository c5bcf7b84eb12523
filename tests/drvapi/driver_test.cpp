// The driver interface's operations against the simulated driver: start-up,
// rules, writes and their faults, process paths.
#include <thread>

#include "drvapi/library.h"
#include "drvapi_fixture.h"
#include "platform/device.h"
#include "platform/sysinfo.h"

namespace drvtest {
namespace {

using namespace drvapi;

class DriverOps : public DriverFixture {};

// A null handler, a device that cannot be opened, another driver's name or a
// short buffer exchange fail the start; every operation before a start
// reports it.
TEST_F(DriverOps, FailedStartsAndASecondInitChangeNothing) {
  EXPECT_EQ(initDriver("LumoDriverSys", nullptr), kFailed);
  EXPECT_EQ(sim.openCount(), 0);
  sim.setOpenRefused(true);
  EXPECT_EQ(initDriver("LumoDriverSys", &handler), kFailed);
  EXPECT_EQ(initDriver("OtherDriver", &handler), kFailed);
  sim.setOpenRefused(false);
  sim.setExchangeBytes(24);
  EXPECT_EQ(initDriver("LumoDriverSys", &handler), kFailed);
  sim.setExchangeBytes(32);
  const int opened = sim.openCount();
  FilterRule rule{};
  ProcessFilterRule processRule{};
  TcpConnInfo info{};
  UdpConnInfo udp{};
  IpOptions options{};
  const unsigned char remote[28] = {2};
  EXPECT_EQ(tcpInjectSend(1, "x", 1), kNotInitialised);
  EXPECT_EQ(tcpInjectReceive(1, "x", 1), kNotInitialised);
  EXPECT_EQ(udpInjectSend(1, remote, "x", 1, nullptr), kNotInitialised);
  EXPECT_EQ(udpInjectReceive(1, remote, "x", 1, nullptr), kNotInitialised);
  EXPECT_EQ(ipInjectSend("x", 1, &options), kNotInitialised);
  EXPECT_EQ(tcpDisableFiltering(1), kNotInitialised);
  EXPECT_EQ(udpDisableFiltering(1), kNotInitialised);
  EXPECT_EQ(tcpGetConnInfo(1, &info), kNotInitialised);
  EXPECT_EQ(udpGetConnInfo(1, &udp), kNotInitialised);
  EXPECT_EQ(addFilterRule(&rule, true), kNotInitialised);
  EXPECT_EQ(addProcessFilterRule(&processRule, true), kNotInitialised);
  EXPECT_EQ(deleteFilterRules(), kNotInitialised);

  start();
  EXPECT_EQ(initDriver("LumoDriverSys", &handler), kOk);
  EXPECT_EQ(sim.openCount(), opened + 1);
  // The reader's pools started their workers: four event workers and one writer.
  EXPECT_TRUE(lumotest::waitFor([&] { return handler.threadsStarted == 5; }));

  freeDriver();
  EXPECT_EQ(handler.threadsEnded, 5);
  EXPECT_EQ(tcpGetConnInfo(1, &info), kNotInitialised);
  // The library can be brought up again after freeDriver.
  start();
  EXPECT_EQ(sim.openCount(), opened + 2);
}

// Raw IP goes to the handler the engine registered; that engine may be gone
// after freeDriver; and nothing queued for the workers of one start runs in the
// next (the push stands for an injection that raced freeDriver).
TEST_F(DriverOps, NothingOfAFreedLibraryReachesTheNextStart) {
  start();
  setIpEventHandler(&handler);
  IpOptions options{};
  options.flags = 6;
  deliver(simdrv::Batch().ipReceive(options, "PKT-IN").ipSend(options, "PKT-OUT"));
  EXPECT_EQ(handler.stream(6, "ipReceive"), "PKT-IN");  // raw IP calls are recorded under their flags
  EXPECT_EQ(handler.stream(6, "ipSend"), "PKT-OUT");
  freeDriver();
  detail::lib().eventsOut.push(kDriverPing, 4242);
  start();
  deliver(simdrv::Batch().ipReceive(options, "PKT").ping(4243));
  ASSERT_TRUE(waitWritten(kDriverPing, 4243, 1));
  EXPECT_EQ(handler.count("ipReceive"), 1u);
  ASSERT_EQ(sim.written(kIpReceive).size(), 1u);
  EXPECT_EQ(sim.written(kIpReceive)[0].text().substr(22), "PKT") << "written back unchanged";
  EXPECT_TRUE(sim.written(kDriverPing, 4242).empty());
}

// The service steps are plain functions: what they were asked is logged here.
std::vector<std::string> serviceLog;
simdrv::SimDriver* serviceSim = nullptr;

// The steps that the engine installs run at their moments: the registry
// first, the service once when the device cannot be opened, the load order
// when the driver answers the kind query; without them the device is only
// opened.
TEST_F(DriverOps, ServiceStepsRunWhereTheServiceIsNeeded) {
  serviceSim = &sim;
  ServiceSteps steps;
  steps.prepareHostRegistry = [](bool setIpv6Bit) {
    serviceLog.push_back(setIpv6Bit ? "ipv6 bit" : "no bit");
  };
  steps.registerDriverService = [](const char* name, const char*) {
    serviceLog.push_back(std::string("register ") + name);
    serviceSim->setOpenRefused(false);
    return 0;
  };
  steps.arrangeLoadOrder = [](const char* name) { serviceLog.push_back(std::string("order ") + name); };
  setServiceSteps(steps);
  struct Row {
    uint32_t options;
    bool openRefused;
    std::optional<uint32_t> kind;
    std::vector<std::string> log;
    int result;
  } rows[] = {
      {0, true, 2, {"ipv6 bit", "register LumoDriverSys", "order LumoDriverSys"}, kOk},
      {kOptionKeepIpv6Registry, false, std::nullopt, {"no bit"}, kOk},
      {kOptionNoServiceStart, true, 2, {"ipv6 bit"}, kFailed},
  };
  for (const Row& row : rows) {
    serviceLog.clear();
    setDriverOptions(4, row.options);
    sim.setOpenRefused(row.openRefused);
    sim.setKind(row.kind);
    EXPECT_EQ(initDriver("LumoDriverSys", &handler), row.result);
    EXPECT_EQ(serviceLog, row.log);
    freeDriver();
  }
  setServiceSteps({});
  setDriverOptions(4, 0);
  sim.setOpenRefused(true);
  EXPECT_EQ(initDriver("LumoDriverSys", &handler), kFailed)
      << "no steps installed: nobody starts the service";
}

// The kind query decides how much TCP data goes into one injected record.
TEST_F(DriverOps, KindQueryDecidesTheChunkLimit) {
  struct Row {
    std::optional<uint32_t> kind;
    std::vector<size_t> chunks;
  } rows[] = {
      {2, {20000}},
      {1, {20000}},
      {7, {8192, 8192, 3616}},
      {std::nullopt, {8192, 8192, 3616}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.kind ? std::to_string(*row.kind) : "failed query");
    sim.setKind(row.kind);
    sim.clearWritten();
    start();
    connect(7);
    const std::string data(20000, 'k');
    ASSERT_EQ(tcpInjectSend(7, data.data(), static_cast<int>(data.size())), kOk);
    ASSERT_TRUE(lumotest::waitFor([&] { return sim.stream(7, kTcpSend).size() == data.size(); }));
    EXPECT_EQ(writtenSizes(kTcpSend, 7), row.chunks);
    freeDriver();
  }
}

TEST_F(DriverOps, RulesReachTheDriverInOrder) {
  start();
  FilterRule a{};
  a.protocol = 6;
  a.filteringFlag = kRuleReportConnect;
  FilterRule b{};
  b.protocol = 17;
  b.filteringFlag = kRuleFilter;
  EXPECT_EQ(addFilterRule(&a, false), kOk);
  EXPECT_EQ(addFilterRule(&b, true), kOk);  // code 16: head of the list
  auto rules = sim.rules();
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(+rules[0].protocol, 17u);
  EXPECT_EQ(+rules[1].protocol, 6u);
  EXPECT_EQ(addFilterRule(nullptr, true), kFailed);

  simdrv::FlowDescription tcpFlow;
  tcpFlow.protocol = 6;
  EXPECT_EQ(sim.classify(tcpFlow), kRuleReportConnect) << "the flag came with its rule";
  EXPECT_EQ(deleteFilterRules(), kOk);
  EXPECT_TRUE(sim.rules().empty());
}

TEST_F(DriverOps, ProcessRuleNamesAreNormalised) {
  start();
  struct Row {
    std::u16string name;
    std::u16string sent;
  } rows[] = {
      {u"D:\\Dir\\App.exe", u"\\dir\\app.exe"},
      {u"Game.EXE", u"game.exe"},
      {u"C:", u"c:"},      // 2 units: only lower-cased
      {u"X:\\", u"x:\\"},  // 3 units: only lower-cased
      {u"AB:C", u"ab:c"},  // second unit is not ':'
      {u"e:G", u"e:g"},
      {u"E:Gx", u"gx"},
      {u"", u""},
  };
  const auto add = [](const std::u16string& name, bool first) {
    ProcessFilterRule rule{};
    rule.rule.filteringFlag = kRuleFilter;
    std::memcpy(rule.processName, name.data(), name.size() * sizeof(char16_t));
    return addProcessFilterRule(&rule, first);
  };
  for (const Row& row : rows) ASSERT_EQ(add(row.name, false), kOk);
  const auto received = sim.processRules();
  ASSERT_EQ(received.size(), std::size(rows));
  for (size_t i = 0; i < received.size(); ++i) EXPECT_TRUE(received[i].processName == rows[i].sent) << i;

  ASSERT_EQ(add(u"First.exe", true), kOk);
  EXPECT_TRUE(sim.processRules().front().processName == u"first.exe");
  EXPECT_EQ(addProcessFilterRule(nullptr, true), kFailed);
}

// Raw IP goes out as options and packet unless flagged; the driver's write
// faults give their status, and a write it never completes ends when the
// library stops.
TEST_F(DriverOps, WritesAndTheirFaults) {
  start();
  IpOptions options{};
  options.reserved[0] = 0x45;
  options.flags = 1;
  EXPECT_EQ(ipInjectSend("packet", 6, &options), kOk);
  EXPECT_EQ(ipInjectReceive("packet", 6, &options), kOk);
  EXPECT_TRUE(sim.written().empty());
  options.flags = 0;
  EXPECT_EQ(ipInjectSend("packet", 6, &options), kOk);
  EXPECT_EQ(ipInjectReceive("in", 2, &options), kOk);
  const auto sent = sim.written(kIpSend);
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].payload.size(), 22u + 6u);
  EXPECT_EQ(sent[0].payload[0], 0x45);
  EXPECT_EQ(sent[0].text().substr(22), "packet");
  EXPECT_EQ(sim.written(kIpReceive).size(), 1u);
  // A record that cannot fit the outbound buffer is not written at all.
  const std::string huge((1 << 20) + 1, 'p');
  EXPECT_EQ(ipInjectSend(huge.data(), static_cast<int>(huge.size()), &options), kNoRoom);
  EXPECT_EQ(sim.writtenCount(kIpSend), 1u);

  sim.setWriteMode(simdrv::WriteMode::Refuse);
  EXPECT_EQ(deleteFilterRules(), kNoRoom);
  sim.setWriteMode(simdrv::WriteMode::NoRoom);
  EXPECT_EQ(deleteFilterRules(), kFailed);
  sim.setWriteMode(simdrv::WriteMode::Accept);
  EXPECT_EQ(deleteFilterRules(), kOk);
  sim.setWriteMode(simdrv::WriteMode::Hold);
  std::atomic<int> status{1};
  std::thread writer([&] { status = deleteFilterRules(); });
  ASSERT_TRUE(lumotest::waitFor([&] { return sim.heldWrites() == 1; }));
  freeDriver();
  writer.join();
  EXPECT_EQ(status.load(), kFailed);
  EXPECT_EQ(sim.heldWrites(), 0u);
}

TEST_F(DriverOps, ProcessPathsFromTheDriverAndOfThisProcess) {
  char16_t buffer[300];
  EXPECT_EQ(getProcessImagePath(1200, buffer, 300), 0);  // not initialised
  start();
  platform::setLastError(0);
  EXPECT_EQ(getProcessImagePath(1200, buffer, 259), 0);
  EXPECT_EQ(platform::lastError(), platform::kErrorNotEnoughMemory);

  // No volume is called this, so the path is kept as the driver gave it.
  const std::u16string path = u"\\Device\\SimVolume9\\Games\\game.exe";
  sim.setProcessImage(1200, path);
  ASSERT_EQ(getProcessImagePath(1200, buffer, 300), 1);
  EXPECT_TRUE(std::u16string(buffer) == path);
  EXPECT_EQ(getProcessImagePath(1201, buffer, 300), 0);
  sim.setProcessImage(1202, std::u16string(300, u'a'));  // does not fit
  EXPECT_EQ(getProcessImagePath(1202, buffer, 300), 0);

  const int n = getProcessModulePath(platform::currentProcessId(), buffer, 300);
  ASSERT_GT(n, 0);
  EXPECT_NE(std::u16string(buffer, static_cast<size_t>(n)).find(u"drvapi_tests"), std::u16string::npos);
  EXPECT_EQ(getProcessModulePath(platform::currentProcessId(), buffer, 3), 0);
}

}  // namespace
}  // namespace drvtest
