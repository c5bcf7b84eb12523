// Fuzz target: one batch of records as the driver writes it into the inbound
// buffer, walked by the library's reader on a freshly initialised library and
// answered as the engine would (verdicts kept, filtering off for some
// connections, stream bytes, datagrams and raw IP injected back).
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "../../support/quiet_handler.h"
#include "drvapi/drvapi.h"
#include "sim_driver.h"

namespace {

// A connection id that no seed uses. Its connected record comes in a batch of
// its own after the input; with one worker thread the jobs run in the order
// they were queued, so once its callback has run, so have the input's.
constexpr uint64_t kEndMarkId = 0x00F0F0F0F0F0F0F0ull;
constexpr uint32_t kEndMarkWaitMs = 5000;

uint32_t fixedClock() { return 1000000; }

class AnsweringHandler final : public lumotest::QuietHandler, public drvapi::DRV_IPEventHandler {
 public:
  void expectEndMark() {
    std::lock_guard<std::mutex> g(lock_);
    endMarkSeen_ = false;
  }
  void waitEndMark() {
    std::unique_lock<std::mutex> g(lock_);
    cv_.wait_for(g, std::chrono::milliseconds(kEndMarkWaitMs), [&] { return endMarkSeen_; });
  }

  // An odd process id turns filtering off from inside the request, which the
  // library judges by the verdict left here.
  void tcpConnectRequest(uint64_t id, drvapi::TcpConnInfo* info) override {
    if (info->processId & 1) drvapi::tcpDisableFiltering(id);
  }
  void tcpConnected(uint64_t id, drvapi::TcpConnInfo*) override {
    if (id == kEndMarkId) {
      std::lock_guard<std::mutex> g(lock_);
      endMarkSeen_ = true;
      cv_.notify_all();
      return;
    }
    drvapi::TcpConnInfo info;
    drvapi::tcpGetConnInfo(id, &info);
  }
  void tcpReceive(uint64_t id, const char* data, int length) override {
    drvapi::tcpInjectReceive(id, data, length);
  }
  void tcpSend(uint64_t id, const char* data, int length) override {
    drvapi::tcpInjectSend(id, data, length);
  }

  void udpCreated(uint64_t id, drvapi::UdpConnInfo* info) override {
    if (info->processId & 1) drvapi::udpDisableFiltering(id);
    drvapi::UdpConnInfo copy;
    drvapi::udpGetConnInfo(id, &copy);
  }
  void udpReceive(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                  const drvapi::UdpOptions* options) override {
    drvapi::udpInjectReceive(id, remoteAddress, data, length, options);
  }
  void udpSend(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
               const drvapi::UdpOptions* options) override {
    drvapi::udpInjectSend(id, remoteAddress, data, length, options);
  }

  void ipReceive(const char* packet, int length, const drvapi::IpOptions* options) override {
    drvapi::ipInjectReceive(packet, length, options);
  }
  void ipSend(const char* packet, int length, const drvapi::IpOptions* options) override {
    drvapi::ipInjectSend(packet, length, options);
  }

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  bool endMarkSeen_ = false;
};

simdrv::SimDriver& driver() {
  // Installed once for the whole run; never destroyed, like the library
  // state it serves.
  static simdrv::SimDriver* sim = [] {
    auto* s = new simdrv::SimDriver();
    s->setKeepLog(false);
    s->install();
    return s;
  }();
  return *sim;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static AnsweringHandler handler;
  simdrv::SimDriver& sim = driver();
  drvapi::setTickSource(&fixedClock);
  drvapi::setDriverOptions(1, drvapi::kOptionNoServiceStart);
  if (drvapi::initDriver("LumoDriverSys", &handler) != drvapi::kOk) return 0;
  drvapi::setIpEventHandler(&handler);

  simdrv::Batch batch;
  batch.rawBytes(data, size);
  handler.expectEndMark();
  if (sim.deliver(batch)) {
    simdrv::Batch end;
    end.tcpConnected(kEndMarkId, simdrv::tcpInfo(1200, simdrv::ipv4("127.0.0.1", 40001),
                                                 simdrv::ipv4("203.0.113.5", 7000)));
    if (sim.deliver(end)) handler.waitEndMark();
  }
  drvapi::freeDriver();
  sim.clearWritten();
  return 0;
}
