#include "live_ip.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "destination_map.h"
#include "driver_records.h"
#include "ipv4_packet.h"

namespace simdrv {
struct LiveIp::Hub {
  explicit Hub(SimDriver& d) : driver(d) {}

  void onWrite(const Record& record) {
    if (record.type != drvapi::kIpSend && record.type != drvapi::kIpReceive) return;
    drvapi::IpOptions options{};
    if (record.payload.size() < sizeof options) return;
    std::memcpy(&options, record.payload.data(), sizeof options);
    std::string packet(record.payload.begin() + sizeof options, record.payload.end());
    if (record.type == drvapi::kIpSend) {
      toNetwork(std::move(packet));
    } else {
      arrive(std::move(packet), options, true);
    }
  }

  void toNetwork(std::string packet) {
    std::optional<std::string> answer;
    if (const std::optional<Ipv4View> ip = readIpv4(packet)) {
      platform::SocketAddress real;
      if (map.resolve(platform::makeIpv4Address(ip->destinationNet, 0), real)) answer = echoReplyTo(packet);
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      network.push_back(std::move(packet));
    }
    if (answer) arrive(std::move(*answer), drvapi::IpOptions{}, false);
  }

  void arrive(std::string packet, const drvapi::IpOptions& options, bool injected) {
    {
      std::lock_guard<std::mutex> guard(lock);
      inbound.push_back(Packet{std::move(packet), options, injected, std::chrono::steady_clock::now()});
    }
    changed.notify_all();
  }

  SimDriver& driver;
  DestinationMap map;
  mutable std::mutex lock;
  std::condition_variable changed;
  std::deque<Packet> inbound;
  std::vector<std::string> network;
};

LiveIp::LiveIp(SimDriver& driver) : hub_(std::make_shared<Hub>(driver)) {
  Hub* hub = hub_.get();
  observer_ = driver.addWriteObserver([hub](const Record& r) { hub->onWrite(r); });
}

LiveIp::~LiveIp() { hub_->driver.removeWriteObserver(observer_); }

bool LiveIp::map(std::string_view cidr, std::string_view localAddress) {
  return hub_->map.add(cidr, localAddress);
}

LiveIp::SendResult LiveIp::send(uint32_t processId, std::string_view packet, drvapi::IpOptions options,
                                uint32_t timeoutMs) {
  const std::optional<Ipv4View> ip = readIpv4(packet);
  if (!ip) return SendResult::Failed;
  FlowDescription flow;
  flow.protocol = ip->protocol;
  flow.processId = processId;
  flow.direction = 2;
  flow.local = ipv4Field(ip->sourceNet);
  flow.remote = ipv4Field(ip->destinationNet);
  if ((hub_->driver.classify(flow, SimDriver::Layer::RawIp) & drvapi::kRuleRawIp) == 0) {
    hub_->toNetwork(std::string(packet));
    return SendResult::Sent;
  }
  const uint16_t family = drvapi::kFamilyIpv4;
  std::memcpy(options.reserved, &family, sizeof family);
  return hub_->driver.deliver(Batch().ipSend(options, packet), timeoutMs) ? SendResult::Reported
                                                                          : SendResult::Failed;
}

std::optional<LiveIp::Packet> LiveIp::receive(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> guard(hub_->lock);
  if (!hub_->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [&] { return !hub_->inbound.empty(); }))
    return std::nullopt;
  Packet packet = std::move(hub_->inbound.front());
  hub_->inbound.pop_front();
  return packet;
}

std::vector<std::string> LiveIp::onNetwork() const {
  std::lock_guard<std::mutex> guard(hub_->lock);
  return hub_->network;
}

}  // namespace simdrv
