// A DNS responder of the test's own on a loopback address: answers the
// blocking DNS client's queries in one of several ways, faults included.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace hostnet {

class DnsResponder {
 public:
  enum class Mode {
    Answer,          // A 198.51.100.7, a CNAME-like record to skip, AAAA 2001:db8::5
    Silent,          // never answers
    WrongId,         // the right answer with the identifier off by one
    ErrorFlag,       // RCODE 2 (server failure)
    ZeroAnswers,     // a response with no answer record
    MismatchedName,  // the question name of another host
    Late,            // answers only once release() was called
    WrongIdThenAnswer,  // a wrong-id reply first, then the right one
  };

  explicit DnsResponder(Mode mode, uint32_t address = platform::ipv4(127, 0, 0, 1),
                        uint16_t portNet = 0)
      : mode_(mode) {
    socket_ = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
    platform::setExclusiveAddress(socket_);
    if (!platform::bindSocket(socket_, platform::makeIpv4Address(address, portNet))) {
      platform::closeSocket(socket_);
      socket_ = platform::kInvalidSocket;
      return;
    }
    platform::localAddressOf(socket_, local_);
    port_ = local_.port();
    thread_ = std::thread([this] { serve(); });
  }

  ~DnsResponder() {
    stop_ = true;
    if (thread_.joinable()) {
      wake();
      thread_.join();
    }
    platform::closeSocket(socket_);
  }

  bool ok() const { return socket_ != platform::kInvalidSocket; }
  uint16_t portNet() const { return port_; }
  int queries() const { return queries_; }
  int replies() const { return replies_; }
  void release() {
    released_ = true;
    wake();
  }

 private:
  void serve() {
    std::vector<std::pair<std::vector<uint8_t>, platform::SocketAddress>> held;
    for (;;) {
      if (mode_ == Mode::Late && released_) {
        for (auto& [reply, to] : held) send(reply, to);
        held.clear();
      }
      uint8_t query[1024];
      platform::SocketAddress from;
      const int n = platform::receiveFrom(socket_, query, sizeof query, &from);
      if (stop_) return;
      if (n < 12 + 5) continue;  // also the empty datagram of wake()
      ++queries_;
      if (mode_ == Mode::Silent) continue;
      std::vector<uint8_t> reply = build(query, static_cast<size_t>(n));
      if (mode_ == Mode::Late) {
        held.emplace_back(reply, from);
        continue;
      }
      if (mode_ == Mode::WrongIdThenAnswer) {
        std::vector<uint8_t> wrong = reply;
        wrong[1] ^= 1;
        send(wrong, from);
      }
      send(reply, from);
    }
  }

  // The serving thread waits in its receive: an empty datagram to the
  // responder's own address wakes it to see a stop or a release.
  void wake() {
    const uint8_t none = 0;
    platform::sendTo(socket_, &none, 0, local_);
  }

  void send(const std::vector<uint8_t>& reply, const platform::SocketAddress& to) {
    if (platform::sendTo(socket_, reply.data(), reply.size(), to) > 0) ++replies_;
  }

  std::vector<uint8_t> build(const uint8_t* query, size_t length) {
    std::vector<uint8_t> r(query, query + length);  // header and question as asked
    if (mode_ == Mode::WrongId) r[1] ^= 1;
    r[2] = 0x81;                                     // response, recursion desired
    r[3] = mode_ == Mode::ErrorFlag ? 0x82 : 0x80;   // RA, RCODE
    if (mode_ == Mode::MismatchedName) r[13] ^= 0x20;  // first letter of the name, other case
    uint8_t answers = 0;
    if (mode_ != Mode::ZeroAnswers) {
      const uint8_t a[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 198, 51, 100, 7};
      const uint8_t cname[] = {0xC0, 12, 0, 5, 0, 1, 0, 0, 0, 60, 0, 2, 0xC0, 12};
      const uint8_t aaaa[] = {0xC0, 12, 0, 28, 0, 1, 0, 0, 0, 60, 0, 16,
                              0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
      r.insert(r.end(), a, a + sizeof a);
      r.insert(r.end(), cname, cname + sizeof cname);
      r.insert(r.end(), aaaa, aaaa + sizeof aaaa);
      answers = 3;
    }
    r[6] = 0;
    r[7] = answers;
    return r;
  }

  Mode mode_;
  platform::Socket socket_ = platform::kInvalidSocket;
  platform::SocketAddress local_;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> released_{false};
  std::atomic<int> queries_{0};
  std::atomic<int> replies_{0};
};

}  // namespace hostnet
