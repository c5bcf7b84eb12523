// Linux (glibc 2.34 and later keep the stub resolver inside libc): the
// program's own calls into the resolver go through its PLT, so the capture
// library, preloaded, defines them first. The C library's definitions are
// found with dlsym(RTLD_NEXT) for the calls the capture leaves to it.
#include "resolver.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "address_reply.h"
#include "capture_client.h"
#include "dns/dns_message.h"
#include "lookup_result.h"
#include "resolver_config.h"

namespace capture::preload {
namespace {

constexpr uint16_t kDnsPort = 53;
// Room for any reply to a query without extensions (512 bytes), and for a
// server that sends more.
constexpr size_t kReplyBuffer = 4096;
// The flags a capture look-up knows what to do with; any other goes to the
// C library (AI_NUMERICHOST, and whatever a later C library adds).
// AI_V4MAPPED and AI_ALL only matter for AF_INET6, AI_PASSIVE only without a
// host, AI_IDN only for names that are not ASCII (which the capture leaves
// alone), AI_CANONIDN only for a canonical name with an IDNA label
// ("xn--"), which the C library is asked to turn into Unicode.
constexpr int kKnownFlags =
    AI_PASSIVE | AI_CANONNAME | AI_V4MAPPED | AI_ALL | AI_ADDRCONFIG | AI_NUMERICSERV | AI_IDN | AI_CANONIDN;
constexpr std::string_view kIdnaPrefix = "xn--";

struct CLibrary {
  int (*getaddrinfo)(const char*, const char*, const addrinfo*, addrinfo**);
  void (*freeaddrinfo)(addrinfo*);
  hostent* (*gethostbyname)(const char*);
  hostent* (*gethostbyname2)(const char*, int);
  int (*gethostbyname_r)(const char*, hostent*, char*, size_t, hostent**, int*);
  int (*gethostbyname2_r)(const char*, int, hostent*, char*, size_t, hostent**, int*);
};

template <class Fn>
void resolve(Fn& slot, const char* name) {
  slot = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

// The C library's calls, resolved once. Each is there in every glibc that
// can carry the capture; a missing one would make the call fail as glibc
// fails a look-up it cannot make.
const CLibrary& cLibrary() {
  static const CLibrary calls = [] {
    CLibrary c{};
    resolve(c.getaddrinfo, "getaddrinfo");
    resolve(c.freeaddrinfo, "freeaddrinfo");
    resolve(c.gethostbyname, "gethostbyname");
    resolve(c.gethostbyname2, "gethostbyname2");
    resolve(c.gethostbyname_r, "gethostbyname_r");
    resolve(c.gethostbyname2_r, "gethostbyname2_r");
    return c;
  }();
  return calls;
}

// Keeps errno as the caller had it, for the calls the capture answers.
class KeptErrno {
 public:
  KeptErrno() : saved_(errno) {}
  ~KeptErrno() { errno = saved_; }
  KeptErrno(const KeptErrno&) = delete;
  KeptErrno& operator=(const KeptErrno&) = delete;

 private:
  int saved_;
};

// A socket of the capture's interposed kind, closed through it.
class CapturedSocket {
 public:
  CapturedSocket() : fd_(socketCall(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
  ~CapturedSocket() {
    if (fd_ >= 0) closeCall(fd_);
  }
  CapturedSocket(const CapturedSocket&) = delete;
  CapturedSocket& operator=(const CapturedSocket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

uint16_t randomId() {
  uint16_t id;
  if (::getrandom(&id, sizeof id, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof id)) return id;
  // Without entropy yet (early boot): the clock and the process, which at
  // least differ between look-ups.
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return static_cast<uint16_t>(static_cast<uint64_t>(now) ^ (static_cast<uint64_t>(now) >> 16) ^
                               static_cast<uint64_t>(::getpid()));
}

// Whether `text` has `part` (lower case) at `at`, without ASCII case.
bool hasAt(std::string_view text, size_t at, std::string_view part) {
  if (at > text.size() || text.size() - at < part.size()) return false;
  for (size_t i = 0; i < part.size(); ++i) {
    char c = text[at + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != part[i]) return false;
  }
  return true;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && hasAt(text, text.size() - suffix.size(), suffix);
}

// A label of `name` in IDNA's ASCII form.
bool hasIdnaLabel(std::string_view name) {
  for (size_t at = 0; at < name.size(); at = name.find('.', at) + 1) {
    if (hasAt(name, at, kIdnaPrefix)) return true;
    if (name.find('.', at) == std::string_view::npos) break;
  }
  return false;
}

// Whether the capture asks for `name` itself: a name the C library would
// send to a name server, never a numeric one or one the hosts file or the
// local host answers.
bool capturedName(const char* name) {
  if (name == nullptr) return false;
  std::string_view text(name);
  // inet_aton takes every numeric form the C library's look-ups take as an
  // address ("1.2.3.4", "0x7f.1", "127.1").
  in_addr numeric{};
  if (::inet_aton(name, &numeric) != 0) return false;
  for (char c : text)
    if (c < '!' || c > '~' || c == ':' || c == '%') return false;  // IPv6, scopes, non-ASCII
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  if (text.find('.') == std::string_view::npos) return false;  // search domains, single labels
  if (endsWith(text, ".localhost") || endsWith(text, ".local")) return false;
  std::vector<uint8_t> encoded;
  if (!dns::AppendEncodedName(text, encoded)) return false;
  const std::optional<bool> listed = HostsFileNamesHost(text);
  return listed.has_value() && !*listed;
}

// Asks the configured servers for the A records of `name`: the first
// answer that says something (addresses, no such name, no data), or nullopt
// when none came.
std::optional<AddressReply> askServers(std::string_view name) {
  const ResolverConfig config = ReadResolverConfig();
  const uint16_t id = randomId();
  const std::vector<uint8_t> query = dns::BuildDnsQuery(id, name, dns::kTypeA);
  CapturedSocket socket;
  if (query.empty() || socket.fd() < 0) return std::nullopt;
  std::vector<uint8_t> reply(kReplyBuffer);
  bool asked[kMaxNameServers] = {};
  for (int attempt = 0; attempt < config.attempts; ++attempt) {
    for (int server = 0; server < config.serverCount; ++server) {
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(kDnsPort);
      to.sin_addr.s_addr = config.servers[server];
      iovec out{const_cast<uint8_t*>(query.data()), query.size()};
      msghdr m{};
      m.msg_name = &to;
      m.msg_namelen = sizeof to;
      m.msg_iov = &out;
      m.msg_iovlen = 1;
      if (sendCall(socket.fd(), &m, MSG_NOSIGNAL) < 0) continue;
      asked[server] = true;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(config.timeoutSeconds);
      for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{socket.fd(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        sockaddr_in from{};
        iovec in{reply.data(), reply.size()};
        msghdr r{};
        r.msg_name = &from;
        r.msg_namelen = sizeof from;
        r.msg_iov = &in;
        r.msg_iovlen = 1;
        const ssize_t n = receiveCall(socket.fd(), &r, MSG_DONTWAIT);
        if (n < 0) {
          if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
          // An error the network reported (a refused port, say): the next
          // server.
          break;
        }
        // Only the servers asked, from their DNS port, may answer; the
        // socket takes anybody's datagrams.
        bool fromServer = false;
        for (int i = 0; i < config.serverCount; ++i)
          fromServer |= asked[i] && from.sin_addr.s_addr == config.servers[i];
        if (!fromServer || from.sin_port != htons(kDnsPort)) continue;
        AddressReply answer = ReadAddressReply(reply.data(), static_cast<size_t>(n), id, name);
        if (answer.kind == ReplyKind::Unusable) break;
        if (answer.kind != ReplyKind::Ignored) return answer;
      }
    }
  }
  return std::nullopt;
}

// What a look-up of `name` (not yet known to be the capture's) gives:
// nullopt when it is the C library's.
std::optional<AddressReply> lookUp(const char* name) {
  if (!capturedName(name) || !driverReachable()) return std::nullopt;
  std::string_view text(name);
  if (text.back() == '.') text.remove_suffix(1);
  return askServers(text);
}

hostent* realGethostbyname(const char* name, int family, bool withFamily) {
  const CLibrary& c = cLibrary();
  if (withFamily) return c.gethostbyname2 != nullptr ? c.gethostbyname2(name, family) : nullptr;
  return c.gethostbyname != nullptr ? c.gethostbyname(name) : nullptr;
}

}  // namespace

int getaddrinfoCall(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  const CLibrary& c = cLibrary();
  auto cLibraryCall = [&] {
    return c.getaddrinfo != nullptr ? c.getaddrinfo(node, service, hints, result) : EAI_SYSTEM;
  };
  const int family = hints != nullptr ? hints->ai_family : AF_UNSPEC;
  const int flags = hints != nullptr ? hints->ai_flags : 0;
  if (node == nullptr || result == nullptr || (family != AF_INET && family != AF_UNSPEC) ||
      (flags & ~kKnownFlags) != 0)
    return cLibraryCall();
  std::optional<ServiceRequest> request;
  std::optional<AddressReply> reply;
  try {
    KeptErrno kept;
    request = RequestedSockets(service, hints);
    if (request) reply = lookUp(node);
  } catch (const std::bad_alloc&) {
    // Only what the capture allocated for itself ran out; the C library may
    // still manage.
    return cLibraryCall();
  }
  if (!reply) return cLibraryCall();
  const bool canonicalName = (flags & AI_CANONNAME) != 0;
  switch (reply->kind) {
    case ReplyKind::Addresses:
      if (canonicalName && (flags & AI_CANONIDN) != 0 && hasIdnaLabel(reply->canonicalName))
        return cLibraryCall();
      break;
    case ReplyKind::NoName:
      return EAI_NONAME;
    case ReplyKind::NoData:
      // The name may have IPv6 addresses, which only the C library asks for.
      return family == AF_UNSPEC ? cLibraryCall() : EAI_NODATA;
    case ReplyKind::Ignored:
    case ReplyKind::Unusable:
      break;  // never given by askServers
  }
  addrinfo* list =
      NewAddrinfoList(reply->addresses, *request, flags, canonicalName ? &reply->canonicalName : nullptr);
  if (list == nullptr) return EAI_MEMORY;
  *result = list;
  return 0;
}

void freeaddrinfoCall(addrinfo* list) {
  addrinfo* rest = FreeOwnAddrinfo(list);
  if (rest != nullptr && cLibrary().freeaddrinfo != nullptr) cLibrary().freeaddrinfo(rest);
}

hostent* gethostbynameCall(const char* name, int family, bool withFamily) {
  if (family != AF_INET) return realGethostbyname(name, family, withFamily);
  // The thread's own result, as large as the largest one it needed.
  thread_local hostent host;
  thread_local std::vector<char> buffer;
  try {
    KeptErrno kept;
    const std::optional<AddressReply> reply = lookUp(name);
    if (reply && reply->kind == ReplyKind::Addresses) {
      if (buffer.empty()) buffer.resize(1024);
      while (FillHostent(&host, buffer.data(), buffer.size(), reply->canonicalName, reply->aliases,
                         reply->addresses) == ERANGE)
        buffer.resize(buffer.size() * 2);
      return &host;
    }
    if (reply) {
      h_errno = reply->kind == ReplyKind::NoName ? HOST_NOT_FOUND : NO_DATA;
      return nullptr;
    }
  } catch (const std::bad_alloc&) {
  }
  return realGethostbyname(name, family, withFamily);
}

int gethostbynameReentrantCall(const char* name, int family, bool withFamily, hostent* host, char* buffer,
                               size_t size, hostent** result, int* hostError) {
  const CLibrary& c = cLibrary();
  auto cLibraryCall = [&] {
    if (withFamily)
      return c.gethostbyname2_r != nullptr
                 ? c.gethostbyname2_r(name, family, host, buffer, size, result, hostError)
                 : ENOSYS;
    return c.gethostbyname_r != nullptr ? c.gethostbyname_r(name, host, buffer, size, result, hostError)
                                        : ENOSYS;
  };
  if (family != AF_INET || host == nullptr || result == nullptr || hostError == nullptr)
    return cLibraryCall();
  std::optional<AddressReply> reply;
  try {
    KeptErrno kept;
    reply = lookUp(name);
  } catch (const std::bad_alloc&) {
  }
  if (!reply) return cLibraryCall();
  *result = nullptr;
  if (reply->kind != ReplyKind::Addresses) {
    *hostError = reply->kind == ReplyKind::NoName ? HOST_NOT_FOUND : NO_DATA;
    return 0;
  }
  if (FillHostent(host, buffer, size, reply->canonicalName, reply->aliases, reply->addresses) != 0) {
    // As the C library says it: the caller retries with a larger buffer.
    *hostError = NETDB_INTERNAL;
    errno = ERANGE;
    return ERANGE;
  }
  *hostError = NETDB_SUCCESS;
  *result = host;
  return 0;
}

}  // namespace capture::preload
