#include "loopback_world.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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
    while (!stopping_) {
      if (platform::waitReadable(listener_, 100) <= 0) continue;
      platform::Socket c = platform::acceptSocket(listener_, nullptr);
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
  if (thread_.joinable()) thread_.join();
  platform::closeSocket(listener_);
}

bool Node::start() {
  int out[2];
  if (pipe(out) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<std::string> args = {LUMO_NODE_PROGRAM, "--listen", "127.0.0.1", "--port", "0", "--user", kUser,
                                   "--password", kPassword, "--map", "203.0.113.0/24=127.0.0.1"};
  std::vector<char*> argv;
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
  // First line: "lumo-node: socks5 listening on 127.0.0.1:PORT".
  std::string line;
  char ch;
  while (read(out[0], &ch, 1) == 1 && ch != '\n') line.push_back(ch);
  close(out[0]);
  const size_t colon = line.rfind(':');
  if (colon == std::string::npos) return false;
  port_ = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
  return port_ != 0;
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
