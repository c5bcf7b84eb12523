// capture-probe: a small program that measures round trips the way a game
// feels them, so that bench/capture_bench.sh can run the very same program
// direct, talking to the node itself, and steered under lumo-run.
//
//   capture-probe udp DEST:PORT COUNT
//       64-byte datagrams to an echo server, one at a time, from one socket
//   capture-probe udp-tunnel NODE:PORT USERID DEST:PORT COUNT
//       the same datagrams wrapped in the node's tunnel header, sent to the
//       node's tunnel port (what the engine does for a steered datagram)
//   capture-probe tcp DEST:PORT COUNT
//       TCP set-up: connect, ask an HTTP server for an empty body, read to
//       the end (one connection at a time)
//   capture-probe tcp-socks NODE:PORT USER PASSWORD DEST:PORT COUNT
//       the same through the node's SOCKS5 service (user/password method)
//
// Prints one line: "<mode> n=COUNT p50_us=… p99_us=… lost=…". A reply that
// does not come within one second counts as lost. Exit 0 when every exchange
// succeeded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "udp/tunnel_header.h"

namespace {

using Clock = std::chrono::steady_clock;

bool parseAddress(const std::string& text, sockaddr_in& address) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  address = {};
  address.sin_family = AF_INET;
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1) return false;
  char* end = nullptr;
  const unsigned long port = std::strtoul(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port == 0 || port > 65535) return false;
  address.sin_port = htons(static_cast<uint16_t>(port));
  return true;
}

bool waitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1;
}

bool sendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool recvExactly(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    if (!waitReadable(fd, 1000)) return false;
    const ssize_t n = recv(fd, p, size, 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

struct Results {
  std::vector<double> micros;
  int lost = 0;

  int print(const char* mode) {
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) {
      return micros.empty() ? 0.0
                            : micros[std::min(micros.size() - 1, static_cast<size_t>(q * micros.size()))];
    };
    std::printf("%s n=%zu p50_us=%.1f p99_us=%.1f lost=%d\n", mode, micros.size() + lost, at(0.50), at(0.99),
                lost);
    return lost == 0 && !micros.empty() ? 0 : 1;
  }
  void add(Clock::time_point start) {
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
};

// 64-byte round trips; `wrap` puts the tunnel header before each datagram and
// expects the node's 20-byte reply header before the echo.
int udpRoundTrips(const sockaddr_in& to, int count, const sockaddr_in* tunnelDestination, uint32_t userId) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 1;
  Results results;
  uint8_t message[128];
  uint8_t reply[2048];
  for (int i = 0; i < count; ++i) {
    uint8_t payload[64];
    for (size_t b = 0; b < sizeof payload; ++b) payload[b] = static_cast<uint8_t>(i * 31 + b);
    size_t size = sizeof payload;
    const uint8_t* out = payload;
    if (tunnelDestination != nullptr) {
      size = UdpProxy::BuildTunnelMessage(message, sizeof message, userId, tunnelDestination->sin_port,
                                          tunnelDestination->sin_addr.s_addr,
                                          static_cast<uint64_t>(std::time(nullptr)), payload, sizeof payload);
      out = message;
    }
    const size_t header = tunnelDestination != nullptr ? UdpProxy::kReplyHeaderLength : 0;
    const Clock::time_point start = Clock::now();
    if (sendto(fd, out, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(size)) {
      ++results.lost;
      continue;
    }
    bool answered = false;
    while (!answered && waitReadable(fd, 1000)) {
      const ssize_t n = recv(fd, reply, sizeof reply, 0);
      // A late echo of an earlier datagram is skipped; only this one counts.
      answered = n == static_cast<ssize_t>(header + sizeof payload) &&
                 std::memcmp(reply + header, payload, sizeof payload) == 0;
    }
    if (answered)
      results.add(start);
    else
      ++results.lost;
  }
  close(fd);
  return results.print(tunnelDestination != nullptr ? "udp-tunnel" : "udp");
}

// SOCKS5 with the user/password method, then CONNECT to `destination`.
bool socksConnect(int fd, const std::string& user, const std::string& password,
                  const sockaddr_in& destination) {
  const uint8_t greeting[] = {5, 1, 2};
  uint8_t answer[10];
  if (!sendAll(fd, greeting, sizeof greeting) || !recvExactly(fd, answer, 2) || answer[1] != 2) return false;
  std::string auth;
  auth += '\x01';
  auth += static_cast<char>(user.size());
  auth += user;
  auth += static_cast<char>(password.size());
  auth += password;
  if (!sendAll(fd, auth.data(), auth.size()) || !recvExactly(fd, answer, 2) || answer[1] != 0) return false;
  uint8_t request[10] = {5, 1, 0, 1};
  std::memcpy(request + 4, &destination.sin_addr.s_addr, 4);
  std::memcpy(request + 8, &destination.sin_port, 2);
  return sendAll(fd, request, sizeof request) && recvExactly(fd, answer, 10) && answer[1] == 0;
}

int tcpSetups(const sockaddr_in& to, int count, const std::string* user, const std::string* password,
              const sockaddr_in* destination) {
  Results results;
  static const char kRequest[] = "GET /0 HTTP/1.0\r\n\r\n";
  for (int i = 0; i < count; ++i) {
    const Clock::time_point start = Clock::now();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    if (ok && destination != nullptr) ok = socksConnect(fd, *user, *password, *destination);
    ok = ok && sendAll(fd, kRequest, sizeof kRequest - 1);
    std::string answer;
    char buffer[1024];
    while (ok && waitReadable(fd, 1000)) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (ok && answer.compare(0, 12, "HTTP/1.0 200") == 0)
      results.add(start);
    else
      ++results.lost;
  }
  return results.print(destination != nullptr ? "tcp-socks" : "tcp");
}

int usage() {
  std::fputs(
      "usage: capture-probe udp DEST:PORT COUNT\n"
      "       capture-probe udp-tunnel NODE:PORT USERID DEST:PORT COUNT\n"
      "       capture-probe tcp DEST:PORT COUNT\n"
      "       capture-probe tcp-socks NODE:PORT USER PASSWORD DEST:PORT COUNT\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  sockaddr_in first{}, destination{};
  if (a.size() == 3 && (a[0] == "udp" || a[0] == "tcp") && parseAddress(a[1], first)) {
    const int count = std::atoi(a[2].c_str());
    return a[0] == "udp" ? udpRoundTrips(first, count, nullptr, 0)
                         : tcpSetups(first, count, nullptr, nullptr, nullptr);
  }
  if (a.size() == 5 && a[0] == "udp-tunnel" && parseAddress(a[1], first) && parseAddress(a[3], destination))
    return udpRoundTrips(first, std::atoi(a[4].c_str()), &destination,
                         static_cast<uint32_t>(std::strtoul(a[2].c_str(), nullptr, 10)));
  if (a.size() == 6 && a[0] == "tcp-socks" && parseAddress(a[1], first) && parseAddress(a[4], destination))
    return tcpSetups(first, std::atoi(a[5].c_str()), &a[2], &a[3], &destination);
  return usage();
}
