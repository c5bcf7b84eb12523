// Linux (glibc): the shapes here are the ones glibc gives, checked against
// it by the tests for numeric hosts. Memory a program receives is the C
// library's malloc, as a program may hand it on.
#include "lookup_result.h"

#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

namespace capture::preload {
namespace {

// The socket types getaddrinfo lists for IPv4 when the hints name none, in
// its order; the raw one takes no named service.
struct TypeRow {
  int socktype;
  int protocol;
  const char* serviceProtocol;  // getservbyname's name for it; null: none
};
constexpr TypeRow kTypes[] = {
    {SOCK_STREAM, IPPROTO_TCP, "tcp"},
    {SOCK_DGRAM, IPPROTO_UDP, "udp"},
    {SOCK_RAW, 0, nullptr},
};

// A decimal port, nothing else.
std::optional<uint16_t> numericPort(const char* service) {
  if (*service == '\0') return std::nullopt;
  uint32_t value = 0;
  for (const char* c = service; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(*c - '0');
    if (value > 65535) return std::nullopt;
  }
  return htons(static_cast<uint16_t>(value));
}

std::optional<uint16_t> namedPort(const char* service, const char* protocol) {
  servent entry{}, *found = nullptr;
  char buffer[4096];
  if (::getservbyname_r(service, protocol, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
    return std::nullopt;
  return static_cast<uint16_t>(found->s_port);
}

// One allocation per node, the address inside it, the canonical name in an
// allocation of its own: the layout glibc's own lists have, so even a
// freeaddrinfo that bypasses the capture's (one bound before it, say) frees
// such a list right. The capture's own freeaddrinfo does not rely on that:
// it frees the nodes it knows itself.
struct Node {
  addrinfo info;
  sockaddr_in address;
};

// Every node NewAddrinfoList handed out and nobody freed yet. Never
// destroyed: a program may free its lists while it exits.
struct Registry {
  std::mutex lock;
  std::unordered_set<const addrinfo*> nodes;
};

Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

void freeNode(addrinfo* node) {
  std::free(node->ai_canonname);
  std::free(node);  // the Node that holds it
}

}  // namespace

std::optional<ServiceRequest> RequestedSockets(const char* service, const addrinfo* hints) {
  const int socktype = hints != nullptr ? hints->ai_socktype : 0;
  const int protocol = hints != nullptr ? hints->ai_protocol : 0;
  const int flags = hints != nullptr ? hints->ai_flags : 0;
  std::optional<uint16_t> port = uint16_t{0};
  if (service != nullptr) {
    port = numericPort(service);
    // A named service needs a protocol to be looked up under (the raw type
    // has none), and AI_NUMERICSERV forbids the look-up; an empty service is
    // the C library's own case.
    if (!port && ((flags & AI_NUMERICSERV) != 0 || socktype == SOCK_RAW || *service == '\0'))
      return std::nullopt;
    // The C library refuses any service for a raw socket it was asked for.
    if (port && socktype == SOCK_RAW) return std::nullopt;
  }
  ServiceRequest request;
  for (const TypeRow& row : kTypes) {
    if (socktype != 0 && socktype != row.socktype) continue;
    SocketEntry entry{row.socktype, row.protocol, port.value_or(0)};
    if (row.socktype == SOCK_RAW) {
      // A raw socket takes the protocol it is given; asked for by type 0,
      // only without a protocol and with no named service.
      if (socktype == 0 && (protocol != 0 || (service != nullptr && !port))) continue;
      entry.protocol = protocol;
    } else if (protocol != 0 && protocol != row.protocol) {
      continue;
    }
    if (!port) {
      const std::optional<uint16_t> named = namedPort(service, row.serviceProtocol);
      if (!named) continue;
      entry.port = *named;
    }
    request.entries.push_back(entry);
  }
  // A protocol no listed type carries (SCTP, UDP-Lite...), a type with a
  // protocol not its own, or a service no protocol knows.
  if (request.entries.empty()) return std::nullopt;
  return request;
}

addrinfo* NewAddrinfoList(const std::vector<uint32_t>& addresses, const ServiceRequest& request, int flags,
                          const std::string* canonicalName) {
  addrinfo* head = nullptr;
  addrinfo** tail = &head;
  auto undo = [&head] {
    while (head != nullptr) {
      addrinfo* next = head->ai_next;
      freeNode(head);
      head = next;
    }
    return nullptr;
  };
  for (uint32_t address : addresses) {
    for (const SocketEntry& entry : request.entries) {
      auto* node = static_cast<Node*>(std::calloc(1, sizeof(Node)));
      if (node == nullptr) return undo();
      node->address.sin_family = AF_INET;
      node->address.sin_port = entry.port;
      node->address.sin_addr.s_addr = address;
      node->info.ai_flags = flags;
      node->info.ai_family = AF_INET;
      node->info.ai_socktype = entry.socktype;
      node->info.ai_protocol = entry.protocol;
      node->info.ai_addrlen = sizeof(sockaddr_in);
      node->info.ai_addr = reinterpret_cast<sockaddr*>(&node->address);
      *tail = &node->info;
      tail = &node->info.ai_next;
    }
  }
  if (head == nullptr) return nullptr;
  if (canonicalName != nullptr && (head->ai_canonname = ::strdup(canonicalName->c_str())) == nullptr)
    return undo();
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  try {
    for (const addrinfo* node = head; node != nullptr; node = node->ai_next) r.nodes.insert(node);
  } catch (const std::bad_alloc&) {
    for (const addrinfo* node = head; node != nullptr; node = node->ai_next) r.nodes.erase(node);
    return undo();
  }
  return head;
}

addrinfo* FreeOwnAddrinfo(addrinfo* list) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  while (list != nullptr && r.nodes.erase(list) == 1) {
    addrinfo* next = list->ai_next;
    freeNode(list);
    list = next;
  }
  return list;
}

int FillHostent(hostent* host, char* buffer, size_t size, const std::string& name,
                const std::vector<std::string>& aliases, const std::vector<uint32_t>& addresses) {
  // [pad][address pointers, null][alias pointers, null][addresses][name][aliases]
  const size_t pad = (alignof(char*) - reinterpret_cast<uintptr_t>(buffer) % alignof(char*)) % alignof(char*);
  size_t needed = pad + (addresses.size() + 1 + aliases.size() + 1) * sizeof(char*) +
                  addresses.size() * sizeof(uint32_t) + name.size() + 1;
  for (const std::string& alias : aliases) needed += alias.size() + 1;
  if (buffer == nullptr || size < needed) return ERANGE;

  char** addressList = reinterpret_cast<char**>(buffer + pad);
  char** aliasList = addressList + addresses.size() + 1;
  char* at = reinterpret_cast<char*>(aliasList + aliases.size() + 1);
  for (size_t i = 0; i < addresses.size(); ++i) {
    std::memcpy(at, &addresses[i], sizeof(uint32_t));
    addressList[i] = at;
    at += sizeof(uint32_t);
  }
  addressList[addresses.size()] = nullptr;
  auto put = [&at](const std::string& text) {
    char* start = at;
    std::memcpy(at, text.c_str(), text.size() + 1);
    at += text.size() + 1;
    return start;
  };
  host->h_name = put(name);
  for (size_t i = 0; i < aliases.size(); ++i) aliasList[i] = put(aliases[i]);
  aliasList[aliases.size()] = nullptr;
  host->h_aliases = aliasList;
  host->h_addrtype = AF_INET;
  host->h_length = sizeof(uint32_t);
  host->h_addr_list = addressList;
  return 0;
}

}  // namespace capture::preload
