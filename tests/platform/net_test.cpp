// The socket layer: engine-layout addresses, error names and options, on
// 127.0.0.1; and the system's DNS server list. (Waits over several sockets
// are the relay's pump and the blocking DNS client's, tested with them.)
#include "platform/net.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <utility>

#include "platform/netinfo.h"
#include "support/test_support.h"

using namespace platform;

namespace {

const uint32_t kLoopback = ipv4(127, 0, 0, 1);

// A bound socket on 127.0.0.1 with a system-chosen port.
Socket boundLoopback(SocketType type, uint16_t* portNet) {
  Socket s = openSocket(kFamilyIpv4, type);
  if (s == kInvalidSocket) return s;
  setExclusiveAddress(s);
  if (!bindSocket(s, makeIpv4Address(kLoopback, 0))) {
    closeSocket(s);
    return kInvalidSocket;
  }
  SocketAddress local;
  localAddressOf(s, local);
  *portNet = local.port();
  return s;
}

}  // namespace

TEST(NetAddress, Ipv4TextIsStrictDottedDecimal) {
  struct Row {
    const char* text;
    uint32_t expected;
  } rows[] = {
      {"127.0.0.1", ipv4(127, 0, 0, 1)},
      {"8.8.8.8", ipv4(8, 8, 8, 8)},
      {"255.255.255.255", 0xFFFFFFFFu},
      {"0.0.0.0", 0},
      {"256.1.1.1", 0xFFFFFFFFu},
      {"1.2.3", 0xFFFFFFFFu},
      {"1.2.3.4.5", 0xFFFFFFFFu},
      {"1.2.3.4 ", 0xFFFFFFFFu},
      {" 1.2.3.4", 0xFFFFFFFFu},
      {"1..3.4", 0xFFFFFFFFu},
      {"0001.2.3.4", 0xFFFFFFFFu},
      {"", 0xFFFFFFFFu},
      {"a.b.c.d", 0xFFFFFFFFu},
      // Leading zeros: the classic conversion reads "010" as 8, so neither
      // reading is taken.
      {"010.1.2.3", 0xFFFFFFFFu},
      {"1.2.3.00", 0xFFFFFFFFu},
      {"10.0.0.10", ipv4(10, 0, 0, 10)},
  };
  for (const Row& r : rows) EXPECT_EQ(inetAddr(r.text), r.expected) << r.text;
  EXPECT_EQ(inetAddr(nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(ipv4ToText(ipv4(203, 0, 113, 5)), "203.0.113.5");
  uint32_t address = 0;
  EXPECT_TRUE(parseIpv4("255.255.255.255", address));  // an address, though inetAddr cannot tell it
  EXPECT_EQ(address, 0xFFFFFFFFu);

  struct NetworkRow {
    const char* text;
    bool valid;
    uint32_t address;
    uint32_t prefix;
  } networks[] = {
      {"203.0.113.0/24", true, ipv4(203, 0, 113, 0), 24},
      {"203.0.113.5", true, ipv4(203, 0, 113, 5), 32},
      {"0.0.0.0/0", true, 0, 0},
      {"203.0.113.0/32", true, ipv4(203, 0, 113, 0), 32},
      {"203.0.113.0/33", false, 0, 0},
      {"203.0.113.0/", false, 0, 0},
      {"203.0.113.0/08", false, 0, 0},
      {"203.0.113.0/100", false, 0, 0},
      {"203.0.113.0/-1", false, 0, 0},
      {"203.0.113/24", false, 0, 0},
      {"/24", false, 0, 0},
  };
  for (const NetworkRow& r : networks) {
    uint32_t network = 7, prefix = 7;
    EXPECT_EQ(parseIpv4Network(r.text, network, prefix), r.valid) << r.text;
    if (!r.valid) continue;
    EXPECT_EQ(std::pair(network, prefix), std::pair(r.address, r.prefix)) << r.text;
  }
}

TEST(NetAddress, EngineLayoutDriverFieldsAndIpv4FromIpv6AndBack) {
  SocketAddress a = makeIpv4Address(ipv4(198, 51, 100, 7), hostToNet16(7000));
  const uint8_t expected4[16] = {2, 0, 0x1B, 0x58, 198, 51, 100, 7, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(a.bytes, expected4, 16));
  EXPECT_EQ(a.length(), 16u);

  SocketAddress b;
  ASSERT_TRUE(parseSocketAddress("::1", hostToNet16(53), b));
  EXPECT_EQ(b.family(), 23);  // the engine's number, never Linux's 10
  EXPECT_EQ(b.bytes[0], 23);
  EXPECT_EQ(b.port(), hostToNet16(53));
  EXPECT_EQ(b.ipv6()[15], 1);
  EXPECT_EQ(b.length(), 28u);
  EXPECT_EQ(addressToText(b), "::1");
  EXPECT_FALSE(parseSocketAddress("example.org", 0, b));
  EXPECT_EQ(b.family(), 0);

  // The driver's 28-byte fields take only the two known families.
  uint8_t field[28];
  std::memset(field, 0xAB, sizeof field);
  toDriverAddress(a, field);
  for (int i = 16; i < 28; ++i) EXPECT_EQ(field[i], 0) << i;  // tail zeroed

  // An IPv4 field with garbage after its 16 bytes comes back clean.
  std::memset(field + 16, 0xCD, 12);
  SocketAddress back;
  ASSERT_TRUE(fromDriverAddress(field, back));
  EXPECT_EQ(0, std::memcmp(back.bytes, a.bytes, sizeof a.bytes));

  uint8_t six[16] = {0x20, 0x01, 0x0d, 0xb8};
  SocketAddress v6 = makeIpv6Address(six, hostToNet16(9), 5);
  toDriverAddress(v6, field);
  ASSERT_TRUE(fromDriverAddress(field, back));
  EXPECT_EQ(0, std::memcmp(back.bytes, v6.bytes, 28));

  field[0] = 10;  // Linux's AF_INET6 is not a driver family
  EXPECT_FALSE(fromDriverAddress(field, back));
  EXPECT_EQ(back.family(), 0);
  EXPECT_FALSE(fromDriverAddress(nullptr, back));

  // IPv4 from IPv6 and back.
  struct Row {
    uint8_t bytes[16];
    bool converts;
  } rows[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 1}, true},  // ::ffff:10.0.0.1
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 1}, true},        // ::10.0.0.1
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 10, 0, 0, 1}, true},     // the mixed form too
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE, 0xFF, 10, 0, 0, 1}, false},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0xFF, 10, 0, 0, 1}, false},
      {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 1}, false},
  };
  for (const Row& r : rows) {
    SocketAddress out;
    bool ok = ToIpv4SocketAddress(makeIpv6Address(r.bytes, hostToNet16(4000)), out);
    EXPECT_EQ(ok, r.converts) << int(r.bytes[10]) << "," << int(r.bytes[9]);
    if (!ok) continue;
    EXPECT_EQ(addressToText(out) + ":" + std::to_string(netToHost16(out.port())), "10.0.0.1:4000");
  }
  SocketAddress out;
  EXPECT_FALSE(ToIpv4SocketAddress(makeIpv4Address(ipv4(10, 0, 0, 1), 0), out));

  // The relay's and the redirector's address forms for the driver's two
  // families (TcpRedirect's tests use them for both) refuse any other.
  uint8_t bytes[16];
  uint16_t port = 0;
  SocketAddress sixAddress;
  ASSERT_TRUE(parseSocketAddress("2001:db8::9", 0x5000, sixAddress));
  EXPECT_FALSE(GetAddressAndPort(10, sixAddress, bytes, port));
  EXPECT_FALSE(GetAddressAndPort(2, sixAddress, bytes, port));
  MakeLoopbackAddress(10, 7, out);
  EXPECT_EQ(out.family(), 0);
  EXPECT_EQ(out.port(), 0);
}

TEST(NetSocket, TakenPortRefusedConnectAndEmptyReceiveGiveTheirErrors) {
  uint16_t port = 0;
  Socket first = boundLoopback(SocketType::Stream, &port);
  ASSERT_NE(first, kInvalidSocket);
  ASSERT_TRUE(listenSocket(first, 4));
  Socket s = openSocket(kFamilyIpv4, SocketType::Stream);
  ASSERT_NE(s, kInvalidSocket);
  // Even a socket that asks for address reuse must not land on the port.
  setReuseAddress(s, true);
  EXPECT_FALSE(bindSocket(s, makeIpv4Address(kLoopback, port)));
  NetError e = lastSocketError();
  EXPECT_TRUE(e == NetError::AddressInUse || e == NetError::AccessDenied) << netErrorName(e);

  // The port, just released: nobody listens there.
  closeSocket(first);
  ASSERT_TRUE(setNonBlocking(s, true));
  ASSERT_FALSE(connectSocket(s, makeIpv4Address(kLoopback, port))) << "connected to a port nobody listens on";
  NetError connectError = lastSocketError();
  EXPECT_TRUE(connectError == NetError::InProgress || connectError == NetError::WouldBlock ||
              connectError == NetError::ConnectionRefused)
      << netErrorName(connectError);
  if (connectError != NetError::ConnectionRefused) {
    SocketWait w{s, kWritable, 0};
    ASSERT_EQ(waitSockets(&w, 1, 10000), 1);
    EXPECT_NE(w.ready & kSocketError, 0u);
    EXPECT_EQ(pendingSocketError(s), NetError::ConnectionRefused);
  }
  closeSocket(s);

  // Receive time-out on a UDP socket with nothing to read.
  uint16_t udpPort = 0;
  Socket u = boundLoopback(SocketType::Datagram, &udpPort);
  ASSERT_TRUE(setReceiveTimeout(u, 50));
  char buf[4];
  EXPECT_EQ(receiveFrom(u, buf, sizeof buf, nullptr), -1);
  e = lastSocketError();
  EXPECT_TRUE(e == NetError::TimedOut || e == NetError::WouldBlock) << netErrorName(e);
  closeSocket(u);
}

#ifndef _WIN32
TEST(SystemDnsServers, LinuxReadsTheResolverConfiguration) {
  lumotest::TempDir dir;
  const auto path = dir.path() / "resolv.conf";
  std::ofstream(path) << "# local test file\nsearch game.test\nnameserver 127.0.0.53\n"
                         "nameserver ::1\nnameserver   127.0.0.54  \nnameserver nonsense\n";
  setResolverConfigPath(path.string());
  std::vector<uint32_t> servers;
  ASSERT_TRUE(systemDnsServers(servers));
  EXPECT_EQ(servers, (std::vector<uint32_t>{ipv4(127, 0, 0, 53), ipv4(127, 0, 0, 54)}));
  setResolverConfigPath((dir.path() / "missing").string());
  servers.clear();
  EXPECT_FALSE(systemDnsServers(servers));
  setResolverConfigPath("/etc/resolv.conf");
}
#endif
