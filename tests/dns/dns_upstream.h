// A DNS server of the test's own on 127.0.0.1, standing in for an upstream:
// answers each query with one A record (or stays silent) and remembers what
// it was asked.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns/dns_message.h"
#include "platform/net.h"

namespace dnstest {

class Upstream {
 public:
  explicit Upstream(uint32_t answerNet) : answer_(answerNet) {
    socket_ = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
    platform::bindSocket(socket_, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0));
    platform::localAddressOf(socket_, address_);
    thread_ = std::thread([this] { run(); });
  }
  ~Upstream() {
    // The thread waits in its receive (Windows does not end it for a shut
    // down socket): an empty datagram to its own address wakes it.
    stop_ = true;
    const uint8_t none = 0;
    platform::sendTo(socket_, &none, 0, address_);
    thread_.join();
    platform::closeSocket(socket_);
  }
  uint16_t port() const { return address_.port(); }
  void setSilent(bool silent) { silent_ = silent; }
  // Answers with the question's name in upper case.
  void setShouting(bool shouting) { shouting_ = shouting; }
  std::vector<dns::DnsMessage> seen() {
    std::lock_guard<std::mutex> lock(m_);
    return seen_;
  }
  size_t seenCount() { return seen().size(); }

 private:
  void run() {
    uint8_t buf[600];
    for (;;) {
      platform::SocketAddress from;
      const int n = platform::receiveFrom(socket_, buf, sizeof buf, &from);
      if (stop_) return;
      if (n <= 0) continue;
      const dns::DnsMessage q = dns::ParseDnsMessage(buf, static_cast<size_t>(n));
      if (q.isResponse || q.name.empty()) continue;
      {
        std::lock_guard<std::mutex> lock(m_);
        seen_.push_back(q);
      }
      if (silent_) continue;
      std::string name = q.name;
      if (shouting_)
        for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
      const std::vector<uint8_t> r =
          dns::BuildDnsResponse(q.id, name, q.isA, {platform::SocketAddress28::FromIpv4(answer_)});
      platform::sendTo(socket_, r.data(), r.size(), from);
    }
  }

  uint32_t answer_;
  platform::Socket socket_;
  platform::SocketAddress address_;
  std::thread thread_;
  std::atomic<bool> stop_{false}, silent_{false}, shouting_{false};
  std::mutex m_;
  std::vector<dns::DnsMessage> seen_;
};

}  // namespace dnstest
