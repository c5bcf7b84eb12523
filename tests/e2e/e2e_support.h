// What the end-to-end suites need on both systems: the program's own name and
// process id, the channel of the one-second message, and lumo-node (Linux: a
// child process; Windows: the one the test script started, with --map
// 203.0.113.0/24=127.0.0.1, named in LUMO_E2E_NODE=127.0.0.1:PORT,
// LUMO_E2E_NODE_UDP and LUMO_E2E_NODE_LOG).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lumo/lumo.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/services.h"
#include "platform/sysinfo.h"
#include "process/process_selection.h"
#include "sim_driver.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <unistd.h>

#include "node_process.h"
#endif

namespace lumotest {

// The node's user and password (the Windows script starts its node with them).
inline constexpr const char* kUser = "player";
inline constexpr const char* kPassword = "1001";

inline uint32_t ownProcessId() { return platform::currentProcessId(); }

// Makes `driver` the one the library opens, behind a service that starts.
inline bool installSimulatedDriver(simdrv::SimDriver& driver) {
  driver.install();
  return platform::attachSimulatedService(
      u"LumoDriverSys", [] { return true; }, [] {});
}

// SetConfig with this program as the one configured game and the node on
// 127.0.0.1 (ports in host order); `window` receives the one-second message.
inline bool configureGame(uint16_t nodePort, uint16_t nodeUdpPort, uint32_t gameId, const std::string& rules,
                          uintptr_t window) {
  // This program's file name as a configured game names it (lower case).
  const std::string name = process::ProcessNameFromPath(platform::processImagePath(ownProcessId()));
  LUMO_PROCESS_ENTRY game{};
  std::strncpy(game.name, name.c_str(), sizeof game.name - 1);
  game.value = 1;
  return SetConfig("e2e", 0, kUser, 0, kPassword, 0, &game, 1, 0, rules.c_str(), platform::ipv4(127, 0, 0, 1),
                   platform::hostToNet16(nodePort), platform::hostToNet16(nodeUdpPort), gameId, 0, window, 0);
}

// Where the engine posts its one-second message: a socket pair on Linux, a
// message-only window of the constructing thread on Windows (read on that
// thread).
class Notifications {
 public:
  Notifications() {
#ifdef _WIN32
    window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    EXPECT_NE(window_, nullptr) << "no window for the one-second message";
#else
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds_), 0) << "no socket pair for the one-second message";
#endif
  }
  ~Notifications() {
#ifdef _WIN32
    if (window_ != nullptr) DestroyWindow(window_);
#else
    if (fds_[0] >= 0) close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
#endif
  }
  Notifications(const Notifications&) = delete;
  Notifications& operator=(const Notifications&) = delete;

  // The handle SetConfig takes as its notification window.
  uintptr_t handle() const {
#ifdef _WIN32
    return reinterpret_cast<uintptr_t>(window_);
#else
    return static_cast<uintptr_t>(fds_[0]);
#endif
  }
  // Reads the counters from both channels until `sent` and `received` have
  // been seen or ten seconds pass; every byte is reported in exactly one, and
  // where there were bytes the one-second message brought some of them.
  void expectCounted(uint64_t sent, uint64_t received) {
    uint64_t seenSent = 0, seenReceived = 0;
    std::vector<uint32_t> ids;
    waitFor([&] {
#ifdef _WIN32
      MSG m;
      while (PeekMessageW(&m, window_, 0, 0, PM_REMOVE)) {
        ids.push_back(m.message);
        seenSent += static_cast<uint32_t>(m.wParam);
        seenReceived += static_cast<uint32_t>(m.lParam);
      }
#else
      uint32_t m[3];
      while (recv(fds_[1], m, sizeof m, MSG_DONTWAIT) == sizeof m) {
        ids.push_back(m[0]);
        seenSent += m[1];
        seenReceived += m[2];
      }
#endif
      return (sent + received == 0 || !ids.empty()) && seenSent >= sent && seenReceived >= received;
    });
    for (uint32_t id : ids) EXPECT_EQ(id, LUMO_COUNTERS_MESSAGE);
    EXPECT_TRUE(sent + received == 0 || !ids.empty()) << "the one-second message arrives";
    uint32_t s = 0, r = 0;
    GetFlow(&s, &r);
    EXPECT_EQ(seenSent + s, sent);
    EXPECT_EQ(seenReceived + r, received);
  }

 private:
#ifdef _WIN32
  HWND window_ = nullptr;
#else
  int fds_[2] = {-1, -1};
#endif
};

#ifdef _WIN32
// The lumo-node of a test: under wine the one node the script started serves
// every test, so the arguments given must be what the script gave it (the
// test user and password, the documentation network mapped to loopback).
class E2eNode {
 public:
  // False with `error` saying why when the script named no node (or, with
  // the tunnel, no tunnel port).
  bool start(const std::vector<std::string>&, std::string& error) { return attach(false, error); }
  bool startWithTunnel(const std::vector<std::string>&, std::string& error) { return attach(true, error); }
  uint16_t port() const { return port_; }
  uint16_t udpPort() const { return udpPort_; }
  void stop() {}
  // The node's log since this test started with it (the node is shared).
  std::string log() const { return readLog().substr(logMark_); }

 private:
  static uint16_t portOf(const char* text) {
    const long port = text == nullptr ? 0 : std::strtol(text, nullptr, 10);
    return port > 0 && port < 65536 ? static_cast<uint16_t>(port) : 0;
  }
  bool attach(bool withTunnel, std::string& error) {
    const char* node = std::getenv("LUMO_E2E_NODE");
    const std::string prefix = "127.0.0.1:";
    port_ = node != nullptr && std::string(node).rfind(prefix, 0) == 0 ? portOf(node + prefix.size()) : 0;
    udpPort_ = portOf(std::getenv("LUMO_E2E_NODE_UDP"));
    logMark_ = readLog().size();
    if (port_ != 0 && (udpPort_ != 0 || !withTunnel)) return true;
    error = "LUMO_E2E_NODE is not 127.0.0.1:PORT, or LUMO_E2E_NODE_UDP names no tunnel port";
    return false;
  }
  static std::string readLog() {
    const char* path = std::getenv("LUMO_E2E_NODE_LOG");
    if (path == nullptr) return "";
    // wine shows the Unix root as drive Z:.
    std::ifstream in(path[0] == '/' ? std::string("Z:") + path : std::string(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  uint16_t port_ = 0, udpPort_ = 0;
  size_t logMark_ = 0;
};
#else
// On Linux each test starts a lumo-node of its own as a child process.
using E2eNode = NodeProcess;
#endif

// What the end-to-end suites stand on: a node (with its tunnel when
// `kTunnel`), the simulated driver with its live side `Live`, and the engine.
// By default (the TCP and UDP suites) the node has the test user and maps the
// documentation network to loopback, as the live side does, and the engine
// is initialised in SetUp.
template <class Live, bool kTunnel>
class NodeAndEngine : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    if (std::getenv("LUMO_E2E_NODE") == nullptr)
      GTEST_SKIP() << "no lumo-node: scripts/test.sh starts one and names it in LUMO_E2E_NODE, "
                      "LUMO_E2E_NODE_UDP and LUMO_E2E_NODE_LOG";
#endif
    ASSERT_TRUE(live.map("203.0.113.0/24", "127.0.0.1"));
    startNodeAndInit({"--user", kUser, "--password", kPassword, "--map", "203.0.113.0/24=127.0.0.1"});
  }
  void startNodeAndInit(const std::vector<std::string>& args) {
    std::string error;
    ASSERT_TRUE(kTunnel ? node.startWithTunnel(args, error) : node.start(args, error)) << error;
    ASSERT_TRUE(installSimulatedDriver(driver));
    initialised = Init(0);
    ASSERT_TRUE(initialised);
  }
  void TearDown() override {
    EXPECT_TRUE(!initialised || UnInit(1));
    node.stop();
  }

  E2eNode node;
  simdrv::SimDriver driver;
  Live live{driver};
  Notifications notify;
  bool initialised = false;
};

}  // namespace lumotest
