// lumo-peer: the servers that third-party programs talk to in the demo and in
// the end-to-end tests, standing where a game's servers would stand.
//
//   lumo-peer http ADDRESS:PORT      HTTP/1.0 server: "GET /N" answers N bytes
//                                     (at most 1 GiB) of a pattern that
//                                     `lumo-peer pattern N` also prints, so a
//                                     client's copy can be compared byte for
//                                     byte; any other request gets 404
//   lumo-peer udp-echo ADDRESS:PORT  sends every datagram back to its source
//   lumo-peer pattern N              writes the N-byte pattern to stdout
//   lumo-peer drip N SIZE            writes the pattern to stdout in N chunks of
//                                     SIZE bytes, one per millisecond (a UDP
//                                     client such as socat -b SIZE then sends
//                                     one datagram per chunk, paced so that no
//                                     socket buffer overflows on the way back)
//
// PORT 0 picks a free port. A server prints "listening ADDRESS:PORT" on
// stdout once it takes traffic, then serves until it is killed; the HTTP
// server names each client on stderr. Loopback or a
// test's own network namespace only: the address is whatever the caller gives,
// never a wildcard by default.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr uint64_t kMaxBody = uint64_t{1} << 30;

// The byte at `offset` of the pattern: printable, and never the same for two
// offsets less than 251 apart, so a lost or doubled chunk shows.
inline char patternByte(uint64_t offset) { return static_cast<char>('!' + (offset * 7 + offset / 251) % 94); }

void fillPattern(char* out, uint64_t offset, size_t size) {
  for (size_t i = 0; i < size; ++i) out[i] = patternByte(offset + i);
}

bool parseAddress(const char* text, sockaddr_in& address) {
  std::string s(text);
  const size_t colon = s.rfind(':');
  if (colon == std::string::npos) return false;
  address = {};
  address.sin_family = AF_INET;
  if (inet_pton(AF_INET, s.substr(0, colon).c_str(), &address.sin_addr) != 1) return false;
  char* end = nullptr;
  const unsigned long port = std::strtoul(s.c_str() + colon + 1, &end, 10);
  if (end == s.c_str() + colon + 1 || *end != '\0' || port > 65535) return false;
  address.sin_port = htons(static_cast<uint16_t>(port));
  return true;
}

int bindSocket(int type, const sockaddr_in& address) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void announce(int fd) {
  sockaddr_in bound{};
  socklen_t size = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &bound.sin_addr, text, sizeof text);
  std::printf("listening %s:%u\n", text, ntohs(bound.sin_port));
  std::fflush(stdout);
}

bool sendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// One HTTP exchange: reads the request head (up to 8 KiB), answers, closes.
void serveHttp(int fd) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    head.append(buffer, static_cast<size_t>(got));
  }
  uint64_t size = 0;
  bool found = false;
  if (head.compare(0, 5, "GET /") == 0) {
    const char* digits = head.c_str() + 5;
    char* end = nullptr;
    size = std::strtoull(digits, &end, 10);
    found = end != digits && (*end == ' ' || *end == '?') && size <= kMaxBody;
  }
  if (!found) {
    static const char kNotFound[] =
        "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    sendAll(fd, kNotFound, sizeof kNotFound - 1);
  } else {
    const std::string answer =
        "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
        std::to_string(size) + "\r\nConnection: close\r\n\r\n";
    bool ok = sendAll(fd, answer.data(), answer.size());
    static char chunk[64 * 1024];
    for (uint64_t offset = 0; ok && offset < size;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, size - offset));
      fillPattern(chunk, offset, n);
      ok = sendAll(fd, chunk, n);
      offset += n;
    }
  }
  shutdown(fd, SHUT_WR);
  // Let the client read to the end before the close, so no reset cuts it.
  while (recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
  close(fd);
}

int runHttp(const sockaddr_in& address) {
  const int listener = bindSocket(SOCK_STREAM, address);
  if (listener < 0 || listen(listener, 64) != 0) {
    std::fprintf(stderr, "lumo-peer: cannot listen: %s\n", std::strerror(errno));
    return 1;
  }
  announce(listener);
  for (;;) {
    sockaddr_in client{};
    socklen_t clientSize = sizeof client;
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&client), &clientSize, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::fprintf(stderr, "lumo-peer: accept: %s\n", std::strerror(errno));
      return 1;
    }
    // Who connected tells a steered connection (from the node) from a direct one.
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &client.sin_addr, text, sizeof text);
    std::fprintf(stderr, "lumo-peer: http connection from %s:%u\n", text, ntohs(client.sin_port));
    std::thread(serveHttp, fd).detach();
  }
}

int runUdpEcho(const sockaddr_in& address) {
  const int fd = bindSocket(SOCK_DGRAM, address);
  if (fd < 0) {
    std::fprintf(stderr, "lumo-peer: cannot bind: %s\n", std::strerror(errno));
    return 1;
  }
  const int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  announce(fd);
  static char datagram[65536];
  for (;;) {
    sockaddr_in from{};
    socklen_t fromSize = sizeof from;
    const ssize_t got =
        recvfrom(fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "lumo-peer: recvfrom: %s\n", std::strerror(errno));
      return 1;
    }
    sendto(fd, datagram, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr*>(&from), fromSize);
  }
}

int runPattern(const char* sizeText) {
  char* end = nullptr;
  const uint64_t size = std::strtoull(sizeText, &end, 10);
  if (end == sizeText || *end != '\0' || size > kMaxBody) return 2;
  static char chunk[64 * 1024];
  for (uint64_t offset = 0; offset < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, size - offset));
    fillPattern(chunk, offset, n);
    if (std::fwrite(chunk, 1, n, stdout) != n) return 1;
    offset += n;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int runDrip(const char* countText, const char* sizeText) {
  char* end = nullptr;
  const uint64_t count = std::strtoull(countText, &end, 10);
  if (end == countText || *end != '\0') return 2;
  const uint64_t size = std::strtoull(sizeText, &end, 10);
  if (end == sizeText || *end != '\0' || size == 0 || size > 65507) return 2;
  std::string chunk(size, '\0');
  for (uint64_t i = 0; i < count; ++i) {
    fillPattern(chunk.data(), i * size, chunk.size());
    if (std::fwrite(chunk.data(), 1, chunk.size(), stdout) != chunk.size() || std::fflush(stdout) != 0)
      return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}

int usage() {
  std::fputs("usage: lumo-peer http ADDRESS:PORT | udp-echo ADDRESS:PORT | pattern N | drip N SIZE\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "drip") return runDrip(argv[2], argv[3]);
  if (argc != 3) return usage();
  const std::string mode = argv[1];
  if (mode == "pattern") return runPattern(argv[2]);
  sockaddr_in address{};
  if (!parseAddress(argv[2], address)) {
    std::fprintf(stderr, "lumo-peer: not an IPv4 ADDRESS:PORT: %s\n", argv[2]);
    return 2;
  }
  if (mode == "http") return runHttp(address);
  if (mode == "udp-echo") return runUdpEcho(address);
  return usage();
}
