// The results of the capture's name look-ups (resolver.h) in the shapes the C
// library gives them: getaddrinfo's addrinfo list and gethostbyname's
// hostent. Also which socket types and port a getaddrinfo call asks for, as
// the C library reads its hints and service (where the capture cannot tell
// for sure, the call is left to the C library).
//
// Any thread. The lists made here are tracked until freed, so that the
// capture's freeaddrinfo knows them from the C library's.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace capture::preload {

// One addrinfo per address and per entry.
struct SocketEntry {
  int socktype;
  int protocol;
  uint16_t port;  // network order
};

// In the C library's order: stream, datagram, raw.
struct ServiceRequest {
  std::vector<SocketEntry> entries;
};

// The entries that getaddrinfo with `hints` (null: none) gives for IPv4
// addresses and `service` (null: port 0): hints' socket type, or stream,
// datagram and raw for 0 (raw only with a numeric or no service); the
// protocol from the hints, or TCP, UDP and 0. A decimal service up to 65535
// is the port; any other is looked up with getservbyname_r under each
// entry's protocol, and an entry whose protocol does not know it is left
// out. nullopt whenever the C library would fail the call (an unknown
// service, a socket type or protocol it refuses) or the capture does not
// know what it would do (other socket types and protocols, an empty service,
// a larger number, a name with AI_NUMERICSERV): such calls go to it.
std::optional<ServiceRequest> RequestedSockets(const char* service, const addrinfo* hints);

// A new addrinfo list: for each of `addresses` (network order), one node per
// entry of `request`, family AF_INET, its sockaddr_in inside the node's own
// allocation, ai_flags as `flags`; the first node carries a copy of
// `canonicalName` when it is given. Null when memory ran out (nothing left
// allocated) or nothing is to be listed. Free with FreeOwnAddrinfo.
addrinfo* NewAddrinfoList(const std::vector<uint32_t>& addresses, const ServiceRequest& request, int flags,
                          const std::string* canonicalName);

// Frees the nodes of `list` that NewAddrinfoList made, from its start up to
// the first node it did not make, which it returns (null when there is none):
// that one, and what follows it, is the C library's to free.
addrinfo* FreeOwnAddrinfo(addrinfo* list);

// Writes a hostent for IPv4 `addresses` into `host` and `buffer` (of `size`
// bytes, which hold the addresses, the pointer arrays and the strings): the
// name `name`, the aliases `aliases`. 0, or ERANGE (nothing written that
// counts) when the buffer is too small.
int FillHostent(hostent* host, char* buffer, size_t size, const std::string& name,
                const std::vector<std::string>& aliases, const std::vector<uint32_t>& addresses);

}  // namespace capture::preload
