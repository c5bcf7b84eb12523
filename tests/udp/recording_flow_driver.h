// A driver for UDP flows that records what it is asked to inject and release
// instead of doing it (the UDP flow and the DNS interception tests).
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "udp/udp_flows.h"

namespace lumotest {

class RecordingFlowDriver : public udp::FlowDriver {
 public:
  struct Injected {
    bool toApplication;  // injectReceive, not injectSend
    uint64_t id;
    platform::SocketAddress remote;
    std::vector<uint8_t> data;
    const drvapi::UdpOptions* options;
  };
  int injectSend(uint64_t id, const uint8_t* remote, const uint8_t* data, size_t length,
                 const drvapi::UdpOptions* options) override {
    return record(false, id, remote, data, length, options);
  }
  int injectReceive(uint64_t id, const uint8_t* remote, const uint8_t* data, size_t length,
                    const drvapi::UdpOptions* options) override {
    if (onInjectReceive) onInjectReceive();
    return record(true, id, remote, data, length, options);
  }
  int disableFiltering(uint64_t id) override {
    std::lock_guard<std::mutex> g(lock);
    released.push_back(id);
    return 0;
  }
  int getConnInfo(uint64_t id, drvapi::UdpConnInfo& info) override {
    std::lock_guard<std::mutex> g(lock);
    const auto it = known.find(id);
    if (it == known.end()) return -2;
    info = it->second;
    return 0;
  }

  std::mutex lock;
  std::vector<Injected> injected;
  std::vector<uint64_t> released;
  std::map<uint64_t, drvapi::UdpConnInfo> known;  // the flows getConnInfo knows
  std::function<void()> onInjectReceive;          // runs before each injectReceive is recorded

 private:
  int record(bool toApplication, uint64_t id, const uint8_t* remote, const uint8_t* data, size_t length,
             const drvapi::UdpOptions* options) {
    std::lock_guard<std::mutex> g(lock);
    Injected i{toApplication, id, {}, {data, data + length}, options};
    platform::fromDriverAddress(remote, i.remote);
    injected.push_back(std::move(i));
    return 0;
  }
};

}  // namespace lumotest
