#include "loopback_world.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/netinfo.h"

extern char** environ;

namespace demo {

EchoServer::EchoServer() {
  listener_ = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
  platform::SocketAddress a = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
  if (!platform::bindSocket(listener_, a) || !platform::listenSocket(listener_, 64) ||
      !platform::localAddressOf(listener_, a))
    return;
  port_ = platform::netToHost16(a.port());
  thread_ = std::thread([this] {
    for (;;) {
      platform::Socket c = platform::acceptSocket(listener_, nullptr);
      if (stopping_) {
        platform::closeSocket(c);
        return;
      }
      if (c == platform::kInvalidSocket) continue;
      std::thread([c] {
        char buffer[65536];
        for (int n; (n = platform::receiveBytes(c, buffer, sizeof buffer)) > 0;) {
          int sent = 0;
          while (sent < n) {
            const int k = platform::sendBytes(c, buffer + sent, static_cast<size_t>(n - sent));
            if (k <= 0) break;
            sent += k;
          }
          if (sent < n) break;
        }
        platform::closeSocket(c);
      }).detach();
    }
  });
}

EchoServer::~EchoServer() {
  stopping_ = true;
  if (thread_.joinable()) {
    // The accept blocks without a time limit: one connection ends it.
    platform::Socket waker = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Stream);
    platform::connectSocket(
        waker, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), platform::hostToNet16(port_)));
    thread_.join();
    platform::closeSocket(waker);
  }
  platform::closeSocket(listener_);
}

UdpEchoServer::UdpEchoServer() {
  socket_ = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
  platform::SocketAddress a = platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0);
  if (!platform::bindSocket(socket_, a) || !platform::localAddressOf(socket_, a)) return;
  port_ = platform::netToHost16(a.port());
  thread_ = std::thread([this] {
    std::vector<char> buffer(65536);
    for (;;) {
      platform::SocketAddress from;
      const int n = platform::receiveFrom(socket_, buffer.data(), buffer.size(), &from);
      if (stopping_) return;
      // A failed receive (an earlier echo's port-unreachable, say) leaves
      // the socket usable.
      if (n >= 0) platform::sendTo(socket_, buffer.data(), static_cast<size_t>(n), from);
    }
  });
}

UdpEchoServer::~UdpEchoServer() {
  stopping_ = true;
  if (thread_.joinable()) {
    // The receive blocks without a time limit: one datagram ends it.
    platform::Socket waker = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
    const char stop = 0;
    platform::sendTo(waker, &stop, 1,
                     platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), platform::hostToNet16(port_)));
    thread_.join();
    platform::closeSocket(waker);
  }
  platform::closeSocket(socket_);
}

namespace {

// The port of a first-lines announcement "lumo-node: WHAT listening on
// 127.0.0.1:PORT", read from `fd`; 0 when the line is anything else.
uint16_t announcedPort(int fd, const std::string& what) {
  std::string line;
  char ch;
  while (read(fd, &ch, 1) == 1 && ch != '\n') line.push_back(ch);
  const std::string prefix = "lumo-node: " + what + " listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) != 0) return 0;
  unsigned port = 0;
  const char* end = line.data() + line.size();
  auto [stop, ec] = std::from_chars(line.data() + prefix.size(), end, port);
  return ec == std::errc() && stop == end && port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

}  // namespace

bool Node::start(const std::vector<std::string>& extraArgs) {
  int out[2];
  if (pipe(out) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> args = {LUMO_NODE_PROGRAM, "--listen", "127.0.0.1", "--port", "0"};
  args.insert(args.end(), {"--udp-port", "0", "--user", kUser, "--password", kPassword});
  args.insert(args.end(), {"--map", "203.0.113.0/24=127.0.0.1"});
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid_, LUMO_NODE_PROGRAM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    pid_ = 0;
    return false;
  }
  // The first line names the SOCKS5 port, the second the tunnel's.
  port_ = announcedPort(out[0], "socks5");
  udpPort_ = port_ != 0 ? announcedPort(out[0], "udp tunnel") : 0;
  close(out[0]);
  return port_ != 0 && udpPort_ != 0;
}

Node::~Node() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

void useLoopbackResolver() {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "lumo-loopback-resolv.conf";
  if (FILE* f = std::fopen(path.c_str(), "w")) {
    std::fputs("nameserver 127.0.0.1\n", f);
    std::fclose(f);
  }
  platform::setResolverConfigPath(path.string());
}

}  // namespace demo
