#include "live_ip.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "destination_map.h"
#include "udp/internet_checksum.h"

namespace simdrv {
namespace {

// IPv4 header fields (RFC 791) and the ICMP echo (RFC 792) the network
// answers.
constexpr size_t kIpv4MinHeader = 20;
constexpr size_t kTtl = 8;
constexpr size_t kProtocol = 9;
constexpr size_t kHeaderChecksum = 10;
constexpr size_t kSource = 12;
constexpr size_t kDestination = 16;
constexpr uint8_t kProtocolIcmp = 1;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kEchoReply = 0;

// The echo reply a host at the request's destination sends, or nothing when
// `packet` is not a well-formed echo request.
std::optional<std::string> echoReplyTo(std::string_view request) {
  if (request.size() < kIpv4MinHeader) return std::nullopt;
  std::string reply(request);
  auto* p = reinterpret_cast<uint8_t*>(reply.data());
  const size_t headerLength = static_cast<size_t>(p[0] & 0x0F) * 4;
  if ((p[0] >> 4) != 4 || headerLength < kIpv4MinHeader || headerLength + 8 > reply.size() ||
      p[kProtocol] != kProtocolIcmp || p[headerLength] != kEchoRequest || p[headerLength + 1] != 0)
    return std::nullopt;
  uint8_t* icmp = p + headerLength;
  icmp[0] = kEchoReply;
  udp::StoreChecksum(icmp + 2, 0);
  udp::StoreChecksum(icmp + 2, udp::InternetChecksum(icmp, reply.size() - headerLength));
  uint8_t source[4];
  std::memcpy(source, p + kSource, 4);
  std::memcpy(p + kSource, p + kDestination, 4);
  std::memcpy(p + kDestination, source, 4);
  p[kTtl] = 64;
  udp::StoreChecksum(p + kHeaderChecksum, 0);
  udp::StoreChecksum(p + kHeaderChecksum, udp::InternetChecksum(p, headerLength));
  return reply;
}

SockAddr addressField(const uint8_t* addressNet) {
  SockAddr field{};
  field[0] = static_cast<uint8_t>(drvapi::kFamilyIpv4);
  std::memcpy(field.data() + 4, addressNet, 4);
  return field;
}

}  // namespace

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
    if (packet.size() >= kIpv4MinHeader) {
      platform::SocketAddress addressed, real;
      uint32_t destination;
      std::memcpy(&destination, packet.data() + kDestination, 4);
      addressed = platform::makeIpv4Address(destination, 0);
      if (map.resolve(addressed, real)) answer = echoReplyTo(packet);
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
  if (packet.size() < kIpv4MinHeader || (static_cast<uint8_t>(packet[0]) >> 4) != 4)
    return SendResult::Failed;
  const auto* bytes = reinterpret_cast<const uint8_t*>(packet.data());
  FlowDescription flow;
  flow.protocol = bytes[kProtocol];
  flow.processId = processId;
  flow.direction = 2;
  flow.local = addressField(bytes + kSource);
  flow.remote = addressField(bytes + kDestination);
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
