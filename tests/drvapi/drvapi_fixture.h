// Shared pieces of the driver interface tests: a handler that records every
// callback (and can hold one), a clock the tests move by hand, and a fixture
// with the simulated driver installed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "drvapi/drvapi.h"
#include "platform/event.h"
#include "sim_driver.h"
#include "support/test_support.h"

namespace drvtest {

// The maintenance clock of the library under test.
inline std::atomic<uint32_t> fakeNow{1000000};
inline uint32_t fakeTick() { return fakeNow.load(); }

struct Callback {
  std::string what;
  uint64_t id = 0;
  std::string data;
};

class RecordingHandler : public drvapi::DRV_EventHandler, public drvapi::DRV_IPEventHandler {
 public:
  // Lets the test change a connect request's verdict in place.
  std::function<void(uint64_t, drvapi::TcpConnInfo*)> onTcpConnectRequest;
  std::function<void(uint64_t, drvapi::UdpConnectRequest*)> onUdpConnectRequest;

  // Runs inside tcpConnected, where a test can hold the connection's job.
  std::function<void(uint64_t)> onTcpConnected;

  std::vector<Callback> calls(uint64_t id) const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<Callback> out;
    for (const auto& c : calls_)
      if (c.id == id) out.push_back(c);
    return out;
  }
  size_t count(const std::string& what) const {
    std::lock_guard<std::mutex> g(lock_);
    size_t n = 0;
    for (const auto& c : calls_) n += c.what == what;
    return n;
  }
  bool waitCount(const std::string& what, size_t n) {
    return lumotest::waitFor([&] { return count(what) >= n; });
  }
  // Stream bytes delivered for one id in one direction ("tcpReceive"/"tcpSend").
  std::string stream(uint64_t id, const std::string& what) const {
    std::lock_guard<std::mutex> g(lock_);
    std::string out;
    for (const auto& c : calls_)
      if (c.id == id && c.what == what) out += c.data;
    return out;
  }

  std::atomic<int> overlaps{0};  // see Scope
  std::atomic<int> threadsStarted{0};
  std::atomic<int> threadsEnded{0};

  void threadStart() override { ++threadsStarted; }
  void threadEnd() override { ++threadsEnded; }
  void tcpConnectRequest(uint64_t id, drvapi::TcpConnInfo* info) override {
    Scope s(*this, id);
    if (onTcpConnectRequest) onTcpConnectRequest(id, info);
    add("tcpConnectRequest", id);
  }
  void tcpConnected(uint64_t id, drvapi::TcpConnInfo*) override {
    Scope s(*this, id);
    add("tcpConnected", id);
    if (onTcpConnected) onTcpConnected(id);
  }
  void tcpClosed(uint64_t id, drvapi::TcpConnInfo*) override { note("tcpClosed", id); }
  void tcpReceive(uint64_t id, const char* data, int length) override {
    note("tcpReceive", id, text(data, length));
  }
  void tcpSend(uint64_t id, const char* data, int length) override {
    note("tcpSend", id, text(data, length));
  }
  void tcpCanReceive(uint64_t id) override { note("tcpCanReceive", id); }
  void tcpCanSend(uint64_t id) override { note("tcpCanSend", id); }
  void udpCreated(uint64_t id, drvapi::UdpConnInfo*) override { note("udpCreated", id); }
  void udpConnectRequest(uint64_t id, drvapi::UdpConnectRequest* request) override {
    Scope s(*this, id);
    if (onUdpConnectRequest) onUdpConnectRequest(id, request);
    add("udpConnectRequest", id);
  }
  void udpClosed(uint64_t id, drvapi::UdpConnInfo*) override { note("udpClosed", id); }
  void udpReceive(uint64_t id, const unsigned char* remote, const char* data, int length,
                  const drvapi::UdpOptions* options) override {
    note("udpReceive", id,
         text(data, length) + "|port=" + std::to_string(remote[2] * 256 + remote[3]) +
             "|opt=" + std::to_string(options->optionsLength) + "/" + std::to_string(options->flags));
  }
  void udpSend(uint64_t id, const unsigned char*, const char* data, int length,
               const drvapi::UdpOptions*) override {
    note("udpSend", id, text(data, length));
  }
  void udpCanReceive(uint64_t id) override { note("udpCanReceive", id); }
  void udpCanSend(uint64_t id) override { note("udpCanSend", id); }
  void ipReceive(const char* packet, int length, const drvapi::IpOptions* options) override {
    add("ipReceive", options->flags, text(packet, length));
  }
  void ipSend(const char* packet, int length, const drvapi::IpOptions* options) override {
    add("ipSend", options->flags, text(packet, length));
  }

 private:
  // Detects two callbacks of one connection running at the same time.
  struct Scope {
    Scope(RecordingHandler& h, uint64_t id) : h_(h), id_(id) {
      std::lock_guard<std::mutex> g(h_.lock_);
      if (++h_.active_[id_] > 1) ++h_.overlaps;
    }
    ~Scope() {
      std::lock_guard<std::mutex> g(h_.lock_);
      --h_.active_[id_];
    }
    RecordingHandler& h_;
    uint64_t id_;
  };

  static std::string text(const char* data, int length) {
    return std::string(data, static_cast<size_t>(length));
  }
  void add(const char* what, uint64_t id, std::string data = {}) {
    std::lock_guard<std::mutex> g(lock_);
    calls_.push_back({what, id, std::move(data)});
  }
  // A callback of connection `id` that only records itself.
  void note(const char* what, uint64_t id, std::string data = {}) {
    Scope s(*this, id);
    add(what, id, std::move(data));
  }

  mutable std::mutex lock_;
  std::vector<Callback> calls_;
  std::map<uint64_t, int> active_;
};

inline const platform::SocketAddress28 kLocal = simdrv::ipv4("127.0.0.1", 40001);
inline const platform::SocketAddress28 kRemote = simdrv::ipv4("203.0.113.5", 7000);
inline constexpr uint32_t kGamePid = 1200;

// The game's outbound TCP connection from kLocal to kRemote.
inline drvapi::TcpConnInfo gameTcp(uint32_t flag = drvapi::kRuleFilter) {
  return simdrv::tcpInfo(kGamePid, kLocal, kRemote, flag);
}

class DriverFixture : public ::testing::Test {
 protected:
  explicit DriverFixture(simdrv::SimDriver::Config config = {}) : sim(config) {}

  void SetUp() override {
    fakeNow = 1000000;
    drvapi::setTickSource(&fakeTick);
    drvapi::setDriverOptions(4, drvapi::kOptionNoServiceStart);
    sim.install();
  }
  void TearDown() override {
    gate.set();
    sim.releaseHeldWrites();
    drvapi::freeDriver();
    drvapi::setIpEventHandler(nullptr);
    drvapi::setTickSource(nullptr);
  }

  void start() { ASSERT_EQ(drvapi::initDriver("LumoDriverSys", &handler), drvapi::kOk); }

  // Delivers a batch and waits until the library has dispatched it.
  void deliver(const simdrv::Batch& batch) {
    ASSERT_TRUE(sim.deliver(batch));
    ASSERT_TRUE(sim.waitForRead());
  }

  // A filtered, connected TCP connection that the handler has seen.
  void connect(uint64_t id, uint32_t flag = drvapi::kRuleFilter) {
    deliver(simdrv::Batch().tcpConnected(id, gameTcp(flag)));
    ASSERT_TRUE(lumotest::waitFor([&] {
      return std::ranges::any_of(handler.calls(id),
                                 [](const Callback& c) { return c.what == "tcpConnected"; });
    }));
  }

  // tcpConnected callbacks wait for the gate until it is set: the records
  // after them pile up.
  void holdConnected() {
    gate.reset();
    handler.onTcpConnected = [this](uint64_t) {
      ++held;
      gate.wait();
    };
  }

  // Waits until the library has written exactly `n` records of `type` for `id`.
  bool waitWritten(uint32_t type, uint64_t id, size_t n) {
    return lumotest::waitFor([&] { return sim.written(type, id).size() == n; });
  }
  // The payload sizes of the records of `type` written for `id`.
  std::vector<size_t> writtenSizes(uint32_t type, uint64_t id) const {
    std::vector<size_t> out;
    for (const auto& r : sim.written(type, id)) out.push_back(r.payload.size());
    return out;
  }

  // Moves the library's clock and lets the maintenance look (after a batch).
  void advance(uint32_t ms) {
    fakeNow += ms;
    deliver(simdrv::Batch{});
  }

  simdrv::SimDriver sim;
  RecordingHandler handler;
  // Held callbacks wait for it; set at the latest on tear-down, so a failed
  // assertion cannot leave a worker blocked.
  platform::Event gate{platform::Event::Reset::Manual};
  std::atomic<int> held{0};
};

}  // namespace drvtest
