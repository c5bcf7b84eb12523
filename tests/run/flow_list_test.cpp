// lumo-run's list of flows: the lines it prints for the driver's records,
// replies that do not hold together, and the reader against a stand-in for
// the driver's capture socket.
#include "flow_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

namespace wire = capture::wire;

wire::Endpoint endpoint(const char* address, uint16_t port) {
  in_addr a{};
  inet_pton(AF_INET, address, &a);
  return wire::endpoint(a.s_addr, htons(port));
}

// A record; `counts` are up datagrams, up bytes, down datagrams, down bytes.
wire::FlowRecord record(const char* program, uint32_t pid, uint8_t protocol, uint8_t decision,
                        wire::Endpoint local = {}, wire::Endpoint remote = {},
                        std::array<uint64_t, 4> counts = {}, uint32_t ageMs = 0) {
  wire::FlowRecord r{};
  std::strncpy(r.program, program, sizeof r.program);
  r.pid = pid;
  r.protocol = protocol;
  r.decision = decision;
  r.local = local;
  r.remote = remote;
  r.upDatagrams = counts[0];
  r.upBytes = counts[1];
  r.downDatagrams = counts[2];
  r.downBytes = counts[3];
  r.ageMs = ageMs;
  return r;
}

std::vector<uint8_t> reply(const std::vector<wire::FlowRecord>& records, uint32_t total, uint16_t flags = 0) {
  const wire::FlowsReply head{wire::header(wire::kFlowsReply, 0), total,
                              static_cast<uint16_t>(records.size()), flags};
  std::vector<uint8_t> bytes(sizeof head + records.size() * sizeof(wire::FlowRecord));
  std::memcpy(bytes.data(), &head, sizeof head);
  if (!records.empty())
    std::memcpy(bytes.data() + sizeof head, records.data(), records.size() * sizeof records[0]);
  return bytes;
}

TEST(FlowList, EachFlowIsOneLineOfWhatTheDriverSays) {
  wire::FlowRecord tcp = record("curl", 1234, 6, wire::kDecisionRelayed, endpoint("10.0.0.2", 40112),
                                endpoint("203.0.113.5", 8000), {0, 87, 0, 8 << 20}, 3400);
  tcp.target = endpoint("127.0.0.1", 50001);
  const wire::FlowRecord udp = record("socat", 1240, 17, wire::kDecisionReported, endpoint("10.0.0.2", 5000),
                                      endpoint("203.0.113.5", 7000), {1000, 64000, 999, 63936}, 125000);
  wire::FlowRecord ping = record("lumo-ping\x1b[2J", 7, 1, wire::kDecisionStraight, endpoint("10.0.0.2", 0),
                                 endpoint("198.51.100.20", 0), {3, 192, 0, 0}, 7300000);
  ping.flags = wire::kFlowClosed;
  const wire::FlowRecord refused =
      record("", 9, 6, wire::kDecisionRefused, endpoint("10.0.0.2", 40113), endpoint("203.0.113.66", 80));
  // Every byte of the name field used: no terminating zero to rely on.
  wire::FlowRecord waiting = record("", 10, 6, wire::kDecisionWaiting);
  std::memset(waiting.program, 'x', sizeof waiting.program);

  run::FlowList list;
  std::string error;
  const std::vector<uint8_t> bytes = reply({tcp, udp, ping, refused, waiting}, 5);
  ASSERT_TRUE(run::parseFlowList(bytes.data(), bytes.size(), list, error)) << error;
  const std::vector<std::string> expected = {
      "lumo: flows (from lumo-driver): 5",
      "  tcp  curl[1234]  10.0.0.2:40112 -> 203.0.113.5:8000  via relay 127.0.0.1:50001  up 87 B down 8.0 "
      "MiB  3s",
      "  udp  socat[1240]  10.0.0.2:5000 -> 203.0.113.5:7000  through the library  up 1000 dgrams 62.5 KiB "
      "down 999 dgrams 62.4 KiB  2m05s",
      "  icmp  lumo-ping?[2J[7]  10.0.0.2 -> 198.51.100.20  straight  up 3 msgs 192 B down 0 msgs 0 B  2h01m "
      " closed",
      "  tcp  ?[9]  10.0.0.2:40113 -> 203.0.113.66:80  refused  up 0 B down 0 B  0s",
      "  tcp  " + std::string(32, 'x') + "[10]  0.0.0.0:0 -> -  waiting for a verdict  up 0 B down 0 B  0s",
  };
  EXPECT_EQ(run::flowListLines(list), expected);

  // A list the driver had to cut, and an empty one.
  const std::vector<uint8_t> cut = reply({tcp}, 700, wire::kFlowsTruncated);
  ASSERT_TRUE(run::parseFlowList(cut.data(), cut.size(), list, error)) << error;
  EXPECT_EQ(run::flowListLines(list)[0], "lumo: flows (from lumo-driver): 1 of 700 shown");
  const std::vector<uint8_t> none = reply({}, 0);
  ASSERT_TRUE(run::parseFlowList(none.data(), none.size(), list, error)) << error;
  EXPECT_EQ(run::flowListLines(list), std::vector<std::string>{"lumo: flows (from lumo-driver): none"});
}

TEST(FlowList, RepliesThatDoNotHoldTogetherAreRefused) {
  const std::vector<uint8_t> good = reply({record("a", 1, 6, 1), record("b", 2, 17, 4)}, 2);
  run::FlowList list;
  std::string error;
  ASSERT_TRUE(run::parseFlowList(good.data(), good.size(), list, error)) << error;

  // Cut anywhere, or one byte longer: the records no longer fill it.
  for (size_t size = 0; size < good.size(); ++size)
    EXPECT_FALSE(run::parseFlowList(good.data(), size, list, error)) << "cut at " << size;
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_FALSE(run::parseFlowList(longer.data(), longer.size(), list, error));

  struct Row {
    const char* what;
    size_t offset;
    uint8_t value;
  } rows[] = {
      {"a count that claims one more", offsetof(wire::FlowsReply, count), 3},
      {"another type", offsetof(wire::Header, type), wire::kWelcome},
      {"reserved header bits", offsetof(wire::Header, reserved), 1},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> bad = good;
    bad[row.offset] = row.value;
    EXPECT_FALSE(run::parseFlowList(bad.data(), bad.size(), list, error)) << row.what;
  }
}

// A SEQPACKET listener standing for the driver's capture socket.
class FakeCaptureSocket {
 public:
  explicit FakeCaptureSocket(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 4) == 0;
  }
  ~FakeCaptureSocket() {
    if (client_ >= 0) close(client_);
    close(fd_);
  }
  bool ok() const { return ok_; }
  // Takes the client's connection and its request; false if either is not
  // there or the request is not a FlowsRequest.
  bool takeRequest() {
    if (client_ < 0) client_ = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    wire::Hello request{};
    return client_ >= 0 && recv(client_, &request, sizeof request + 1, 0) == sizeof request &&
           request.header.type == wire::kFlowsRequest && request.magic == wire::kMagic;
  }
  void answer(const std::vector<uint8_t>& bytes) { send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

 private:
  int fd_ = -1;
  int client_ = -1;
  bool ok_ = false;
};

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return fd >= 0 && poll(&p, 1, 5000) == 1;
}

TEST(FlowListReader, AsksWithoutWaitingAndSaysWhenTheDriverDoesNotAnswer) {
  lumotest::TempDir dir;
  const std::string path = (dir.path() / "capture").string();
  run::FlowListReader reader(path);
  std::vector<std::string> lines = reader.ask();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "lumo: flows: lumo-driver does not answer on " + path + " (No such file or directory)");
  EXPECT_EQ(reader.descriptor(), -1);

  FakeCaptureSocket driver(path);
  ASSERT_TRUE(driver.ok());
  EXPECT_TRUE(reader.ask().empty());
  ASSERT_TRUE(driver.takeRequest());
  driver.answer(reply({record("curl", 5, 6, wire::kDecisionAsAsked)}, 1));
  ASSERT_TRUE(readable(reader.descriptor()));
  lines = reader.read();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "lumo: flows (from lumo-driver): 1");
  EXPECT_EQ(reader.descriptor(), -1) << "nothing awaited once answered";

  // The same connection serves the next request; an answer that does not
  // come by the next one is said, and the connection made anew.
  EXPECT_TRUE(reader.ask().empty());
  ASSERT_TRUE(driver.takeRequest());
  lines = reader.ask();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "lumo: flows: lumo-driver did not answer within a second");

  // A malformed answer is said in one line.
  FakeCaptureSocket other((dir.path() / "other").string());
  run::FlowListReader second((dir.path() / "other").string());
  EXPECT_TRUE(second.ask().empty());
  ASSERT_TRUE(other.takeRequest());
  other.answer({1, 2, 3});
  ASSERT_TRUE(readable(second.descriptor()));
  lines = second.read();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("lumo: flows: lumo-driver's answer is malformed: ", 0), 0u) << lines[0];
}

}  // namespace
