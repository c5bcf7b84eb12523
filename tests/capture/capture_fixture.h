// What the capture tests with real programs stand on: the simulated driver and
// the driver library with the test's handler, a capture server in a temporary
// runtime folder, the environment that preloads the capture library, and
// small servers and a hand-speaking capture client.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture_server.h"
#include "capture_wire.h"
#include "drvapi/drvapi.h"
#include "ipv4_packet.h"
#include "sim_driver.h"
#include "support/program.h"
#include "support/quiet_handler.h"
#include "support/test_support.h"

namespace capturetest {

using lumotest::Outcome;
using lumotest::Program;
using lumotest::run;

// In the test's own network namespace (LUMO_TEST_NETNS=1): `networks` made
// local on loopback, and ICMP datagram sockets allowed to every group. False
// elsewhere, or when a step fails.
inline bool makeLocal(std::initializer_list<const char*> networks) {
  const char* netns = std::getenv("LUMO_TEST_NETNS");
  if (netns == nullptr || std::string(netns) != "1") return false;
  std::ofstream("/proc/sys/net/ipv4/ping_group_range") << "0 2147483647\n";
  for (const char* network : networks)
    if (run({"ip", "route", "add", "local", network, "dev", "lo"}, {}).status != 0) return false;
  return true;
}

inline sockaddr_in endpoint(const char* address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &a.sin_addr);
  a.sin_port = htons(port);
  return a;
}

inline std::string text(const sockaddr_in& a) {
  char address[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a.sin_addr, address, sizeof address);
  return std::string(address) + ":" + std::to_string(ntohs(a.sin_port));
}

// An address field of a driver record.
inline std::string text(const uint8_t* field) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  std::memcpy(&a.sin_port, field + 2, 2);
  std::memcpy(&a.sin_addr, field + 4, 4);
  return text(a);
}

template <class T>
std::vector<uint8_t> bytesOf(const T& value) {
  std::vector<uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

// A server on `at` with a thread of its own while it lives. It answers each
// datagram (SOCK_DGRAM), or the first line of each connection it accepts
// (SOCK_STREAM; the answer is a line too), with what `answer` gives for it
// and its sender (without `answer`, with the same bytes), and keeps what
// came, with the sender's address.
class Server {
 public:
  using Answer = std::function<std::string(const std::string& data, const sockaddr_in& from)>;
  Server(int type, const sockaddr_in& at, Answer answer = {}) : type_(type), answer_(std::move(answer)) {
    fd_ = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    address_ = at;
    socklen_t length = sizeof address_;
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 &&
          (type != SOCK_STREAM || ::listen(fd_, 16) == 0) &&
          ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length) == 0 &&
          ::pipe2(stopPipe_, O_CLOEXEC) == 0;
    if (ok_) thread_ = std::thread([this] { serve(); });
  }
  ~Server() {
    if (thread_.joinable()) {
      ::close(stopPipe_[1]);
      thread_.join();
      ::close(stopPipe_[0]);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return ntohs(address_.sin_port); }
  std::vector<std::pair<std::string, std::string>> seen() const {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
  }

 private:
  void serve() {
    for (;;) {
      pollfd p[2] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
      if (::poll(p, 2, -1) <= 0 || p[1].revents != 0) return;
      sockaddr_in from{};
      socklen_t length = sizeof from;
      std::string data(65536, '\0');
      int connection = -1;
      if (type_ == SOCK_STREAM) {
        connection = ::accept4(fd_, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
        if (connection < 0) continue;
        const timeval limit{5, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        data.clear();
        for (char c; ::recv(connection, &c, 1, 0) == 1 && c != '\n';) data += c;
      } else {
        const ssize_t n =
            ::recvfrom(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        data.resize(n > 0 ? static_cast<size_t>(n) : 0);
      }
      {
        std::lock_guard<std::mutex> guard(lock_);
        seen_.emplace_back(data, text(from));
      }
      const std::string reply = answer_ ? answer_(data, from) : data;
      if (connection < 0) {
        ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from), length);
      } else {
        ::send(connection, (reply + "\n").data(), reply.size() + 1, MSG_NOSIGNAL);
        ::close(connection);
      }
    }
  }

  const int type_;
  const Answer answer_;
  int fd_ = -1;
  sockaddr_in address_{};
  bool ok_ = false;
  int stopPipe_[2] = {-1, -1};
  mutable std::mutex lock_;
  std::vector<std::pair<std::string, std::string>> seen_;
  std::thread thread_;
};

// A client of the capture socket that speaks the protocol by hand, as a
// program's capture library or lumo-run does.
class CaptureClient {
 public:
  explicit CaptureClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a);  // a send or receive fails if not
  }
  ~CaptureClient() { ::close(fd_); }
  bool send(const std::vector<uint8_t>& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  template <class T>
  bool send(const T& message) {
    return send(bytesOf(message));
  }
  // One packet within 5 s: its bytes, empty when the server hung up;
  // nullopt on time-out.
  std::optional<std::vector<uint8_t>> receive() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return std::nullopt;
    std::vector<uint8_t> packet(capture::wire::kMaxMessage + 1);
    const ssize_t n = ::recv(fd_, packet.data(), packet.size(), 0);
    packet.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return packet;
  }
  // Greets the server as a program does; true when it is welcomed.
  bool hello() {
    namespace wire = capture::wire;
    if (!send(wire::Hello{wire::header(wire::kHello, 0), wire::kMagic, wire::kVersion, 0})) return false;
    const auto answer = receive();
    const auto welcome = answer ? wire::readMessage(answer->data(), answer->size(), false) : std::nullopt;
    return welcome && welcome->type == wire::kWelcome;
  }

 private:
  int fd_ = -1;
};

struct Event {
  std::string what;
  uint64_t id = 0;
  std::string data;     // a datagram's, a packet's, or a connect request's local address
  std::string address;  // remote of a datagram or request, local of a flow
  uint32_t processId = 0;
  std::string options;  // of a datagram record; a connect request's filtering flag
};

inline std::string optionsOf(const drvapi::UdpOptions* options) {
  return options == nullptr
             ? "none"
             : std::string(reinterpret_cast<const char*>(options->data), options->optionsLength);
}

// The engine's stand-in. TCP: connects to 203.0.113.0/24 go to the relay
// (203.0.113.66 is refused, 203.0.113.8 kept under filtering). UDP, by the
// datagram's first word: "inject" is answered by the library from
// 198.51.100.7:5353; "elsewhere" is sent by the library to `elsewhere`
// instead; "release" turns the flow's filtering off and passes; everything
// else passes. Datagrams to 203.0.113.9 travel as the direct transport
// carries them: wrapped ("tunnel A:P DATA", with their destination) and sent
// out of the program's socket to `node`, whose answers come back as
// udpReceive and are unwrapped into a receive from that destination; other
// received datagrams pass. Raw IP: echo requests are answered (or passed,
// with `passPings`).
class Handler : public lumotest::QuietHandler, public drvapi::DRV_IPEventHandler {
 public:
  std::atomic<uint16_t> relayPort{0};
  platform::SocketAddress28 elsewhere{};
  platform::SocketAddress28 node{};
  std::atomic<bool> passPings{false};
  // Set before the programs run: offered each datagram the library is told
  // of before the words above; true when it dealt with it.
  std::function<bool(uint64_t id, const unsigned char* remote, const std::string& datagram)> takeSend;

  void tcpConnectRequest(uint64_t id, drvapi::TcpConnInfo* info) override {
    record("tcpConnectRequest", id, text(info->localAddress.bytes.data()),
           text(info->remoteAddress.bytes.data()), info->processId, std::to_string(info->filteringFlag));
    const std::string remote = text(info->remoteAddress.bytes.data());
    if (remote.rfind("203.0.113.66:", 0) == 0)
      info->filteringFlag |= drvapi::kVerdictClose;
    else if (remote.rfind("203.0.113.8:", 0) == 0)
      info->filteringFlag = drvapi::kVerdictFiltered;  // kept under filtering, as adapter mode keeps it
    else if (remote.rfind("203.0.113.", 0) == 0)
      info->remoteAddress = simdrv::ipv4("127.0.0.1", relayPort);
  }
  void tcpClosed(uint64_t id, drvapi::TcpConnInfo*) override { record("tcpClosed", id, {}, {}); }
  // 203.0.113.7's datagrams go to 203.0.113.5 instead; 203.0.113.66's are
  // blocked.
  void udpConnectRequest(uint64_t id, drvapi::UdpConnectRequest* request) override {
    record("udpConnectRequest", id, {}, text(request->remoteAddress.bytes.data()));
    if (request->remoteAddress.bytes[7] == 66) {
      request->filteringFlag |= drvapi::kRuleBlock;
    } else if (request->remoteAddress.bytes[7] == 7) {
      request->remoteAddress.bytes[7] = 5;
    }
  }
  void udpCreated(uint64_t id, drvapi::UdpConnInfo* info) override {
    record("udpCreated", id, {}, text(info->localAddress.bytes.data()), info->processId);
  }
  void udpClosed(uint64_t id, drvapi::UdpConnInfo*) override { record("udpClosed", id, {}, {}); }
  void udpSend(uint64_t id, const unsigned char* remote, const char* data, int length,
               const drvapi::UdpOptions* options) override {
    const std::string datagram(data, static_cast<size_t>(length));
    record("udpSend", id, datagram, text(remote), 0, optionsOf(options));
    const std::string word = datagram.substr(0, datagram.find(' '));
    if (takeSend && takeSend(id, remote, datagram)) return;
    if (text(remote).rfind("203.0.113.9:", 0) == 0) {
      const std::string wrapped = "tunnel " + text(remote) + " " + datagram;
      drvapi::udpInjectSend(id, node.bytes.data(), wrapped.data(), static_cast<int>(wrapped.size()), options);
    } else if (word == "inject") {
      const platform::SocketAddress28 source = simdrv::ipv4("198.51.100.7", 5353);
      const std::string reply = "injected" + datagram.substr(word.size());
      drvapi::udpInjectReceive(id, source.bytes.data(), reply.data(), static_cast<int>(reply.size()),
                               nullptr);
    } else if (word == "elsewhere") {
      drvapi::udpInjectSend(id, elsewhere.bytes.data(), data, length, options);
    } else {
      if (word == "release") drvapi::udpDisableFiltering(id);
      drvapi::udpInjectSend(id, remote, data, length, options);
    }
  }
  void udpReceive(uint64_t id, const unsigned char* remote, const char* data, int length,
                  const drvapi::UdpOptions* options) override {
    const std::string datagram(data, static_cast<size_t>(length));
    record("udpReceive", id, datagram, text(remote), 0, optionsOf(options));
    const size_t space = datagram.find(' ', 7);
    if (text(remote) != text(node.bytes.data()) || datagram.rfind("tunnel ", 0) != 0 ||
        space == std::string::npos) {
      drvapi::udpInjectReceive(id, remote, data, length, nullptr);
      return;
    }
    const std::string peer = datagram.substr(7, space - 7);
    const size_t colon = peer.rfind(':');
    const platform::SocketAddress28 source =
        simdrv::ipv4(peer.substr(0, colon).c_str(), static_cast<uint16_t>(std::stoi(peer.substr(colon + 1))));
    const std::string payload = datagram.substr(space + 1);
    drvapi::udpInjectReceive(id, source.bytes.data(), payload.data(), static_cast<int>(payload.size()),
                             nullptr);
  }
  void ipSend(const char* packet, int length, const drvapi::IpOptions* options) override {
    const std::string p(packet, static_cast<size_t>(length));
    record("ipSend", 0, p, {});
    const std::optional<std::string> reply = passPings ? std::nullopt : simdrv::echoReplyTo(p);
    if (reply)
      drvapi::ipInjectReceive(reply->data(), static_cast<int>(reply->size()), options);
    else
      drvapi::ipInjectSend(packet, length, options);
  }
  void ipReceive(const char* packet, int length, const drvapi::IpOptions* options) override {
    drvapi::ipInjectReceive(packet, length, options);
  }

  std::vector<Event> events(const std::string& what) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<Event> out;
    for (const Event& e : events_)
      if (e.what == what) out.push_back(e);
    return out;
  }
  bool waitFor(const std::string& what, size_t count) const {
    return lumotest::waitFor([&] { return events(what).size() >= count; });
  }
  // The destination of the connect request from local port `port`.
  std::string redirectedFrom(uint16_t port) const {
    for (const Event& e : events("tcpConnectRequest"))
      if (e.data.substr(e.data.rfind(':') + 1) == std::to_string(port)) return e.address;
    return "";
  }

 private:
  void record(const char* what, uint64_t id, std::string data, std::string address, uint32_t pid = 0,
              std::string options = {}) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back({what, id, std::move(data), std::move(address), pid, std::move(options)});
  }
  mutable std::mutex lock_;
  std::vector<Event> events_;
};

class CaptureServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    driver.install();
    drvapi::setDriverOptions(4, drvapi::kOptionNoServiceStart);
    ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kOk);
    drvapi::setIpEventHandler(&handler);
    server = std::make_unique<capture::CaptureServer>(driver, socketPath(), [this](const std::string& line) {
      std::lock_guard<std::mutex> guard(logLock);
      log.push_back(line);
    });
    std::string error;
    ASSERT_TRUE(server->start(&error)) << error;
  }
  void TearDown() override {
    if (server) server->stop();
    drvapi::freeDriver();
  }

  std::string socketPath() const { return (dir.path() / "capture").string(); }

  // Rules by program name, as the engine writes them.
  void addRule(const char* program, uint32_t protocol, uint32_t flag) {
    drvapi::ProcessFilterRule rule{};
    rule.rule.protocol = protocol;
    rule.rule.filteringFlag = flag;
    for (size_t i = 0; program[i] != '\0'; ++i) rule.processName[i] = static_cast<char16_t>(program[i]);
    ASSERT_EQ(drvapi::addProcessFilterRule(&rule, false), drvapi::kOk);
  }

  std::vector<std::string> environment() const {
    return {std::string("LD_PRELOAD=") + LUMO_CAPTURE_LIBRARY, "LUMO_DRIVER_DIR=" + dir.path().string()};
  }

  std::vector<std::string> logLines() {
    std::lock_guard<std::mutex> guard(logLock);
    return log;
  }

  lumotest::TempDir dir;
  simdrv::SimDriver driver;
  Handler handler;
  std::unique_ptr<capture::CaptureServer> server;
  std::mutex logLock;
  std::vector<std::string> log;
};

}  // namespace capturetest
