// Socks5Connect against a third-party SOCKS5 server, microsocks, reaching a
// local echo server.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "loopback_peers.h"
#include "platform/owned_socket.h"
#include "support/program.h"
#include "support/test_support.h"
#include "tcp/socks5_client.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLoopback = platform::ipv4(127, 0, 0, 1);

// Socks5Connect on a new socket through the server on 127.0.0.1:port; the
// socket is the caller's to close.
uint32_t connectThrough(uint16_t port, const platform::SocketAddress& destination, const char* password,
                        platform::OwnedSocket& socket, int32_t& detail) {
  socket.reset(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream));
  return tcp::Socks5Connect(platform::kFamilyIpv4, socket.get(), destination, kLoopback,
                            platform::hostToNet16(port), "player", password, detail);
}

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
  lumotest::Program microsocks;
  std::string error;
  ASSERT_TRUE(microsocks.start(
      {program, "-i", "127.0.0.1", "-p", std::to_string(port), "-u", "player", "-P", "12345"}, {}, error))
      << error;
  // It prints nothing when ready: wait until it accepts connections.
  ASSERT_TRUE(lumotest::waitFor([&] {
    return platform::OwnedSocket(lumotest::connectLoopback(port)).valid();
  })) << microsocks.errors();

  platform::SocketAddress destination = platform::makeIpv4Address(kLoopback, platform::hostToNet16(echo.port()));
  platform::OwnedSocket socket;
  int32_t detail = 0;
  ASSERT_EQ(connectThrough(port, destination, "12345", socket, detail), tcp::kSocks5Ok) << detail;
  EXPECT_EQ(lumotest::roundTrip(socket.get(), {'i', 'n', 't', 'e', 'r', 'o', 'p'}),
            (Bytes{'i', 'n', 't', 'e', 'r', 'o', 'p'}));

  EXPECT_EQ(connectThrough(port, destination, "wrong", socket, detail), tcp::kSocks5Refused);
  // Version 01 and a non-zero status (microsocks answers 01 02).
  EXPECT_EQ(detail & 0xFF, 0x01) << detail;
  EXPECT_NE(detail >> 8, 0) << detail;
  microsocks.stop();
}

}  // namespace
