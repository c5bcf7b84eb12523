// Socks5Connect against a third-party SOCKS5 server, microsocks, reaching a
// local echo server.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "loopback_peers.h"
#include "support/test_support.h"
#include "tcp/socks5_client.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLoopback = platform::ipv4(127, 0, 0, 1);

using Connected = lumotest::Socks5Connected;
using lumotest::roundTrip;
using lumotest::socks5ThroughLoopback;

// microsocks, Debian's small SOCKS5 server, as a peer the engine did not
// write. It connects wherever it is asked, so the only destination used here
// is the echo server on 127.0.0.1.
TEST(Socks5ConnectWithMicrosocks, ReachesALoopbackEchoServer) {
  const std::string program = "/usr/bin/microsocks";
  if (!std::filesystem::exists(program)) {
    GTEST_SKIP() << "microsocks is not installed (Debian package microsocks); interop test skipped";
  }
  lumotest::EchoServer echo;
  ASSERT_TRUE(echo.listening());
  uint16_t port = lumotest::unusedLoopbackPort();
  lumotest::ChildProcess microsocks;
  std::string error;
  ASSERT_TRUE(microsocks.start(program, {"-i", "127.0.0.1", "-p", std::to_string(port), "-u", "player", "-P",
                                         "12345"},
                               error))
      << error;
  // It prints nothing when ready: wait until it accepts connections.
  ASSERT_TRUE(lumotest::waitFor([&] {
    platform::Socket probe = lumotest::connectLoopback(port);
    platform::closeSocket(probe);
    return probe != platform::kInvalidSocket;
  }))
      << microsocks.errorOutput();

  platform::SocketAddress destination = platform::makeIpv4Address(kLoopback, platform::hostToNet16(echo.port()));
  Connected connected = socks5ThroughLoopback(port, destination, "player", "12345");
  ASSERT_EQ(connected.result, tcp::kSocks5Ok) << connected.detail;
  EXPECT_EQ(roundTrip(connected.socket, {'i', 'n', 't', 'e', 'r', 'o', 'p'}), (Bytes{'i', 'n', 't', 'e', 'r', 'o', 'p'}));
  platform::closeSocket(connected.socket);

  Connected refused = socks5ThroughLoopback(port, destination, "player", "wrong");
  platform::closeSocket(refused.socket);
  EXPECT_EQ(refused.result, tcp::kSocks5Refused);
  // Version 01 and a non-zero status (microsocks answers 01 02).
  EXPECT_EQ(refused.detail & 0xFF, 0x01) << refused.detail;
  EXPECT_NE(refused.detail >> 8, 0) << refused.detail;
  microsocks.stop();
}

}  // namespace
