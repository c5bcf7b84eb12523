// The capture's name look-ups: resolv.conf and hosts-file rows, the reply
// reader on crafted and cut replies, results in the C library's shapes; then
// getent under capture (its own /etc/hosts and /etc/resolv.conf in a mount
// namespace) answered by the handler, or the C library's way by a name
// server of the test's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "address_reply.h"
#include "capture_fixture.h"
#include "dns/dns_message.h"
#include "lookup_result.h"
#include "resolver_config.h"

namespace {

using namespace capture::preload;

uint32_t address(const char* text) {
  in_addr a{};
  ::inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

std::string text(uint32_t addressNet) {
  char out[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addressNet, out, sizeof out);
  return out;
}

TEST(ResolverFiles, ResolvConfGivesServersTimeoutAndAttempts) {
  // Each file with what is read from it: the servers, "/", the time-out and
  // the attempts.
  const std::pair<const char*, const char*> rows[] = {
      {"", "127.0.0.1 / 5 2"},
      {"nameserver 192.0.2.1\nnameserver 2001:db8::1\nnameserver 192.0.2.2\n", "192.0.2.1 192.0.2.2 / 5 2"},
      {"nameserver 192.0.2.1\nnameserver 192.0.2.2\nnameserver 192.0.2.3\nnameserver 192.0.2.4\n",
       "192.0.2.1 192.0.2.2 192.0.2.3 / 5 2"},
      {"# nameserver 192.0.2.1\n; nameserver 192.0.2.2\n  nameserver\t192.0.2.3 # the one\r\n",
       "192.0.2.3 / 5 2"},
      {"nameserver 192.0.2.1x\nnameserver\nnameservers 192.0.2.5\n", "127.0.0.1 / 5 2"},
      {"options rotate timeout:1 attempts:3\n", "127.0.0.1 / 1 3"},
      {"options timeout:0 attempts:99\n", "127.0.0.1 / 1 5"},
      {"options timeout:45 attempts:0\n", "127.0.0.1 / 30 1"},
      {"options timeout:x attempts: timeout:-1 attempts:99999999999\n", "127.0.0.1 / 5 2"},
  };
  for (const auto& [file, expected] : rows) {
    const ResolverConfig c = ParseResolvConf(file);
    std::string read;
    for (int i = 0; i < c.serverCount; ++i) read += text(c.servers[i]) + " ";
    read += "/ " + std::to_string(c.timeoutSeconds) + " " + std::to_string(c.attempts);
    EXPECT_EQ(read, expected) << file;
  }
}

TEST(ResolverFiles, HostsFileNamesCanonicalNamesAndAliases) {
  const std::string hosts =
      "127.0.0.1 localhost\n"
      "198.51.100.9\thosted.example  alias.hosted.example # commented.example\n"
      "# 198.51.100.8 hidden.example\n"
      "2001:db8::9 six.example\n"
      "lonely.example\n";
  const std::pair<const char*, bool> rows[] = {
      // a name, and whether the file lists it
      {"hosted.example", true},  {"ALIAS.Hosted.Example.", true}, {"six.example", true},
      {"localhost", true},       {"commented.example", false},    {"hidden.example", false},
      {"lonely.example", false},  // the address column, naming nothing
      {"hosted.exampl", false},  {"hosted.example.org", false},   {"", false},
  };
  for (const auto& [name, listed] : rows) EXPECT_EQ(HostsFileNames(hosts, name), listed) << name;
}

using Bytes = std::vector<uint8_t>;

// The answer to "cname.example A": a CNAME to target.example, whose name
// points into the question, and two A records for the target.
const Bytes kCnameReply = {
    0x12, 0x34,                                                                  // ID
    0x81, 0x80,                                                                  // QR, RD, RA, RCODE 0
    0,    1,    0,   3,                                                          // QDCOUNT 1, ANCOUNT 3
    0,    0,    0,   0,                                                          // NSCOUNT, ARCOUNT
    5,    'c',  'n', 'a', 'm', 'e', 7,   'e',  'x', 'a', 'm', 'p', 'l', 'e', 0,  // 12: cname.example
    0,    1,    0,   1,                                                          // A, IN
    0xC0, 12,                                                                    // 31: cname.example
    0,    5,    0,   1,   0,   0,   0,   60,   0,   9,                           // CNAME IN 60 s, 9 bytes
    6,    't',  'a', 'r', 'g', 'e', 't', 0xC0, 18,                               // 43: target + .example
    0xC0, 43,                                                                    // 52: target.example
    0,    1,    0,   1,   0,   0,   0,   60,   0,   4,   198, 51,  100, 3,       // A IN 60 s, 198.51.100.3
    0xC0, 43,                                                                    // 68: target.example
    0,    1,    0,   1,   0,   0,   0,   60,   0,   4,   198, 51,  100, 4,       // A IN 60 s, 198.51.100.4
};
constexpr uint16_t kId = 0x1234;
// Offsets: ANCOUNT's low byte, the flags, the question's type, the CNAME's
// RDLENGTH low byte and data, the first A record's owner and RDLENGTH low byte.
constexpr size_t kAnswerCount = 7, kFlags = 2, kQuestionType = 27, kCnameLength = 42, kCnameTarget = 43,
                 kFirstAOwner = 52, kFirstALength = 63, kSecondAOwner = 68;

AddressReply read(const Bytes& reply, const char* name = "cname.example") {
  // An allocation of exactly the reply's size, so that a read past it is
  // an error the address sanitizer reports.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[reply.size()]);
  if (!reply.empty()) std::memcpy(exact.get(), reply.data(), reply.size());
  return ReadAddressReply(exact.get(), reply.size(), kId, name);
}

Bytes with(Bytes b, size_t at, std::initializer_list<uint8_t> bytes) {
  for (uint8_t v : bytes) b.at(at++) = v;
  return b;
}

TEST(AddressReplyReader, FollowsTheCnameChainToItsAddresses) {
  const AddressReply r = read(kCnameReply);
  ASSERT_EQ(r.kind, ReplyKind::Addresses);
  EXPECT_EQ(r.addresses, (std::vector<uint32_t>{address("198.51.100.3"), address("198.51.100.4")}));
  EXPECT_EQ(r.canonicalName, "target.example");
  EXPECT_EQ(r.aliases, std::vector<std::string>{"cname.example"});
  EXPECT_EQ(read(kCnameReply, "CName.Example.").kind, ReplyKind::Addresses) << "names match without case";

  // Only the chain's addresses count: the same records under another owner
  // ("example", where the pointers now lead) leave the name without any.
  const AddressReply elsewhere =
      read(with(with(kCnameReply, kFirstAOwner + 1, {18}), kSecondAOwner + 1, {18}));
  EXPECT_EQ(elsewhere.kind, ReplyKind::NoData);
  EXPECT_EQ(elsewhere.canonicalName, "target.example");
  // The CNAME alone: the chain ends without an address.
  EXPECT_EQ(
      read(with(Bytes(kCnameReply.begin(), kCnameReply.begin() + kFirstAOwner), kAnswerCount, {1})).kind,
      ReplyKind::NoData);
  // A CNAME to itself ends after the hop limit, as no address.
  EXPECT_EQ(read(with(kCnameReply, kCnameTarget, {0xC0, 12, 0, 0, 0, 0, 0, 0, 0})).kind, ReplyKind::Ignored)
      << "its own bytes must fill the data";
  Bytes loop = with(kCnameReply, kCnameLength, {2});
  loop = with(Bytes(loop.begin(), loop.begin() + kCnameTarget), kAnswerCount, {1});
  loop.insert(loop.end(), {0xC0, 12});
  EXPECT_EQ(read(loop).kind, ReplyKind::NoData);
}

TEST(AddressReplyReader, AnswersThatAreNotThisQuerysAreIgnored) {
  struct Row {
    const char* what;
    Bytes reply;
    ReplyKind kind;
  } rows[] = {
      {"another ID", with(kCnameReply, 0, {0x12, 0x35}), ReplyKind::Ignored},
      {"a query, not a response", with(kCnameReply, kFlags, {0x01, 0x80}), ReplyKind::Ignored},
      {"another opcode", with(kCnameReply, kFlags, {0x91, 0x80}), ReplyKind::Ignored},
      {"two questions", with(kCnameReply, 4, {0, 2}), ReplyKind::Ignored},
      {"another name asked", with(kCnameReply, 13, {'k'}), ReplyKind::Ignored},
      {"AAAA asked", with(kCnameReply, kQuestionType, {0, 28}), ReplyKind::Ignored},
      {"another class asked", with(kCnameReply, kQuestionType + 2, {0, 3}), ReplyKind::Ignored},
      {"more answers counted than sent", with(kCnameReply, kAnswerCount, {4}), ReplyKind::Ignored},
      {"an A record of 5 bytes", with(kCnameReply, kFirstALength, {5}), ReplyKind::Ignored},
      {"a CNAME whose name runs past its data", with(kCnameReply, kCnameLength, {8}), ReplyKind::Ignored},
      {"a pointer to itself", with(kCnameReply, kFirstAOwner, {0xC0, kFirstAOwner}), ReplyKind::Ignored},
      {"a pointer past the end", with(kCnameReply, kFirstAOwner, {0xC1, 0}), ReplyKind::Ignored},
      {"a reserved label kind", with(kCnameReply, kCnameTarget, {0x46}), ReplyKind::Ignored},
      {"a blank in a name", with(kCnameReply, kCnameTarget + 2, {' '}), ReplyKind::Ignored},
      {"a dot inside a label", with(kCnameReply, kCnameTarget + 2, {'.'}), ReplyKind::Ignored},
      {"NXDOMAIN", with(kCnameReply, kFlags + 1, {0x83}), ReplyKind::NoName},
      {"server failure", with(kCnameReply, kFlags + 1, {0x82}), ReplyKind::Unusable},
      {"refused", with(kCnameReply, kFlags + 1, {0x85}), ReplyKind::Unusable},
      {"truncated", with(kCnameReply, kFlags, {0x83, 0x80}), ReplyKind::Unusable},
      {"a record of another class", with(kCnameReply, kFirstAOwner + 4, {0, 3}), ReplyKind::Addresses},
  };
  for (const Row& row : rows) {
    const AddressReply r = read(row.reply);
    EXPECT_EQ(r.kind, row.kind) << row.what;
    EXPECT_TRUE(row.kind == ReplyKind::Addresses || r.addresses.empty()) << row.what;
  }
  EXPECT_EQ(read(with(kCnameReply, kFirstAOwner + 4, {0, 3})).addresses.size(), 1u)
      << "the record of another class is left out";
}

TEST(AddressReplyReader, AReplyCutAnywhereIsNeverReadPastItsEnd) {
  for (size_t length = 0; length < kCnameReply.size(); ++length)
    EXPECT_EQ(read(Bytes(kCnameReply.begin(), kCnameReply.begin() + length)).kind, ReplyKind::Ignored)
        << "cut at " << length;
}

// Each node of a list as what a caller reads from it, on one line (the flag
// the test adds for the C library's own look-up left out).
std::vector<std::string> listOf(const addrinfo* list) {
  std::vector<std::string> out;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    const std::string address = a->ai_addrlen == sizeof(sockaddr_in)
                                    ? capturetest::text(*reinterpret_cast<sockaddr_in*>(a->ai_addr))
                                    : "?";
    out.push_back(std::to_string(a->ai_family) + " " + std::to_string(a->ai_socktype) + " " +
                  std::to_string(a->ai_protocol) + " " + address + " " +
                  (a->ai_canonname != nullptr ? a->ai_canonname : "-") + " " +
                  std::to_string(a->ai_flags & ~AI_NUMERICHOST));
  }
  return out;
}

TEST(LookupResults, ListsAreTheCLibrarysForEveryHint) {
  // The C library's answer for the numeric host is the shape the capture
  // must give for a name it resolved to that address.
  struct Row {
    const char* service;
    int socktype, protocol, flags;
  } rows[] = {
      {nullptr, 0, 0, 0},
      {"80", 0, 0, 0},
      {"http", 0, 0, 0},
      {"domain", 0, 0, AI_CANONNAME},
      {"0080", SOCK_STREAM, 0, 0},
      {"53", SOCK_DGRAM, IPPROTO_UDP, AI_NUMERICSERV},
      {nullptr, SOCK_RAW, 0, 0},
      {nullptr, SOCK_RAW, IPPROTO_ICMP, 0},
      {nullptr, 0, IPPROTO_UDP, AI_CANONNAME},
      {"domain", SOCK_STREAM, IPPROTO_TCP, 0},
      // Refused by the C library; left to it by the capture.
      {"80", SOCK_RAW, 0, 0},
      {"http", SOCK_DGRAM, 0, 0},
      {"no-such-service", 0, 0, 0},
      {"http", 0, 0, AI_NUMERICSERV},
      {nullptr, SOCK_STREAM, IPPROTO_UDP, 0},
      // Taken by the C library in ways of its own (a port beyond 16 bits
      // wraps, an empty service is none, SCTP): left to it.
      {"65536", 0, 0, 0},
      {"", 0, 0, 0},
      {nullptr, 0, IPPROTO_SCTP, 0},
      {nullptr, SOCK_SEQPACKET, 0, 0},
  };
  for (const Row& row : rows) {
    const std::string what = std::string(row.service != nullptr ? row.service : "(none)") + " type " +
                             std::to_string(row.socktype) + " protocol " + std::to_string(row.protocol);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = row.socktype;
    hints.ai_protocol = row.protocol;
    hints.ai_flags = row.flags | AI_NUMERICHOST;
    addrinfo* expected = nullptr;
    const int status = ::getaddrinfo("192.0.2.7", row.service, &hints, &expected);
    hints.ai_flags = row.flags;
    const std::optional<ServiceRequest> request = RequestedSockets(row.service, &hints);
    if (status != 0 || &row >= &rows[std::size(rows) - 4]) {
      EXPECT_FALSE(request) << what << ": the C library says " << ::gai_strerror(status);
      if (expected != nullptr) ::freeaddrinfo(expected);
      continue;
    }
    const std::vector<std::string> want = listOf(expected);
    ::freeaddrinfo(expected);
    ASSERT_TRUE(request) << what;
    const std::string canonical = "192.0.2.7";
    addrinfo* mine = NewAddrinfoList({address("192.0.2.7")}, *request, row.flags,
                                     (row.flags & AI_CANONNAME) != 0 ? &canonical : nullptr);
    EXPECT_EQ(listOf(mine), want) << what;
    EXPECT_EQ(FreeOwnAddrinfo(mine), nullptr);
  }
}

TEST(LookupResults, OnlyTheCapturesOwnNodesAreFreedByIt) {
  const ServiceRequest request = *RequestedSockets(nullptr, nullptr);
  const std::string canonical = "steer.example";
  addrinfo* mine =
      NewAddrinfoList({address("203.0.113.5"), address("203.0.113.6")}, request, AI_CANONNAME, &canonical);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(listOf(mine).size(), 6u);
  EXPECT_EQ(listOf(mine)[0], "2 1 6 203.0.113.5:0 steer.example " + std::to_string(AI_CANONNAME));

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* theirs = nullptr;
  ASSERT_EQ(::getaddrinfo("192.0.2.7", nullptr, &hints, &theirs), 0);
  EXPECT_EQ(FreeOwnAddrinfo(theirs), theirs) << "the C library's list is left to it";
  // The C library's nodes after the capture's: the capture frees its own
  // and hands back the rest (the sanitizer build finds a leak or a double
  // free).
  addrinfo* last = mine;
  while (last->ai_next != nullptr) last = last->ai_next;
  last->ai_next = theirs;
  EXPECT_EQ(FreeOwnAddrinfo(mine), theirs);
  ::freeaddrinfo(theirs);
  EXPECT_EQ(NewAddrinfoList({}, request, 0, nullptr), nullptr) << "no address, no list";
}

TEST(LookupResults, HostentFitsTheCallersBufferOrSaysErange) {
  const std::vector<std::string> aliases = {"cname.example", "middle.example"};
  const std::vector<uint32_t> addresses = {address("198.51.100.3"), address("198.51.100.4")};
  // Pointers 3 + 3, addresses 2 x 4, names 15 + 14 + 15 bytes; one more
  // byte for the worst alignment of the buffer's start.
  const size_t needed = 6 * sizeof(char*) + 8 + 15 + 14 + 15;
  for (size_t misalign : {size_t{0}, size_t{1}}) {
    for (size_t size = 0; size <= needed + 8; ++size) {
      std::unique_ptr<char[]> storage(new char[size + misalign]);
      char* buffer = storage.get() + misalign;
      hostent host{};
      const int result = FillHostent(&host, buffer, size, "target.example", aliases, addresses);
      if (result == ERANGE) {
        EXPECT_LT(size, needed + 8) << "misaligned by " << misalign;
        continue;
      }
      ASSERT_EQ(result, 0);
      EXPECT_GE(size, needed);
      EXPECT_TRUE(host.h_addrtype == AF_INET && host.h_length == 4);
      // Read up to the lists' null ends: a list without one runs on and
      // fails the comparison (or the sanitizer's watch).
      std::vector<std::string> names = {host.h_name}, stored;
      for (char** alias = host.h_aliases; *alias != nullptr; ++alias) names.push_back(*alias);
      EXPECT_EQ(names, (std::vector<std::string>{"target.example", "cname.example", "middle.example"}));
      char shown[INET_ADDRSTRLEN];
      for (char** a = host.h_addr_list; *a != nullptr; ++a)
        stored.push_back(::inet_ntop(AF_INET, *a, shown, sizeof shown));
      EXPECT_EQ(stored, (std::vector<std::string>{"198.51.100.3", "198.51.100.4"}));
      for (char** p : {host.h_aliases, host.h_addr_list}) {
        EXPECT_GE(reinterpret_cast<char*>(p), buffer);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(char*), 0u);
      }
    }
  }
}

// DNS answers as the test writes them (RFC 1035 4.1): the query's ID and
// question copied, then records; each record's owner is encoded already
// (kQuestion names the question).
constexpr char kQuestion[] = "\xC0\x0C";

std::string record(const std::string& owner, uint16_t type, const std::string& data) {
  const char fixed[] = {static_cast<char>(type >> 8),        static_cast<char>(type),       0, 1, 0, 0, 0, 60,
                        static_cast<char>(data.size() >> 8), static_cast<char>(data.size())};
  return owner + std::string(fixed, sizeof fixed) + data;
}

std::string aRecord(const std::string& owner, const char* addressText) {
  const uint32_t a = address(addressText);
  return record(owner, dns::kTypeA, std::string(reinterpret_cast<const char*>(&a), 4));
}

std::string replyTo(const std::string& query, uint16_t flags, const std::vector<std::string>& records) {
  size_t end = dns::kHeaderSize;
  while (end < query.size() && query[end] != 0) end += static_cast<uint8_t>(query[end]) + 1u;
  std::string reply = query.substr(0, std::min(end + 5, query.size()));
  if (reply.size() < dns::kHeaderSize) return {};
  reply[2] = static_cast<char>(flags >> 8);
  reply[3] = static_cast<char>(flags);
  reply[6] = static_cast<char>(records.size() >> 8);
  reply[7] = static_cast<char>(records.size());
  for (const std::string& r : records) reply += r;
  return reply;
}

constexpr uint16_t kAnswerFlags = 0x8180;  // a response, recursion desired and available

dns::DnsMessage parsed(const std::string& message) {
  return dns::ParseDnsMessage(reinterpret_cast<const uint8_t*>(message.data()), message.size());
}

// A name server of the test's own, where the C library's queries go: A
// 192.0.2.44 for every A question, no data for any other.
class NameServer : public capturetest::Server {
 public:
  explicit NameServer(const char* at)
      : Server(SOCK_DGRAM, capturetest::endpoint(at, 53), [](const std::string& query, const sockaddr_in&) {
          return replyTo(query, kAnswerFlags,
                         parsed(query).isA ? std::vector<std::string>{aRecord(kQuestion, "192.0.2.44")}
                                           : std::vector<std::string>{});
        }) {}
};

// One datagram the handler hands the program: from `source`, or from where
// the query went when empty.
struct Injection {
  std::string datagram;
  std::string source{};  // "a.b.c.d", at `port`
  uint16_t port = 53;
};

using Answer = std::function<std::vector<Injection>(const std::string& query)>;

// Where the capture's queries go: a documentation address nobody serves, so
// only the handler's answers can arrive.
const std::vector<std::string> kCaptureServer = {"LUMO_CAPTURE_NAMESERVER=203.0.113.53"};

bool isQuery(const std::string& to) { return to.substr(to.rfind(':')) == ":53"; }

class ResolverUnderCapture : public capturetest::CaptureServerFixture {
 protected:
  void SetUp() override {
    // The documentation networks are local in the test's own namespace, and
    // the namespace has an address besides loopback, as a connected machine
    // has (the C library's AI_ADDRCONFIG asks for one). Programs get a mount
    // namespace of their own for their resolver files.
    static const bool ready =
        capturetest::makeLocal({"203.0.113.0/24", "198.51.100.0/24"}) &&
        capturetest::run({"ip", "addr", "add", "198.51.100.1/32", "dev", "lo"}, {}).status == 0 &&
        capturetest::run({"unshare", "-m", "--", "true"}, {}).status == 0;
    if (!ready)
      GTEST_SKIP() << "needs a network namespace of its own (LUMO_TEST_NETNS) where unshare -m works";
    CaptureServerFixture::SetUp();
    if (HasFatalFailure()) return;
    // The engine's stand-in: a DNS query for a name in `answers` is answered
    // with what the entry gives (nothing at all for an empty list); other
    // datagrams pass.
    handler.takeSend = [this](uint64_t id, const unsigned char* remote, const std::string& query) {
      const std::string to = capturetest::text(remote);
      const auto answer = answers.find(parsed(query).name);
      if (!isQuery(to) || answer == answers.end()) return false;
      for (const Injection& i : answer->second(query)) {
        const platform::SocketAddress28 source =
            i.source.empty() ? simdrv::ipv4(to.substr(0, to.rfind(':')), 53) : simdrv::ipv4(i.source, i.port);
        drvapi::udpInjectReceive(id, source.bytes.data(), i.datagram.data(),
                                 static_cast<int>(i.datagram.size()), nullptr);
      }
      return true;
    };
    // Every process's DNS, as the engine asks for it.
    drvapi::FilterRule rule{};
    rule.protocol = 17;
    rule.direction = 3;
    rule.remotePort = htons(53);
    rule.filteringFlag = drvapi::kRuleFilter;
    ASSERT_EQ(drvapi::addFilterRule(&rule, true), drvapi::kOk);
    std::ofstream(dir.path() / "hosts") << "127.0.0.1 localhost\n198.51.100.9 hosted.example hosted\n";
    resolvConf("nameserver 198.51.100.53\noptions timeout:1 attempts:1\n");
  }

  void resolvConf(const std::string& text) { std::ofstream(dir.path() / "resolv.conf") << text; }

  // Runs `argv` under capture with the test's hosts file and resolv.conf in
  // place of the system's; `environment` adds to the capture's.
  capturetest::Outcome run(const std::vector<std::string>& argv, std::vector<std::string> environment = {},
                           bool withDriver = true) {
    const char* script =
        "mount --bind \"$1\" /etc/hosts && mount --bind \"$2\" /etc/resolv.conf && shift 2 && exec \"$@\"";
    std::vector<std::string> command = {"unshare", "-m",   "--", "sh",
                                        "-c",      script, "sh", (dir.path() / "hosts").string()};
    command.push_back((dir.path() / "resolv.conf").string());
    command.insert(command.end(), argv.begin(), argv.end());
    environment.push_back(std::string("LD_PRELOAD=") + LUMO_CAPTURE_LIBRARY);
    environment.push_back("LUMO_DRIVER_DIR=" + (withDriver ? dir.path() : noDriver.path()).string());
    return capturetest::run(command, environment);
  }

  // The DNS queries the library was told of: the query in `data`, where it
  // went in `address`.
  std::vector<capturetest::Event> queries() const {
    std::vector<capturetest::Event> out;
    for (const capturetest::Event& e : handler.events("udpSend"))
      if (isQuery(e.address)) out.push_back(e);
    return out;
  }

  lumotest::TempDir noDriver;
  std::map<std::string, Answer> answers;
};

// The handler's answer of one reply to the query, `records` after its
// question, with `flags` (the response code in the low bits).
Answer replyWith(std::vector<std::string> records, uint16_t flags = kAnswerFlags) {
  return
      [records, flags](const std::string& q) { return std::vector<Injection>{{replyTo(q, flags, records)}}; };
}

TEST_F(ResolverUnderCapture, GetentGetsWhatTheEngineAnswersAndTheCLibraryTheRest) {
  // The engine's answers: steer.example has 203.0.113.5; alias.example is a
  // CNAME of target.example, 203.0.113.6; missing.example does not exist;
  // empty.example has no A record.
  const std::string target("\6target\7example", 16);  // encoded, with its root byte
  answers["steer.example"] = replyWith({aRecord(kQuestion, "203.0.113.5")});
  answers["alias.example"] = replyWith({record(kQuestion, 5, target), aRecord(target, "203.0.113.6")});
  answers["missing.example"] = replyWith({}, kAnswerFlags | 3);
  answers["empty.example"] = replyWith({});
  capturetest::Outcome o = run({"getent", "ahostsv4", "steer.example"}, kCaptureServer);
  EXPECT_EQ(o.status, 0) << o.errors;
  EXPECT_EQ(o.output,
            "203.0.113.5     STREAM steer.example\n"
            "203.0.113.5     DGRAM  \n"
            "203.0.113.5     RAW    \n");
  const std::vector<capturetest::Event> asked = queries();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(parsed(asked[0].data).name, "steer.example");
  EXPECT_TRUE(parsed(asked[0].data).isA);
  EXPECT_EQ(asked[0].data.substr(2, 4), std::string("\x01\x00\x00\x01", 4))
      << "a standard query, recursion desired, one question";
  EXPECT_EQ(asked[0].address, "203.0.113.53:53");
  ASSERT_FALSE(handler.events("udpCreated").empty());
  EXPECT_GT(handler.events("udpCreated")[0].processId, 0u) << "the query is the program's own";

  // gethostbyname2: the CNAME's target is the name, the name asked its alias.
  o = run({"getent", "hosts", "alias.example"}, kCaptureServer);
  EXPECT_EQ(o.status, 0) << o.errors;
  EXPECT_EQ(o.output, "203.0.113.6     target.example alias.example\n");
  for (const char* name : {"missing.example", "empty.example"})
    for (const char* database : {"ahostsv4", "hosts"}) {
      o = run({"getent", database, name}, kCaptureServer);
      EXPECT_EQ(o.status, 2) << database << " " << name;
      EXPECT_EQ(o.output, "") << database << " " << name;
    }
  EXPECT_EQ(queries().size(), 6u) << "one query each, none asked again";

  // Without the override the capture asks resolv.conf's first IPv4 server.
  resolvConf("nameserver 2001:db8::53\nnameserver 198.51.100.54\noptions timeout:1 attempts:1\n");
  o = run({"getent", "ahostsv4", "steer.example"});
  EXPECT_EQ(o.output.substr(0, o.output.find('\n')), "203.0.113.5     STREAM steer.example");
  EXPECT_EQ(queries().back().address, "198.51.100.54:53");

  // What the capture has nothing to add to, or cannot use, is the C
  // library's, asked of resolv.conf's server.
  resolvConf("nameserver 198.51.100.53\noptions timeout:1 attempts:1\n");
  NameServer system("198.51.100.53"), capture("203.0.113.53");
  ASSERT_TRUE(system.ok() && capture.ok());
  const size_t before = queries().size();
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"getent", "ahostsv4", "hosted.example"}, "198.51.100.9    STREAM hosted.example\n"},
      {{"getent", "hosts", "hosted"}, "198.51.100.9    hosted.example hosted\n"},
      {{"getent", "ahostsv4", "192.0.2.1"}, "192.0.2.1       STREAM 192.0.2.1\n"},
      {{"getent", "hosts", "localhost"}, "127.0.0.1       localhost\n"},
  };
  for (const auto& [argv, output] : rows) {
    o = run(argv, kCaptureServer);
    EXPECT_EQ(o.status, 0) << argv.back() << o.errors;
    EXPECT_EQ(o.output.substr(0, output.size()), output) << argv.back();
  }
  EXPECT_EQ(queries().size(), before);
  EXPECT_TRUE(capture.seen().empty());

  // No driver: the C library asks resolv.conf's server, unsteered, and the
  // program is told so in one line.
  o = run({"getent", "hosts", "steer.example"}, kCaptureServer, false);
  EXPECT_EQ(o.output, "192.0.2.44      steer.example\n") << o.errors;
  EXPECT_THAT(o.errors, ::testing::StartsWith("lumo-capture: cannot reach the driver at " +
                                              (noDriver.path() / "capture").string()));
  EXPECT_EQ(std::count(o.errors.begin(), o.errors.end(), '\n'), 1) << o.errors;
  EXPECT_EQ(queries().size(), before);
  EXPECT_TRUE(capture.seen().empty());
  // (getent hosts asks for IPv6 addresses first, always the C library's way.)
  std::vector<std::string> addressQueries;
  for (const auto& [query, from] : system.seen())
    if (parsed(query).isA) addressQueries.push_back(parsed(query).name);
  EXPECT_EQ(addressQueries, std::vector<std::string>{"steer.example"});

  // Replies the look-up must tell from the right one (the reply's own faults
  // are the reader's table above): the right answer from another port, or
  // from another server.
  auto wrongOnes = [](const std::string& q) {
    const std::string right = replyTo(q, kAnswerFlags, {aRecord(kQuestion, "203.0.113.66")});
    return std::vector<Injection>{{right, "203.0.113.53", 5353}, {right, "198.51.100.77"}};
  };
  answers["late.example"] = [wrongOnes](const std::string& q) {
    std::vector<Injection> all = wrongOnes(q);
    all.push_back({replyTo(q, kAnswerFlags, {aRecord(kQuestion, "203.0.113.7")})});
    return all;
  };
  answers["bad.example"] = wrongOnes;
  answers["failing.example"] = replyWith({}, kAnswerFlags | 2);
  o = run({"getent", "hosts", "late.example"}, kCaptureServer);
  EXPECT_EQ(o.output, "203.0.113.7     late.example\n") << "the one right answer, after the wrong ones";
  // Nothing usable: after the wait (timeout:1), or at once for a server
  // failure, the C library asks its own server.
  for (const char* name : {"bad.example", "failing.example"}) {
    o = run({"getent", "hosts", name}, kCaptureServer);
    EXPECT_EQ(o.output, "192.0.2.44      " + std::string(name) + "\n") << o.errors;
  }
  EXPECT_EQ(queries().size(), before + 3) << "the three names' queries only";
  EXPECT_TRUE(capture.seen().empty()) << "the handler took them all";
}

}  // namespace
