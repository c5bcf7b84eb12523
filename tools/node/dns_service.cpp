#include "dns_service.h"

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "dns/dns_message.h"

namespace node {
namespace {

using asio::ip::udp;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kSweepPeriod{250};
constexpr uint8_t kRcodeRefused = 5;

std::string lowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string endpointText(const udp::endpoint& e) {
  return e.address().to_string() + ":" + std::to_string(e.port());
}

}  // namespace

bool loadDnsHosts(const std::string& path, DnsHostsTable& table, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the hosts file " + path;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string addressText, name;
    if (!(words >> addressText)) continue;
    std::error_code bad;
    const asio::ip::address address = asio::ip::make_address(addressText, bad);
    if (bad) continue;
    while (words >> name) table[lowerAscii(name)].push_back(address);
  }
  return true;
}

class DnsServiceCore : public std::enable_shared_from_this<DnsServiceCore> {
 public:
  DnsServiceCore(asio::io_context& io, const udp::endpoint& listen, DnsServiceSettings settings, LogSink log)
      : socket_(io, listen),
        upstreamSocket_(io),
        sweep_(io),
        settings_(std::move(settings)),
        log_(std::move(log)) {
    if (settings_.upstream) {
      upstream_ = udp::endpoint(asio::ip::address_v4(settings_.upstream->address), settings_.upstream->port);
      // A loopback upstream is asked from loopback only.
      const asio::ip::address_v4 from = isLoopback(settings_.upstream->address)
                                            ? asio::ip::address_v4::loopback()
                                            : asio::ip::address_v4::any();
      upstreamSocket_.open(udp::v4());
      upstreamSocket_.bind(udp::endpoint(from, 0));
    }
  }

  udp::endpoint localEndpoint() const { return socket_.local_endpoint(); }

  void start() {
    receiveQuery();
    if (upstreamSocket_.is_open()) receiveReply();
    scheduleSweep();
  }

  void stop() {
    std::error_code ignored;
    socket_.close(ignored);
    upstreamSocket_.close(ignored);
    sweep_.cancel();
    pending_.clear();
  }

 private:
  struct Waiting {
    udp::endpoint client;
    uint16_t clientId = 0;
    std::string name;
    Clock::time_point since;
  };

  void receiveQuery() {
    auto self = shared_from_this();
    socket_.async_receive_from(asio::buffer(query_), client_,
                               [this, self](const std::error_code& e, size_t n) {
                                 if (e == asio::error::operation_aborted || !socket_.is_open()) return;
                                 if (!e) onQuery(n);
                                 receiveQuery();
                               });
  }

  void receiveReply() {
    auto self = shared_from_this();
    upstreamSocket_.async_receive_from(
        asio::buffer(reply_), replyFrom_, [this, self](const std::error_code& e, size_t n) {
          if (e == asio::error::operation_aborted || !upstreamSocket_.is_open()) return;
          if (!e) onReply(n);
          receiveReply();
        });
  }

  void drop(size_t size, const char* reason) {
    log_("dns drop from=" + endpointText(client_) + " size=" + std::to_string(size) + " reason=" + reason);
  }

  void answer(const std::vector<uint8_t>& message) {
    std::error_code ignored;
    socket_.send_to(asio::buffer(message), client_, 0, ignored);
  }

  void onQuery(size_t n) {
    const uint8_t* data = query_.data();
    if (!dns::IsExaminable(data, n, false)) return drop(n, "malformed");
    const dns::DnsMessage q = dns::ParseDnsMessage(data, n);

    auto hosts = q.name.empty() ? settings_.hosts.end() : settings_.hosts.find(q.name);
    if (hosts != settings_.hosts.end()) {
      std::vector<platform::SocketAddress28> addresses;
      for (const asio::ip::address& a : hosts->second) {
        if (q.isA && a.is_v4()) {
          const auto bytes = a.to_v4().to_bytes();  // network order
          uint32_t net;
          std::memcpy(&net, bytes.data(), 4);
          addresses.push_back(platform::SocketAddress28::FromIpv4(net));
        }
        if (!q.isA && a.is_v6())
          addresses.push_back(platform::SocketAddress28::FromIpv6(a.to_v6().to_bytes().data()));
      }
      log_("dns hosts from=" + endpointText(client_) + " name=" + q.name + " type=" + (q.isA ? "A" : "AAAA") +
           " answers=" + std::to_string(addresses.size()));
      return answer(dns::BuildDnsResponse(q.id, q.name, q.isA, addresses));
    }

    if (!settings_.upstream) {
      if (q.name.empty()) return drop(n, "malformed");
      std::vector<uint8_t> refused = dns::BuildDnsResponse(q.id, q.name, q.isA, {});
      if (refused.empty()) return drop(n, "malformed");
      refused[3] = static_cast<uint8_t>(0x80 | kRcodeRefused);  // RA, REFUSED
      return answer(refused);
    }
    if (pending_.size() >= settings_.maxPending) return drop(n, "pending-full");

    uint16_t id = nextId_;
    while (pending_.count(id) != 0) ++id;
    nextId_ = static_cast<uint16_t>(id + 1);
    const uint16_t clientId = static_cast<uint16_t>((data[0] << 8) | data[1]);
    std::vector<uint8_t> forwarded(data, data + n);
    forwarded[0] = static_cast<uint8_t>(id >> 8);
    forwarded[1] = static_cast<uint8_t>(id);
    std::error_code e;
    upstreamSocket_.send_to(asio::buffer(forwarded), upstream_, 0, e);
    if (e) return drop(n, "upstream-send-failed");
    const std::string name = q.name.empty() ? "?" : q.name;
    pending_[id] = Waiting{client_, clientId, name, Clock::now()};
    log_("dns forward from=" + endpointText(client_) + " name=" + name + " id=" + std::to_string(clientId) +
         " upstream=" + endpointText(upstream_));
  }

  void onReply(size_t n) {
    // Only the upstream answers, and only what is waiting.
    if (replyFrom_ != upstream_ || n < dns::kHeaderSize) return;
    const uint16_t id = static_cast<uint16_t>((reply_[0] << 8) | reply_[1]);
    auto it = pending_.find(id);
    if (it == pending_.end()) return;
    reply_[0] = static_cast<uint8_t>(it->second.clientId >> 8);
    reply_[1] = static_cast<uint8_t>(it->second.clientId);
    std::error_code ignored;
    socket_.send_to(asio::buffer(reply_.data(), n), it->second.client, 0, ignored);
    pending_.erase(it);
  }

  void scheduleSweep() {
    auto self = shared_from_this();
    sweep_.expires_after(kSweepPeriod);
    sweep_.async_wait([this, self](const std::error_code& e) {
      if (e || !socket_.is_open()) return;
      const Clock::time_point now = Clock::now();
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (now - it->second.since >= settings_.timeout) {
          log_("dns timeout name=" + it->second.name + " id=" + std::to_string(it->second.clientId));
          it = pending_.erase(it);
        } else {
          ++it;
        }
      }
      scheduleSweep();
    });
  }

  udp::socket socket_;
  udp::socket upstreamSocket_;
  asio::steady_timer sweep_;
  DnsServiceSettings settings_;
  LogSink log_;
  udp::endpoint upstream_;
  udp::endpoint client_;
  udp::endpoint replyFrom_;
  // A query is at most 512 bytes (RFC 1035 4.2.1); a larger datagram is
  // cut here and then fails the size check. Replies may use EDNS sizes.
  std::array<uint8_t, dns::kMaxMessageSize + 1> query_{};
  std::array<uint8_t, 4096> reply_{};
  std::unordered_map<uint16_t, Waiting> pending_;
  uint16_t nextId_ = 1;
};

DnsService::DnsService(asio::io_context& io, const udp::endpoint& listen, DnsServiceSettings settings,
                       LogSink log)
    : core_(std::make_shared<DnsServiceCore>(io, listen, std::move(settings), std::move(log))) {}

DnsService::~DnsService() = default;

udp::endpoint DnsService::localEndpoint() const { return core_->localEndpoint(); }
void DnsService::start() { core_->start(); }
void DnsService::stop() { core_->stop(); }

}  // namespace node
