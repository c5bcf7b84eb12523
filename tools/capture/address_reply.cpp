#include "address_reply.h"

#include <cstring>

#include "platform/wire_reader.h"

namespace capture::preload {
namespace {

using platform::WireReader;

constexpr uint16_t kTypeA = 1;
constexpr uint16_t kTypeCname = 5;
constexpr uint16_t kClassInternet = 1;
// The header's flags word (RFC 1035 4.1.1):
//   QR(1) OPCODE(4) AA(1) TC(1) RD(1) | RA(1) Z(3) RCODE(4)
constexpr uint16_t kResponse = 0x8000;
constexpr uint16_t kOpcodeMask = 0x7800;
constexpr uint16_t kTruncated = 0x0200;
constexpr uint16_t kRcodeMask = 0x000F;
constexpr uint16_t kNameError = 3;
// A name's encoding holds at most 255 bytes (RFC 1035 3.1); a name may take
// at most this many compression pointers, so that a loop of them ends.
constexpr int kMaxNameBytes = 255;
constexpr int kMaxPointers = 64;

// Reads the domain name at r's position into `text`, dotted (RFC 1035
// 4.1.4); r then stands after the name's own bytes, that is after its first
// compression pointer when it has one. Fails (r too) for a reserved label
// kind, an encoding over 255 bytes, too many pointers, a label byte that is
// no host-name text, or any byte outside the message.
//
//   label:   [00LLLLLL] L bytes        (L < 64; L = 0 ends the name)
//   pointer: [11OOOOOO OOOOOOOO]       14-bit offset from the message start
bool readName(WireReader& r, std::string& text) {
  text.clear();
  WireReader c = r;  // follows the pointers; r stays behind the name's own bytes
  bool jumped = false;
  int pointers = 0;
  int budget = kMaxNameBytes;
  for (;;) {
    const uint8_t length = c.u8();
    if (!c.ok() || --budget < 0) return r.fail();
    if (length == 0) break;
    if ((length & 0xC0) == 0xC0) {
      const uint8_t low = c.u8();
      if (!c.ok()) return r.fail();
      if (!jumped) {
        r.seek(c.offset());
        jumped = true;
      }
      const size_t target = (static_cast<size_t>(length & 0x3F) << 8) | low;
      if (++pointers > kMaxPointers || !c.seek(target)) return r.fail();
      continue;
    }
    if ((length & 0xC0) != 0) return r.fail();  // 01 and 10: reserved or obsolete
    const uint8_t* label = c.bytes(length);
    budget -= length;
    if (label == nullptr || budget < 0) return r.fail();
    // Text the program gets back as a host name: no dots inside a label, no
    // blanks, control or non-ASCII bytes.
    for (size_t i = 0; i < length; ++i)
      if (label[i] < '!' || label[i] > '~' || label[i] == '.') return r.fail();
    if (!text.empty()) text += '.';
    text.append(reinterpret_cast<const char*>(label), length);
  }
  if (!jumped) r.seek(c.offset());
  return true;
}

struct Record {
  std::string owner;
  uint16_t type;
  uint32_t address;    // A
  std::string target;  // CNAME
};

}  // namespace

bool SameDnsName(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (!a.empty() && a.back() == '.') a.remove_suffix(1);
  if (!b.empty() && b.back() == '.') b.remove_suffix(1);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

AddressReply ReadAddressReply(const uint8_t* reply, size_t length, uint16_t id, std::string_view name) {
  AddressReply out;
  //  0    2      4        6        8        10       12
  // [ID][flags][QDCOUNT][ANCOUNT][NSCOUNT][ARCOUNT][question...][answers...]
  WireReader r(reply, length);
  const uint16_t replyId = r.u16();
  const uint16_t flags = r.u16();
  const uint16_t questions = r.u16();
  const uint16_t answers = r.u16();
  r.skip(4);  // NSCOUNT, ARCOUNT: those sections are not read
  if (!r.ok() || replyId != id || (flags & kResponse) == 0 || (flags & kOpcodeMask) != 0 || questions != 1)
    return out;
  // The question (4.1.2) must be the one asked: QNAME, QTYPE A, QCLASS IN.
  std::string asked;
  if (!readName(r, asked)) return out;
  const uint16_t qtype = r.u16();
  const uint16_t qclass = r.u16();
  if (!r.ok() || !SameDnsName(asked, name) || qtype != kTypeA || qclass != kClassInternet) return out;

  // A truncated answer is the C library's to take further (over TCP).
  if ((flags & kTruncated) != 0 || ((flags & kRcodeMask) != 0 && (flags & kRcodeMask) != kNameError)) {
    out.kind = ReplyKind::Unusable;
    return out;
  }
  if ((flags & kRcodeMask) == kNameError) {
    out.kind = ReplyKind::NoName;
    return out;
  }

  // The answer records (4.1.3): NAME TYPE CLASS TTL RDLENGTH RDATA. One that
  // cannot be read whole spoils the reply.
  std::vector<Record> records;
  for (uint16_t i = 0; i < answers; ++i) {
    Record record{};
    if (!readName(r, record.owner)) return out;
    record.type = r.u16();
    const uint16_t rclass = r.u16();
    r.u32();  // TTL
    const uint16_t rdLength = r.u16();
    const size_t rdStart = r.offset();
    const uint8_t* rdata = r.bytes(rdLength);
    if (rdata == nullptr) return out;
    if (rclass != kClassInternet) continue;
    if (record.type == kTypeA) {
      if (rdLength != 4) return out;
      std::memcpy(&record.address, rdata, 4);
    } else if (record.type == kTypeCname) {
      // The target may point anywhere in the message, but its own bytes
      // must be the record's data exactly, and it must name a host (not the
      // root, which no program can take as a canonical name).
      WireReader target(reply, length);
      target.seek(rdStart);
      if (!readName(target, record.target) || target.offset() != rdStart + rdLength || record.target.empty())
        return out;
    } else {
      continue;
    }
    records.push_back(std::move(record));
  }

  // From the name asked along its CNAME chain to the name with addresses.
  std::string current = asked;
  for (int hops = 0;; ++hops) {
    for (const Record& record : records)
      if (record.type == kTypeA && SameDnsName(record.owner, current))
        out.addresses.push_back(record.address);
    if (!out.addresses.empty() || hops == kMaxCnameHops) break;
    const Record* alias = nullptr;
    for (const Record& record : records)
      if (record.type == kTypeCname && SameDnsName(record.owner, current)) alias = &record;
    if (alias == nullptr) break;
    out.aliases.push_back(current);
    current = alias->target;
  }
  out.kind = out.addresses.empty() ? ReplyKind::NoData : ReplyKind::Addresses;
  out.canonicalName = current;
  return out;
}

}  // namespace capture::preload
