#include "icmp_echo_relay.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "udp/internet_checksum.h"

namespace node {

namespace {

// ICMP echo message (RFC 792): type, code, checksum, identifier, sequence.
constexpr size_t kEchoHeader = 8;
constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kEchoRequest = 8;
constexpr size_t kIpv4MinHeader = 20;
// Room for any ICMP packet a socket hands over.
constexpr size_t kPacketRoom = 65536;

uint16_t readWord(const uint8_t* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }

std::string endpointText(const asio::ip::udp::endpoint& endpoint) {
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

std::string compact(std::string text) {
  for (char& c : text) {
    if (c == ' ') c = '_';
  }
  return text;
}

}  // namespace

// One echo request in flight: its own socket, so that the system hands it
// only replies meant for it (a ping socket) or the test below picks them out
// (a raw socket sees every ICMP packet of the host).
struct IcmpEcho {
  IcmpEcho(asio::io_context& io) : descriptor(io), timer(io) {}
  asio::posix::stream_descriptor descriptor;
  asio::steady_timer timer;
  asio::ip::udp::endpoint engine;
  uint32_t destination = 0;  // as the engine named it, host order
  uint32_t mapped = 0;       // where the request went, host order
  uint16_t identifier = 0;
  uint16_t sequence = 0;
  bool raw = false;
  bool done = false;
  std::vector<uint8_t> reply;
};

class IcmpEchoRelayCore : public std::enable_shared_from_this<IcmpEchoRelayCore> {
 public:
  IcmpEchoRelayCore(asio::io_context& io, IcmpSettings settings, LogSink log, IcmpEchoRelay::ReplySink reply)
      : io_(io), settings_(std::move(settings)), log_(std::move(log)), reply_(std::move(reply)) {}

  void handle(const asio::ip::udp::endpoint& engine, uint32_t destination, const uint8_t* message,
              size_t length, size_t size) {
    if (stopping_) return;
    if (length < kEchoHeader || message[0] != kEchoRequest || message[1] != 0) {
      log_("udp drop from=" + endpointText(engine) + " size=" + std::to_string(size) +
           " reason=icmp-not-echo to=" + formatIpv4(destination));
      return;
    }
    auto echo = std::make_shared<IcmpEcho>(io_);
    echo->engine = engine;
    echo->destination = destination;
    echo->mapped = settings_.destinations.map(Ipv4Endpoint{destination, 0})
                       .value_or(Ipv4Endpoint{destination, 0})
                       .address;
    echo->identifier = readWord(message + 4);
    echo->sequence = readWord(message + 6);
    if (!settings_.allowRemote && !isLoopback(echo->mapped)) return finish(echo, "refused-not-loopback");
    if (echoes_.size() >= settings_.maxOutstanding) return finish(echo, "too-many");
    std::string failure;
    if (!open(*echo, failure)) return finish(echo, "socket-failed(" + failure + ")");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(echo->mapped);
    if (::sendto(echo->descriptor.native_handle(), message, length, 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) != static_cast<ssize_t>(length))
      return finish(echo, "socket-failed(" + compact(std::strerror(errno)) + ")");
    echoes_.insert(echo);
    echo->timer.expires_after(settings_.timeout);
    echo->timer.async_wait([self = shared_from_this(), echo](const std::error_code& error) {
      if (!error && !echo->done) self->finish(echo, "timeout");
    });
    armRead(echo);
  }

  void stop() {
    stopping_ = true;
    while (!echoes_.empty()) finish(*echoes_.begin(), "node-stopped");
  }

 private:
  // A ping socket needs the process's group in net.ipv4.ping_group_range; a
  // raw socket needs the right to open one. Either will do.
  static bool open(IcmpEcho& echo, std::string& failure) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    echo.raw = fd < 0;
    if (fd < 0) fd = ::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
      failure = compact(std::strerror(errno));
      return false;
    }
    echo.descriptor.assign(fd);
    return true;
  }

  void armRead(const std::shared_ptr<IcmpEcho>& echo) {
    echo->descriptor.async_wait(asio::posix::stream_descriptor::wait_read,
                                [self = shared_from_this(), echo](const std::error_code& error) {
                                  if (error || echo->done) return;
                                  if (self->drain(*echo)) {
                                    self->finish(echo, "replied");
                                    return;
                                  }
                                  self->armRead(echo);
                                });
  }

  // Reads what arrived; true once the echo's reply is among it.
  bool drain(IcmpEcho& echo) {
    for (;;) {
      ssize_t got = ::recv(echo.descriptor.native_handle(), packet_.data(), packet_.size(), 0);
      if (got < 0) return false;  // nothing more for now (or an error the timeout ends)
      const uint8_t* message = packet_.data();
      size_t length = static_cast<size_t>(got);
      if (echo.raw) {
        // A raw socket delivers the IPv4 header too, and every ICMP packet:
        // only an echo reply from where the request went, with its
        // identifier and sequence, answers it.
        if (length < kIpv4MinHeader) continue;
        const size_t headerLength = static_cast<size_t>(message[0] & 0x0F) * 4;
        uint32_t source;
        std::memcpy(&source, message + 12, sizeof source);
        if (headerLength < kIpv4MinHeader || headerLength > length || ntohl(source) != echo.mapped) continue;
        message += headerLength;
        length -= headerLength;
        if (length >= kEchoHeader && readWord(message + 4) != echo.identifier) continue;
      }
      if (length < kEchoHeader || message[0] != kEchoReply || message[1] != 0 ||
          readWord(message + 6) != echo.sequence)
        continue;
      echo.reply.assign(message, message + length);
      // A ping socket put its own identifier into the request: the engine
      // gets the one it sent.
      echo.reply[4] = static_cast<uint8_t>(echo.identifier >> 8);
      echo.reply[5] = static_cast<uint8_t>(echo.identifier);
      udp::StoreChecksum(&echo.reply[2], 0);
      udp::StoreChecksum(&echo.reply[2], udp::InternetChecksum(echo.reply.data(), echo.reply.size()));
      return true;
    }
  }

  void finish(std::shared_ptr<IcmpEcho> echo, const std::string& result) {
    if (echo->done) return;
    echo->done = true;
    echoes_.erase(echo);
    std::error_code ignored;
    echo->descriptor.close(ignored);
    echo->timer.cancel();
    log_("icmp echo engine=" + endpointText(echo->engine) + " to=" + formatIpv4(echo->destination) +
         " mapped=" + formatIpv4(echo->mapped) + " id=" + std::to_string(echo->identifier) +
         " seq=" + std::to_string(echo->sequence) + " result=" + result);
    if (result != "replied" || stopping_) return;
    if (settings_.replyDelay.count() <= 0) {
      reply_(echo->engine, echo->destination, echo->reply.data(), echo->reply.size());
      return;
    }
    // A far node: the reply is held as long as the trip would take. Held
    // replies are not counted against the bound of echoes in flight.
    echo->timer.expires_after(settings_.replyDelay);
    echo->timer.async_wait([self = shared_from_this(), echo](const std::error_code& error) {
      if (error || self->stopping_) return;
      self->reply_(echo->engine, echo->destination, echo->reply.data(), echo->reply.size());
    });
  }

  asio::io_context& io_;
  const IcmpSettings settings_;
  const LogSink log_;
  const IcmpEchoRelay::ReplySink reply_;
  bool stopping_ = false;
  std::set<std::shared_ptr<IcmpEcho>> echoes_;
  // One buffer serves every socket: the io_context runs one handler at a time.
  std::array<uint8_t, kPacketRoom> packet_{};
};

IcmpEchoRelay::IcmpEchoRelay(asio::io_context& io, IcmpSettings settings, LogSink log, ReplySink reply)
    : core_(std::make_shared<IcmpEchoRelayCore>(io, std::move(settings), std::move(log), std::move(reply))) {}

IcmpEchoRelay::~IcmpEchoRelay() = default;

void IcmpEchoRelay::handle(const asio::ip::udp::endpoint& engine, uint32_t destination,
                           const uint8_t* message, size_t length, size_t size) {
  core_->handle(engine, destination, message, length, size);
}

void IcmpEchoRelay::stop() { core_->stop(); }

}  // namespace node
