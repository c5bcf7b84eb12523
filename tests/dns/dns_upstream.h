// A DNS server of the test's own on 127.0.0.1, standing in for an upstream
// (of the resolver, the node's DNS service and the blocking DNS client):
// answers each query in one of several ways, faults included, and remembers
// what it was asked.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "dns/dns_message.h"
#include "platform/net.h"
#include "platform/owned_socket.h"

namespace dnstest {

class Upstream {
 public:
  enum class Mode {
    Answer,             // A `answerNet`, a CNAME-like record to skip, AAAA 2001:db8::5
    Silent,             // never answers
    WrongId,            // the right answer with the identifier off by one
    WrongIdThenAnswer,  // a wrong-id reply first, then the right one
    ErrorFlag,          // RCODE 2 (server failure)
    ZeroAnswers,        // a response with no answer record
    OtherCase,          // the right answer, the name's first letter in the other case
    Late,               // answers only once release() was called
  };

  explicit Upstream(Mode mode = Mode::Answer, uint32_t answerNet = platform::ipv4(198, 51, 100, 7))
      : answer_(answerNet), mode_(mode) {
    socket_.reset(platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram));
    if (!platform::bindSocket(socket_.get(), platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0)) ||
        !platform::localAddressOf(socket_.get(), address_)) {
      socket_.reset();
      return;
    }
    thread_ = std::thread([this] { run(); });
  }
  ~Upstream() {
    stop_ = true;
    if (thread_.joinable()) {
      wake();
      thread_.join();
    }
  }
  bool ok() const { return socket_.valid(); }
  uint16_t port() const { return address_.port(); }  // network order
  void setMode(Mode mode) { mode_ = mode; }
  // Lets the replies a Late server holds go.
  void release() {
    released_ = true;
    wake();
  }
  std::vector<dns::DnsMessage> seen() {
    std::lock_guard<std::mutex> lock(m_);
    return seen_;
  }
  size_t seenCount() { return seen().size(); }
  int replies() const { return replies_; }

 private:
  void run() {
    std::vector<std::pair<std::vector<uint8_t>, platform::SocketAddress>> held;
    uint8_t query[600];
    for (;;) {
      if (released_) {
        for (const auto& [reply, to] : held) send(reply, to);
        held.clear();
      }
      platform::SocketAddress from;
      const int n = platform::receiveFrom(socket_.get(), query, sizeof query, &from);
      if (stop_) return;
      if (n < static_cast<int>(dns::kHeaderSize) + 5) continue;  // also the empty datagram of wake()
      {
        std::lock_guard<std::mutex> lock(m_);
        seen_.push_back(dns::ParseDnsMessage(query, static_cast<size_t>(n)));
      }
      const Mode mode = mode_;
      if (mode == Mode::Silent) continue;
      const std::vector<uint8_t> reply = build(query, static_cast<size_t>(n), mode);
      if (mode == Mode::Late) {
        held.emplace_back(reply, from);
        continue;
      }
      if (mode == Mode::WrongIdThenAnswer) {
        std::vector<uint8_t> wrong = reply;
        wrong[1] ^= 1;
        send(wrong, from);
      }
      send(reply, from);
    }
  }

  // The serving thread waits in its receive (Windows does not end it for a
  // shut down socket): an empty datagram to its own address wakes it to see a
  // stop or a release.
  void wake() {
    const uint8_t none = 0;
    platform::sendTo(socket_.get(), &none, 0, address_);
  }

  void send(const std::vector<uint8_t>& reply, const platform::SocketAddress& to) {
    if (platform::sendTo(socket_.get(), reply.data(), reply.size(), to) > 0) ++replies_;
  }

  std::vector<uint8_t> build(const uint8_t* query, size_t length, Mode mode) const {
    std::vector<uint8_t> r(query, query + length);  // header and question as asked
    if (mode == Mode::WrongId) r[1] ^= 1;
    r[2] = 0x81;                                   // response, recursion desired
    r[3] = mode == Mode::ErrorFlag ? 0x82 : 0x80;  // RA, RCODE
    if (mode == Mode::OtherCase) r[13] ^= 0x20;    // first letter of the name
    r[6] = 0;
    r[7] = mode == Mode::ZeroAnswers ? 0 : 3;
    if (mode == Mode::ZeroAnswers) return r;
    const uint8_t a[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
    const uint8_t cname[] = {0xC0, 12, 0, 5, 0, 1, 0, 0, 0, 60, 0, 2, 0xC0, 12};
    const uint8_t aaaa[] = {0xC0, 12,   0, 28, 0, 1, 0, 0, 0, 60, 0, 16, 0x20, 0x01,
                            0x0d, 0xb8, 0, 0,  0, 0, 0, 0, 0, 0,  0, 0,  0,    5};
    const auto* answer = reinterpret_cast<const uint8_t*>(&answer_);
    r.insert(r.end(), a, a + sizeof a);
    r.insert(r.end(), answer, answer + 4);
    r.insert(r.end(), cname, cname + sizeof cname);
    r.insert(r.end(), aaaa, aaaa + sizeof aaaa);
    return r;
  }

  const uint32_t answer_;
  std::atomic<Mode> mode_;
  platform::OwnedSocket socket_;
  platform::SocketAddress address_;
  std::thread thread_;
  std::atomic<bool> stop_{false}, released_{false};
  std::atomic<int> replies_{0};
  std::mutex m_;
  std::vector<dns::DnsMessage> seen_;
};

}  // namespace dnstest
