// capture_test_client COMMAND ADDR PORT [ARG...]: launched by the capture
// tests with liblumo-capture.so preloaded, it uses sockets as ordinary
// programs do and prints one fact per line ("local A:P" after a socket's
// first send, "error WHAT: REASON" and status 1 when a call fails). The
// commands are main()'s; each function says what it prints.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

int fail(const char* what) {
  std::printf("error %s: %s\n", what, std::strerror(errno));
  return 1;
}

std::string text(const sockaddr_in& a) {
  char address[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, address, sizeof address);
  return std::string(address) + ":" + std::to_string(ntohs(a.sin_port));
}

sockaddr_in endpoint(const char* address, const char* port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &a.sin_addr);
  a.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
  return a;
}

// "local A:P" (getsockname) or "peer A:P" (getpeername); false when the
// call fails.
bool print(const char* what, int fd) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  auto* name = std::strcmp(what, "peer") == 0 ? ::getpeername : ::getsockname;
  if (name(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return false;
  std::printf("%s %s\n", what, text(a).c_str());
  return true;
}

// How a datagram is waited for: poll, then recvfrom; a blocking recvfrom
// (the socket's SO_RCVTIMEO ends it); or, on a non-blocking socket, poll and
// recvfrom until a datagram comes (wake-ups without one not counted).
enum class Read { kAfterPoll, kBlocking, kNonBlocking };

// One datagram within `ms`, with its source; false on time-out.
bool receiveOne(int fd, int ms, std::string& data, sockaddr_in& from, Read read = Read::kAfterPoll) {
  char buffer[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (read != Read::kBlocking && ::poll(&p, 1, ms) != 1) return false;
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n >= 0) {
      data.assign(buffer, static_cast<size_t>(n));
      return true;
    }
    if (read != Read::kNonBlocking || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
  }
}

bool sendText(int fd, const sockaddr_in& to, const std::string& data) {
  return ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(data.size());
}

// Connects: "peer A:P"; sends "hello\n": "reply LINE".
int tcp(const sockaddr_in& to) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return fail("socket");
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return fail("connect");
  if (!print("peer", fd)) return fail("getpeername");
  print("local", fd);
  if (::send(fd, "hello\n", 6, MSG_NOSIGNAL) != 6) return fail("send");
  std::string line;
  char c;
  while (::recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
  std::printf("reply %s\n", line.c_str());
  ::close(fd);
  return 0;
}

// One datagram per TEXT, or per line of standard input when there is none,
// each followed by its reply, read as `read` says: "got DATA from A:P" or
// "timeout".
int udp(const sockaddr_in& to, char** texts, int count, Read read = Read::kAfterPoll) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | (read == Read::kNonBlocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) return fail("socket");
  const int waitMs = read == Read::kAfterPoll ? 5000 : 10000;  // a missing reply ends the test, not the run
  const timeval limit{waitMs / 1000, 0};
  if (read != Read::kAfterPoll) ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string line;
  for (int i = 0; count > 0 ? i < count : static_cast<bool>(std::getline(std::cin, line)); ++i) {
    if (!sendText(fd, to, count > 0 ? texts[i] : line)) return fail("sendto");
    if (i == 0 && count > 0) print("local", fd);
    std::string data;
    sockaddr_in from{};
    if (receiveOne(fd, waitMs, data, from, read))
      std::printf("got %s from %s\n", data.c_str(), text(from).c_str());
    else
      std::printf("timeout\n");
    std::fflush(stdout);
  }
  ::close(fd);
  return 0;
}

// Two queries in one sendmmsg from a connected non-blocking socket, as the C
// library's resolver sends its A and AAAA queries: "peer A:P", then "answer
// DATA from A:P" twice.
int resolver(const sockaddr_in& to) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail("socket");
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return fail("connect");
  char first[] = "query A", second[] = "query AAAA";
  iovec v[2] = {{first, sizeof first - 1}, {second, sizeof second - 1}};
  mmsghdr messages[2] = {};
  for (int i = 0; i < 2; ++i) {
    messages[i].msg_hdr.msg_iov = &v[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  if (::sendmmsg(fd, messages, 2, MSG_NOSIGNAL) != 2) return fail("sendmmsg");
  print("local", fd);
  if (!print("peer", fd)) return fail("getpeername");
  std::string data;
  sockaddr_in from{};
  for (int answers = 0; answers < 2 && receiveOne(fd, 5000, data, from); ++answers)
    std::printf("answer %s from %s\n", data.c_str(), text(from).c_str());
  ::close(fd);
  return 0;
}

// "got before" from a socket used before a fork, then "parent got parent" and
// "child got child" from a socket of each process's own.
int forkUdp(const sockaddr_in& to) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return fail("socket");
  if (!sendText(fd, to, "before")) return fail("sendto");
  std::string data;
  sockaddr_in from{};
  std::printf(receiveOne(fd, 5000, data, from) ? "got %s\n" : "timeout%s\n", data.c_str());
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child < 0) return fail("fork");
  const char* who = child == 0 ? "child" : "parent";
  const int own = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (own < 0 || !sendText(own, to, who)) return fail("own socket");
  std::printf(receiveOne(own, 5000, data, from) ? "%s got %s\n" : "%s timeout%s\n", who, data.c_str());
  std::fflush(stdout);
  if (child == 0) std::_Exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return 0;
}

// One datagram, the socket closed at once: "closed"; then waits for a line
// on standard input.
int udpClose(const sockaddr_in& to, const char* data) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return fail("socket");
  if (!sendText(fd, to, data)) return fail("sendto");
  ::close(fd);
  std::printf("closed\n");
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 4) {
    std::fprintf(stderr, "usage: capture_test_client COMMAND ADDR PORT [ARG...]\n");
    return 2;
  }
  const std::string command = argv[1];
  const sockaddr_in to = endpoint(argv[2], argv[3]);
  if (command == "tcp") return tcp(to);
  if (command == "udp") return udp(to, argv + 4, argc - 4);
  if (command == "udp-blocking") return udp(to, argv + 4, argc - 4, Read::kBlocking);
  if (command == "udp-nonblocking") return udp(to, argv + 4, argc - 4, Read::kNonBlocking);
  if (command == "resolver") return resolver(to);
  if (command == "udp-lines") return udp(to, nullptr, 0);
  if (command == "fork-udp") return forkUdp(to);
  if (command == "udp-close" && argc == 5) return udpClose(to, argv[4]);
  std::fprintf(stderr, "unknown command %s\n", argv[1]);
  return 2;
}
