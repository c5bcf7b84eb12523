#include "udp_tunnel.h"

#include <array>
#include <cstring>
#include <list>
#include <map>
#include <string>
#include <tuple>

#include "icmp_echo_relay.h"
#include "udp/tunnel_header.h"

namespace node {

using Udp = asio::ip::udp;
using Clock = std::chrono::steady_clock;

namespace {

// Datagrams taken from one socket per wake-up before the others get a turn.
constexpr int kBurst = 64;
// Room for the largest datagram either side can send (IPv4 carries at most
// 65507 payload bytes, IPv6 65527).
constexpr size_t kDatagramRoom = 65536;
// The tunnel socket takes bursts from engines while the node is busy; ask for
// more than the system's default (the system may cap it).
constexpr int kTunnelSocketBuffer = 1 << 20;

// Network-order fields of the wire headers, read and written byte by byte so
// that the host's byte order does not matter.
uint16_t portFromWire(uint16_t field) {
  uint8_t bytes[2];
  std::memcpy(bytes, &field, sizeof bytes);
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}
uint32_t addressFromWire(uint32_t field) {
  uint8_t bytes[4];
  std::memcpy(bytes, &field, sizeof bytes);
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}
uint16_t portToWire(uint16_t port) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  uint16_t field;
  std::memcpy(&field, bytes, sizeof field);
  return field;
}
uint32_t addressToWire(uint32_t address) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                            static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  uint32_t field;
  std::memcpy(&field, bytes, sizeof field);
  return field;
}

// Why ParseTunnelMessage refused a datagram, for the log line.
const char* malformedReason(const uint8_t* data, size_t size) {
  if (size < UdpProxy::kTunnelHeaderLength) return "short";
  if (data[0] != UdpProxy::kTunnelMagic0 || data[1] != UdpProxy::kTunnelMagic1) return "bad-magic";
  return "bad-length";
}

std::string endpointText(const Udp::endpoint& endpoint) {
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

// Log fields are space-separated: error texts lose their spaces.
std::string compact(std::string text) {
  for (char& c : text) {
    if (c == ' ') c = '_';
  }
  return text;
}

// One engine socket talking to one destination as the engine named it.
struct AssociationKey {
  Udp::endpoint engine;
  Ipv4Endpoint destination;  // host order
  bool operator<(const AssociationKey& other) const {
    return std::tie(engine, destination.address, destination.port) <
           std::tie(other.engine, other.destination.address, other.destination.port);
  }
};

}  // namespace

struct Association {
  Association(asio::io_context& io, uint64_t id, AssociationKey key, Ipv4Endpoint mapped, uint32_t userId)
      : id(id), key(std::move(key)), mapped(mapped), userId(userId), socket(io) {}

  uint64_t id;
  AssociationKey key;
  Ipv4Endpoint mapped;  // where the node really sends
  uint32_t userId;      // from the message that opened the association
  Udp::socket socket;   // connected to `mapped`: only its datagrams come back
  Clock::time_point lastUse;
  std::list<std::shared_ptr<Association>>::iterator lruPosition;
  bool closed = false;
  uint64_t upDatagrams = 0, upBytes = 0, downDatagrams = 0, downBytes = 0, dropped = 0;
};

// The tunnel's state. Completion handlers hold it (and their association)
// alive, so a handler that runs after stop() finds both intact.
class UdpTunnelCore : public std::enable_shared_from_this<UdpTunnelCore> {
 public:
  UdpTunnelCore(asio::io_context& io, const Udp::endpoint& listen, TunnelSettings settings, LogSink log)
      : io_(io), settings_(std::move(settings)), log_(std::move(log)), listener_(io), expiry_(io) {
    listener_.open(listen.protocol());
    listener_.bind(listen);
    listener_.non_blocking(true);
    std::error_code ignored;
    listener_.set_option(asio::socket_base::receive_buffer_size(kTunnelSocketBuffer), ignored);
    listener_.set_option(asio::socket_base::send_buffer_size(kTunnelSocketBuffer), ignored);
  }

  Udp::endpoint localEndpoint() const { return listener_.local_endpoint(); }

  void start() {
    IcmpSettings icmp;
    icmp.allowRemote = settings_.allowRemote;
    icmp.destinations = settings_.destinations;
    icmp.replyDelay = settings_.icmpReplyDelay;
    std::weak_ptr<UdpTunnelCore> weak = weak_from_this();
    icmp_ = std::make_unique<IcmpEchoRelay>(
        io_, std::move(icmp), log_,
        [weak](const Udp::endpoint& engine, uint32_t destination, const uint8_t* message, size_t length) {
          if (auto self = weak.lock()) self->sendIcmpReply(engine, destination, message, length);
        });
    armListener();
  }

  void stop() {
    stopping_ = true;
    if (icmp_) icmp_->stop();
    std::error_code ignored;
    listener_.close(ignored);
    expiry_.cancel();
    while (!lru_.empty()) close(lru_.back(), "node-stopped");
  }

 private:
  void armListener() {
    listener_.async_wait(Udp::socket::wait_read, [self = shared_from_this()](const std::error_code& error) {
      if (error || self->stopping_) return;
      self->drainListener();
      self->armListener();
    });
  }

  void drainListener() {
    for (int i = 0; i < kBurst; ++i) {
      Udp::endpoint from;
      std::error_code error;
      size_t size = listener_.receive_from(asio::buffer(inbound_), from, 0, error);
      if (error == asio::error::would_block) return;
      if (error) {
        log_("udp receive failed: " + compact(error.message()));
        return;
      }
      handleMessage(from, inbound_.data(), size);
    }
  }

  void drop(const Udp::endpoint& from, size_t size, const std::string& reason) {
    log_("udp drop from=" + endpointText(from) + " size=" + std::to_string(size) + " reason=" + reason);
  }

  void handleMessage(const Udp::endpoint& from, const uint8_t* data, size_t size) {
    UdpProxy::TunnelMessage message;
    if (!UdpProxy::ParseTunnelMessage(data, size, message)) {
      drop(from, size, malformedReason(data, size));
      return;
    }
    const Ipv4Endpoint destination{addressFromWire(message.addressNet), portFromWire(message.portNet)};
    if (destination.port == 0) {
      if (icmp_) icmp_->handle(from, destination.address, message.payload, message.length, size);
      return;
    }
    std::shared_ptr<Association> association;
    auto found = associations_.find(AssociationKey{from, destination});
    if (found != associations_.end()) {
      association = found->second;
    } else {
      association = open(from, destination, message.userId, size);
      if (!association) return;
    }
    touch(*association);
    sendUp(*association, message.payload, message.length);
  }

  // A new association for (engine, destination), or null after logging why
  // the datagram was dropped.
  std::shared_ptr<Association> open(const Udp::endpoint& engine, const Ipv4Endpoint& destination,
                                    uint32_t userId, size_t size) {
    const Ipv4Endpoint mapped = settings_.destinations.map(destination).value_or(destination);
    const std::string route = " to=" + formatEndpoint(destination) + " mapped=" + formatEndpoint(mapped);
    if (!settings_.allowRemote && !isLoopback(mapped.address)) {
      drop(engine, size, "refused-not-loopback" + route);
      return nullptr;
    }
    // The bound is kept before the new socket is opened, so the node never
    // holds more sockets than it names.
    while (!lru_.empty() && lru_.size() >= settings_.maxAssociations) close(lru_.back(), "evicted");

    auto association =
        std::make_shared<Association>(io_, ++nextId_, AssociationKey{engine, destination}, mapped, userId);
    association->lastUse = Clock::now();
    std::error_code error;
    association->socket.open(Udp::v4(), error);
    if (!error) association->socket.non_blocking(true, error);
    // Connected, so the system filters out datagrams from anyone but the
    // destination and picks the source address that reaches it.
    if (!error)
      association->socket.connect(Udp::endpoint(asio::ip::address_v4(mapped.address), mapped.port), error);
    if (error) {
      drop(engine, size, "socket-failed(" + compact(error.message()) + ")" + route);
      return nullptr;
    }
    lru_.push_front(association);
    association->lruPosition = lru_.begin();
    associations_[association->key] = association;
    log_("udp assoc=" + std::to_string(association->id) + " open engine=" + endpointText(engine) + route +
         " user=" + std::to_string(userId));
    armReplies(association);
    armExpiry();
    return association;
  }

  void touch(Association& association) {
    association.lastUse = Clock::now();
    lru_.splice(lru_.begin(), lru_, association.lruPosition);
  }

  void sendUp(Association& association, const uint8_t* payload, size_t length) {
    std::error_code error;
    association.socket.send(asio::buffer(payload, length), 0, error);
    // A refusal (ICMP port unreachable) for an earlier datagram is reported
    // by the next call on the socket; it says nothing about this one.
    if (error == asio::error::connection_refused)
      association.socket.send(asio::buffer(payload, length), 0, error);
    if (error) {
      ++association.dropped;
      return;
    }
    ++association.upDatagrams;
    association.upBytes += length;
  }

  void armReplies(const std::shared_ptr<Association>& association) {
    association->socket.async_wait(Udp::socket::wait_read,
                                   [self = shared_from_this(), association](const std::error_code& error) {
                                     if (error || association->closed) return;
                                     self->drainReplies(association);
                                     if (!association->closed) self->armReplies(association);
                                   });
  }

  void drainReplies(const std::shared_ptr<Association>& association) {
    using UdpProxy::kReplyHeaderLength;
    for (int i = 0; i < kBurst; ++i) {
      std::error_code error;
      // The reply is read behind room for its header, so the header goes in
      // front of it without moving the payload.
      size_t length = association->socket.receive(
          asio::buffer(reply_.data() + kReplyHeaderLength, kDatagramRoom), 0, error);
      if (error == asio::error::would_block) return;
      if (error == asio::error::connection_refused) {
        ++association->dropped;  // the destination refused an earlier datagram
        continue;
      }
      if (error) {
        close(association, "error(" + compact(error.message()) + ")");
        return;
      }
      touch(*association);
      const AssociationKey& key = association->key;
      size_t total = UdpProxy::BuildReplyMessage(
          reply_.data(), reply_.size(), portToWire(key.destination.port),
          addressToWire(key.destination.address), reply_.data() + kReplyHeaderLength, length);
      listener_.send_to(asio::buffer(reply_.data(), total), key.engine, 0, error);
      if (error) {
        ++association->dropped;
        continue;
      }
      ++association->downDatagrams;
      association->downBytes += length;
    }
  }

  // An ICMP reply goes back behind the reply header with port 0.
  void sendIcmpReply(const Udp::endpoint& engine, uint32_t destination, const uint8_t* message, size_t length) {
    if (stopping_) return;
    size_t total = UdpProxy::BuildReplyMessage(icmpReply_.data(), icmpReply_.size(), 0, addressToWire(destination),
                                               message, length);
    if (total == 0) return;
    std::error_code ignored;
    listener_.send_to(asio::buffer(icmpReply_.data(), total), engine, 0, ignored);
  }

  // One timer serves every association: it fires when the least recently
  // used one would expire. Activity only moves expiry times later, so a
  // timer already armed is never late.
  void armExpiry() {
    if (expiryArmed_ || lru_.empty() || stopping_) return;
    expiryArmed_ = true;
    expiry_.expires_at(lru_.back()->lastUse + settings_.idleTimeout);
    expiry_.async_wait([self = shared_from_this()](const std::error_code& error) {
      self->expiryArmed_ = false;
      if (error || self->stopping_) return;
      const Clock::time_point now = Clock::now();
      while (!self->lru_.empty() && self->lru_.back()->lastUse + self->settings_.idleTimeout <= now) {
        self->close(self->lru_.back(), "idle");
      }
      self->armExpiry();
    });
  }

  // Takes the association by value: callers pass entries of the lists that
  // this removes it from.
  void close(std::shared_ptr<Association> association, const std::string& result) {
    if (association->closed) return;
    association->closed = true;
    std::error_code ignored;
    association->socket.close(ignored);
    lru_.erase(association->lruPosition);
    associations_.erase(association->key);
    const Association& a = *association;
    log_("udp assoc=" + std::to_string(a.id) + " engine=" + endpointText(a.key.engine) +
         " to=" + formatEndpoint(a.key.destination) + " mapped=" + formatEndpoint(a.mapped) +
         " user=" + std::to_string(a.userId) + " result=" + result + " up=" + std::to_string(a.upDatagrams) +
         "/" + std::to_string(a.upBytes) + " down=" + std::to_string(a.downDatagrams) + "/" +
         std::to_string(a.downBytes) + " dropped=" + std::to_string(a.dropped));
  }

  asio::io_context& io_;
  const TunnelSettings settings_;
  const LogSink log_;
  Udp::socket listener_;
  asio::steady_timer expiry_;
  bool expiryArmed_ = false;
  bool stopping_ = false;
  uint64_t nextId_ = 0;
  // Most recently used first; the map finds an association by its key.
  std::list<std::shared_ptr<Association>> lru_;
  std::map<AssociationKey, std::shared_ptr<Association>> associations_;
  // One buffer for datagrams from engines and one for replies: the io_context
  // runs one handler at a time, and each datagram is done with before the
  // next is read.
  std::array<uint8_t, kDatagramRoom> inbound_{};
  std::array<uint8_t, UdpProxy::kReplyHeaderLength + kDatagramRoom> reply_{};
  std::array<uint8_t, UdpProxy::kReplyHeaderLength + kDatagramRoom> icmpReply_{};
  std::unique_ptr<IcmpEchoRelay> icmp_;
};

UdpTunnel::UdpTunnel(asio::io_context& io, const Udp::endpoint& listen, TunnelSettings settings, LogSink log)
    : core_(std::make_shared<UdpTunnelCore>(io, listen, std::move(settings), std::move(log))) {}

UdpTunnel::~UdpTunnel() = default;

Udp::endpoint UdpTunnel::localEndpoint() const { return core_->localEndpoint(); }

void UdpTunnel::start() { core_->start(); }

void UdpTunnel::stop() { core_->stop(); }

}  // namespace node
