// The node's DNS service: standard DNS queries over UDP (RFC 1035), answered
// from the same address and port they were sent to.
//
// A query for a name in the hosts table (a hosts-format file: an address,
// then names, '#' starts a comment) is answered from it: A questions with its
// IPv4 addresses, AAAA questions with its IPv6 ones (none: an empty answer).
// Any other query goes to the upstream server, under an identifier of the
// node's own, and the upstream's reply goes back to the client under the
// client's identifier. Without an upstream the node refuses the query
// (RCODE 5). At most `maxPending` queries wait for the upstream at a time;
// one that waits longer than `timeout` is forgotten (the client's own retry
// is a new query).
//
// Log lines (one each):
//   dns drop from=CLIENT size=N reason=R
//     R: malformed (not one readable query), pending-full, upstream-send-failed
//   dns hosts from=CLIENT name=NAME type=A|AAAA answers=N
//   dns forward from=CLIENT name=NAME id=ID upstream=ADDR:PORT
//   dns timeout name=NAME id=ID
//
// Everything runs on the io_context's thread; nothing blocks.
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "destination_map.h"
#include "log_sink.h"

namespace node {

// Host name (lower case) → its addresses, in file order.
using DnsHostsTable = std::map<std::string, std::vector<asio::ip::address>>;

// Reads a hosts-format file. False with `error` when it cannot be read; lines
// that are not an address and names are skipped.
bool loadDnsHosts(const std::string& path, DnsHostsTable& table, std::string& error);

struct DnsServiceSettings {
  std::optional<Ipv4Endpoint> upstream;  // host order
  DnsHostsTable hosts;
  size_t maxPending = 256;
  std::chrono::milliseconds timeout{3000};
};

class DnsServiceCore;

class DnsService {
 public:
  // Binds the service's datagram socket to `listen` (and the upstream socket
  // beside it). Throws asio::system_error when it cannot bind.
  DnsService(asio::io_context& io, const asio::ip::udp::endpoint& listen, DnsServiceSettings settings,
             LogSink log);
  ~DnsService();
  DnsService(const DnsService&) = delete;
  DnsService& operator=(const DnsService&) = delete;

  asio::ip::udp::endpoint localEndpoint() const;
  void start();
  // Closes both sockets and forgets every waiting query. io_context thread.
  void stop();

 private:
  std::shared_ptr<DnsServiceCore> core_;
};

}  // namespace node
