// lumo-ping: a small ping over ICMP datagram sockets (SOCK_DGRAM,
// IPPROTO_ICMP), so that it runs without privileges or file capabilities and
// can carry liblumo-capture.so (the system's ping cannot: a program with
// file capabilities ignores LD_PRELOAD).
//
//   lumo-ping [-c COUNT] [-i INTERVAL_S] [-W TIMEOUT_S] HOST
//
// Sends COUNT echo requests (default 4) INTERVAL_S seconds apart (default 1),
// waits up to TIMEOUT_S seconds (default 2) after the last one, prints one
// line per reply ("N bytes from ADDR: icmp_seq=S time=T ms") and a summary,
// and exits with 0 when at least one reply came, 1 when none did, 2 on a
// usage or system error. An ICMP datagram socket needs the caller's group in
// net.ipv4.ping_group_range; the system rewrites the echo identifier to the
// socket's own, so replies are told apart by their sequence number.
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// ICMP echo (RFC 792): type, code, checksum, identifier, sequence, data.
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;
constexpr size_t kEchoHeader = 8;
constexpr size_t kPayload = 56;  // 64 bytes of ICMP, as the system's ping sends

struct Options {
  long count = 4;
  double interval = 1.0;
  double timeout = 2.0;
  std::string host;
};

int usage(const char* why) {
  std::fprintf(stderr, "lumo-ping: %s\nusage: lumo-ping [-c COUNT] [-i INTERVAL_S] [-W TIMEOUT_S] HOST\n",
               why);
  return 2;
}

// A positive number from the whole of `text` (the C locale's decimal point).
bool positive(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && out > 0;
}

// RFC 1071 checksum. A ping socket's system fills it in anyway; a request
// carries a valid one all the same.
uint16_t checksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (length % 2 != 0) sum += static_cast<uint32_t>(data[length - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

std::vector<uint8_t> echoRequest(uint16_t sequence) {
  std::vector<uint8_t> m(kEchoHeader + kPayload);
  m[0] = kEchoRequest;
  const uint16_t id = static_cast<uint16_t>(::getpid());
  m[4] = static_cast<uint8_t>(id >> 8);
  m[5] = static_cast<uint8_t>(id);
  m[6] = static_cast<uint8_t>(sequence >> 8);
  m[7] = static_cast<uint8_t>(sequence);
  for (size_t i = kEchoHeader; i < m.size(); ++i) m[i] = static_cast<uint8_t>(i);
  const uint16_t sum = checksum(m.data(), m.size());
  m[2] = static_cast<uint8_t>(sum >> 8);
  m[3] = static_cast<uint8_t>(sum);
  return m;
}

std::string addressText(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = {};
  const auto* b = reinterpret_cast<const uint8_t*>(&a.sin_addr.s_addr);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int opt;
  while ((opt = ::getopt(argc, argv, "c:i:W:")) != -1) {
    double value;
    switch (opt) {
      case 'c':
        if (!positive(optarg, value) || value != static_cast<long>(value) || value > 65535)
          return usage("COUNT is a whole number from 1 to 65535");
        o.count = static_cast<long>(value);
        break;
      case 'i':
        if (!positive(optarg, value) || value > 3600)
          return usage("INTERVAL_S is a positive number of seconds");
        o.interval = value;
        break;
      case 'W':
        if (!positive(optarg, value) || value > 3600)
          return usage("TIMEOUT_S is a positive number of seconds");
        o.timeout = value;
        break;
      default:
        return usage("unknown option");
    }
  }
  if (optind + 1 != argc) return usage("one HOST");
  o.host = argv[optind];

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (const int error = ::getaddrinfo(o.host.c_str(), nullptr, &hints, &found); error != 0) {
    std::fprintf(stderr, "lumo-ping: %s: %s\n", o.host.c_str(), ::gai_strerror(error));
    return 2;
  }
  sockaddr_in to{};
  std::memcpy(&to, found->ai_addr, sizeof to);
  ::freeaddrinfo(found);

  const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
  if (fd < 0) {
    if (errno == EACCES || errno == EPERM)
      std::fprintf(
          stderr,
          "lumo-ping: ICMP datagram sockets are not allowed for this group (net.ipv4.ping_group_range)\n");
    else
      std::fprintf(stderr, "lumo-ping: socket: %s\n", std::strerror(errno));
    return 2;
  }
  const std::string target = addressText(to);
  std::printf("PING %s (%s) %zu bytes of data.\n", o.host.c_str(), target.c_str(), kPayload);
  std::fflush(stdout);

  std::map<uint16_t, Clock::time_point> pending;  // sequence → when sent
  long sent = 0, received = 0;
  double minMs = 0, maxMs = 0, sumMs = 0;
  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.interval));
  const auto timeout = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeout));
  Clock::time_point nextSend = Clock::now();
  Clock::time_point end = Clock::time_point::max();
  std::vector<uint8_t> buffer(65536);
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (sent < o.count && now >= nextSend) {
      const uint16_t sequence = static_cast<uint16_t>(sent + 1);
      const std::vector<uint8_t> request = echoRequest(sequence);
      if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) <
          0)
        std::fprintf(stderr, "lumo-ping: sendto: %s\n", std::strerror(errno));
      pending[sequence] = Clock::now();
      ++sent;
      nextSend += interval;
      if (sent == o.count) end = Clock::now() + timeout;
    }
    if (Clock::now() >= end || (sent == o.count && pending.empty())) break;
    const Clock::time_point wake = std::min(sent < o.count ? nextSend : end, end);
    const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, waitMs)));
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "lumo-ping: poll: %s\n", std::strerror(errno));
      break;
    }
    if (ready <= 0) continue;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < static_cast<ssize_t>(kEchoHeader) || buffer[0] != kEchoReply) continue;
    const uint16_t sequence = static_cast<uint16_t>(buffer[6] << 8 | buffer[7]);
    auto it = pending.find(sequence);
    if (it == pending.end()) continue;  // not ours, or a duplicate
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - it->second).count();
    pending.erase(it);
    minMs = received == 0 ? ms : std::min(minMs, ms);
    maxMs = received == 0 ? ms : std::max(maxMs, ms);
    sumMs += ms;
    ++received;
    std::printf("%zd bytes from %s: icmp_seq=%u time=%.3f ms\n", n, addressText(from).c_str(), sequence, ms);
    std::fflush(stdout);
  }
  ::close(fd);

  std::printf("--- %s ping statistics ---\n", o.host.c_str());
  std::printf("%ld packets transmitted, %ld received, %ld%% packet loss\n", sent, received,
              sent == 0 ? 0 : (sent - received) * 100 / sent);
  if (received > 0)
    std::printf("rtt min/avg/max = %.3f/%.3f/%.3f ms\n", minMs, sumMs / static_cast<double>(received), maxMs);
  return received > 0 ? 0 : 1;
}
