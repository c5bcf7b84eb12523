#include "hostnet/dns_query.h"

#include <cstring>
#include <random>

#include "platform/owned_socket.h"
#include "platform/sysinfo.h"
#include "platform/time.h"
#include "platform/wire_reader.h"

namespace hostnet {
namespace {

using platform::SocketAddress;

constexpr uint32_t kSliceMs = 100;
constexpr uint64_t kGiveUpMs = 1000;

using platform::WireReader;

uint16_t nextQueryId() {
  // Process id plus a pseudo-random number, as 16 bits: distinct enough that
  // replies to an earlier query of another run are not taken for ours.
  thread_local std::minstd_rand random(platform::tickCount());
  return static_cast<uint16_t>(platform::currentProcessId() + random());
}

}  // namespace

size_t EncodeDnsQuery(uint16_t id, uint16_t type, std::string_view name,
                      uint8_t (&buffer)[kDnsQueryBufferSize]) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty()) return 0;
  //  0  1  2  3  4  5  6  7  8  9 10 11
  // [id  ][flags][qd=1][an=0][ns=0][ar=0]   RFC 1035 4.1.1
  const uint8_t header[12] = {
      static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  std::memcpy(buffer, header, sizeof header);
  size_t at = sizeof header;
  size_t start = 0;
  for (;;) {
    size_t dot = name.find('.', start);
    std::string_view label = name.substr(start, dot == name.npos ? name.npos : dot - start);
    if (label.empty() || label.size() > 63) return 0;
    // The label, its length byte, the root byte and type and class must fit.
    if (at + 1 + label.size() + 1 + 4 > kDnsQueryBufferSize) return 0;
    buffer[at++] = static_cast<uint8_t>(label.size());
    std::memcpy(buffer + at, label.data(), label.size());
    at += label.size();
    if (dot == name.npos) break;
    start = dot + 1;
  }
  buffer[at++] = 0;
  buffer[at++] = static_cast<uint8_t>(type >> 8);
  buffer[at++] = static_cast<uint8_t>(type);
  buffer[at++] = 0;
  buffer[at++] = 1;
  return at;
}

DnsReplyVerdict ReadDnsReply(const uint8_t* query, size_t queryLength, const uint8_t* reply,
                             size_t replyLength, std::vector<SocketAddress>& addresses) {
  if (queryLength < 12 + 1 + 4 || reply == nullptr) return DnsReplyVerdict::Ignore;
  WireReader r(reply, replyLength);
  const uint16_t id = r.u16();
  const uint16_t flags = r.u16();
  const uint16_t questions = r.u16();
  const uint16_t answers = r.u16();
  r.u16();
  r.u16();
  if (!r.ok()) return DnsReplyVerdict::Ignore;
  // A response (QR), recursion desired, RCODE 0; AA and RA do not matter.
  const uint16_t queryId = static_cast<uint16_t>((query[0] << 8) | query[1]);
  if (id != queryId || (flags & 0xFB7F) != 0x8100 || answers == 0) return DnsReplyVerdict::Ignore;

  // Every question must carry the queried name, byte for byte.
  const uint8_t* sentName = query + 12;
  const size_t sentNameLength = queryLength - 12 - 4;
  for (uint16_t q = 0; q < questions; ++q) {
    const size_t start = r.offset();
    if (!r.skipName()) return DnsReplyVerdict::Mismatch;
    const size_t nameLength = r.offset() - start;
    if (nameLength != sentNameLength || std::memcmp(reply + start, sentName, nameLength) != 0)
      return DnsReplyVerdict::Mismatch;
    r.u32();  // type, class
    if (!r.ok()) return DnsReplyVerdict::Mismatch;
  }

  // Resource records (RFC 1035 4.1.3): name, type, class, TTL, RDLENGTH, RDATA.
  std::vector<SocketAddress> found;
  for (uint16_t a = 0; a < answers; ++a) {
    if (!r.skipName()) return DnsReplyVerdict::Mismatch;
    const uint16_t type = r.u16();
    r.u16();
    r.u32();
    const uint16_t length = r.u16();
    const uint8_t* data = r.bytes(length);
    if (data == nullptr) return DnsReplyVerdict::Mismatch;
    if (type == kDnsTypeA && length == 4) {
      uint32_t v;
      std::memcpy(&v, data, 4);
      found.push_back(platform::makeIpv4Address(v, 0));
    } else if (type == kDnsTypeAaaa && length == 16) {
      found.push_back(platform::makeIpv6Address(data, 0));
    }
  }
  addresses.insert(addresses.end(), found.begin(), found.end());
  return DnsReplyVerdict::Accepted;
}

bool DnsQueryBlocking(uint32_t server, uint16_t type, std::string_view name, DnsQueryResult& out,
                      uint16_t serverPortNet, const MillisecondClock& clock) {
  out = DnsQueryResult{};
  if (type != kDnsTypeA && type != kDnsTypeAaaa) return false;
  uint8_t query[kDnsQueryBufferSize];
  const size_t queryLength = EncodeDnsQuery(nextQueryId(), type, name, query);
  if (queryLength == 0) return false;
  auto now = [&clock]() -> uint64_t { return clock ? clock() : platform::monotonicMs(); };

  const platform::OwnedSocket owned(
      platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram));
  const platform::Socket s = owned.get();
  if (!owned.valid()) return false;
  // A loopback server is answered from a loopback source; anything else gets
  // the system's choice of source, as an unbound socket does.
  if ((platform::netToHost32(server) >> 24) == 127)
    platform::bindSocket(s, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0));
  bool accepted = false;
  {
    platform::SocketReadEvent readable(s);
    platform::setNonBlocking(s, true);
    const platform::SocketAddress to = platform::makeIpv4Address(server, serverPortNet);
    if (!readable.valid() || platform::sendTo(s, query, queryLength, to) != static_cast<int>(queryLength))
      return false;
    const uint64_t sentAt = now();
    bool mismatch = false;
    while (!accepted && !mismatch) {
      if (readable.wait(kSliceMs)) {
        uint8_t reply[1024];
        for (;;) {
          int n = platform::receiveFrom(s, reply, sizeof reply, nullptr);
          if (n < 0) break;  // nothing more queued (or an ICMP error was reported)
          DnsReplyVerdict v = ReadDnsReply(query, queryLength, reply, static_cast<size_t>(n), out.addresses);
          if (v == DnsReplyVerdict::Accepted) accepted = true;
          if (v == DnsReplyVerdict::Mismatch) mismatch = true;
          if (v != DnsReplyVerdict::Ignore) break;
        }
        if (accepted) {
          out.elapsedMs = static_cast<uint32_t>(now() - sentAt);
          break;
        }
      }
      if (mismatch) break;
      if (now() - sentAt > kGiveUpMs) {
        out.elapsedMs = kDnsQueryTimedOut;
        break;
      }
    }
  }
  return accepted;
}

}  // namespace hostnet
