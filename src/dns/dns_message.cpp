#include "dns/dns_message.h"

#include <cstdio>
#include <cstring>

#include "platform/wire_reader.h"

namespace dns {
namespace {

using platform::WireReader;

// At most this many compression pointers are followed in one name; a loop of
// pointers ends there instead of spinning.
constexpr int kMaxPointers = 255;

// The label kinds of a name's length byte (RFC 1035 4.1.4, RFC 2673 3.1).
constexpr uint8_t kLabelKindMask = 0xC0;
constexpr uint8_t kPlainLabel = 0x00;
constexpr uint8_t kExtendedLabel = 0x40;
constexpr uint8_t kPointer = 0xC0;
constexpr uint8_t kBitStringLabel = 0x41;

void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

// Reads the domain name that starts at r's position into `text` (dotted,
// not normalised). Afterwards r stands just after the name's own bytes (after
// its first compression pointer, when it has one). A name whose encoding
// exceeds 255 bytes, a reserved label kind, a dot inside a label, more than
// 255 pointers or any byte outside the message fails the read (and r).
//
//   plain label:   [00LLLLLL] L bytes                  (L < 64)
//   bit string:    [01000001] [count] (count+7)/8 bytes (RFC 2673; written "\[x<hex>/<count>]")
//   pointer:       [11OOOOOO OOOOOOOO] 14-bit offset from the message start
bool readName(WireReader& r, std::string& text) {
  text.clear();
  WireReader c = r;  // the cursor that follows pointers
  bool jumped = false;
  int pointers = 0;
  int budget = static_cast<int>(kMaxNameLength);
  for (;;) {
    const size_t at = c.offset();
    const uint8_t length = c.u8();
    if (!c.ok()) return r.fail();
    if (length == 0) {
      if (--budget < 0) return r.fail();
      break;
    }
    switch (length & kLabelKindMask) {
      case kPlainLabel: {
        const uint8_t* label = c.bytes(length);
        budget -= length + 1;
        if (label == nullptr || budget < 0) return r.fail();
        // A dot inside a label has no dotted text: read as two labels, the
        // name would be answered as another one.
        if (std::memchr(label, '.', length) != nullptr) return r.fail();
        if (!text.empty()) text += '.';
        text.append(reinterpret_cast<const char*>(label), length);
        break;
      }
      case kExtendedLabel: {
        if (length != kBitStringLabel) return r.fail();
        const uint8_t bits = c.u8();
        const size_t count = (static_cast<size_t>(bits) + 7) / 8;
        const uint8_t* label = c.bytes(count);
        budget -= static_cast<int>(count) + 2;
        if (!c.ok() || budget < 0) return r.fail();
        if (!text.empty()) text += '.';
        text += "\\[x";
        char hex[3];
        for (size_t i = 0; i < count; ++i) {
          std::snprintf(hex, sizeof hex, "%02x", label[i]);
          text += hex;
        }
        text += '/' + std::to_string(bits) + ']';
        break;
      }
      case kPointer: {
        const uint8_t low = c.u8();
        if (!c.ok()) return r.fail();
        if (!jumped) {
          // The message goes on after the first pointer, wherever it leads.
          r.seek(c.offset());
          jumped = true;
        }
        const size_t target = (static_cast<size_t>(length & 0x3F) << 8) | low;
        // A pointer to itself ends the name where it stands.
        if (target == at) return true;
        if (++pointers > kMaxPointers || !c.seek(target)) return r.fail();
        break;
      }
      default:  // 10: reserved (RFC 1035 4.1.4)
        return r.fail();
    }
  }
  if (!jumped) r.seek(c.offset());
  return true;
}

}  // namespace

bool ReadDnsHeader(const uint8_t* data, size_t length, DnsHeader& header) {
  if (data == nullptr || length < kHeaderSize || length > kMaxMessageSize) return false;
  //  0      2       4        6        8        10
  // [ID  ][flags][QDCOUNT][ANCOUNT][NSCOUNT][ARCOUNT]   RFC 1035 4.1.1
  WireReader r(data, length);
  header.id = r.u16();
  header.isResponse = (r.u16() & 0x8000) != 0;
  header.questionCount = r.u16();
  header.answerCount = r.u16();
  return r.ok();
}

bool IsExaminable(const uint8_t* data, size_t length, bool wantResponse) {
  DnsHeader h;
  return ReadDnsHeader(data, length, h) && h.questionCount == 1 && h.isResponse == wantResponse;
}

DnsMessage ParseDnsMessage(const uint8_t* data, size_t length) {
  DnsMessage m;
  DnsHeader h;
  if (!ReadDnsHeader(data, length, h)) return m;
  m.id = h.id;
  m.isResponse = h.isResponse;
  if (h.questionCount != 1) return m;

  WireReader r(data, length);
  r.skip(kHeaderSize);
  std::string raw;
  if (!readName(r, raw)) return m;
  // The root, or blanks only: no name to answer or to learn addresses for.
  const std::string name = NormalizeName(raw);
  if (name.empty()) return m;
  // QTYPE, QCLASS (RFC 1035 4.1.2): only address questions of class IN.
  const uint16_t qtype = r.u16();
  const uint16_t qclass = r.u16();
  if (!r.ok() || (qtype != kTypeA && qtype != kTypeAaaa) || qclass != kClassInternet) return m;
  m.isA = qtype == kTypeA;
  if (!m.isResponse) {
    m.name = name;
    m.ok = true;
    return m;
  }

  // Resource records (RFC 1035 4.1.3): NAME, TYPE, CLASS, TTL, RDLENGTH, RDATA.
  // A record that cannot be read spoils the whole message: nothing of it is used.
  auto unreadable = [&m] {
    DnsMessage spoiled;
    spoiled.isResponse = m.isResponse;
    spoiled.id = m.id;
    spoiled.isA = m.isA;
    return spoiled;
  };
  std::string ignored;
  for (uint16_t i = 0; i < h.answerCount; ++i) {
    if (!readName(r, ignored)) return unreadable();
    const uint16_t type = r.u16();
    const uint16_t cls = r.u16();
    r.u32();  // TTL
    const uint16_t rdLength = r.u16();
    const uint8_t* rdata = r.bytes(rdLength);
    if (rdata == nullptr) return unreadable();
    if (cls != kClassInternet || (type != kTypeA && type != kTypeAaaa)) continue;
    if (rdLength != (type == kTypeA ? 4u : 16u)) return unreadable();
    if (type == kTypeA) {
      uint32_t v;
      std::memcpy(&v, rdata, 4);
      m.answers.push_back(SocketAddress28::FromIpv4(v));
    } else {
      m.answers.push_back(SocketAddress28::FromIpv6(rdata));
    }
    if ((type == kTypeA) != m.isA) m.mixedTypes = true;
  }
  m.name = name;
  m.ok = !m.answers.empty();
  return m;
}

std::string NormalizeName(std::string_view name) {
  constexpr std::string_view kSpace = " \r\n\t";
  const size_t first = name.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const size_t last = name.find_last_not_of(kSpace);
  std::string out(name.substr(first, last - first + 1));
  // ASCII only: names are compared byte-wise after this, in every locale.
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string PendingKey(uint16_t id, bool isA, const std::string& name) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "0x%x-", id);
  return prefix + std::string(isA ? "A" : "AAAA") + '-' + name;
}

bool AppendEncodedName(std::string_view name, std::vector<uint8_t>& out) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty()) return false;
  std::vector<uint8_t> encoded;
  size_t start = 0;
  for (;;) {
    const size_t dot = name.find('.', start);
    const std::string_view label = name.substr(start, dot == name.npos ? name.npos : dot - start);
    if (label.empty() || label.size() > 63) return false;
    encoded.push_back(static_cast<uint8_t>(label.size()));
    encoded.insert(encoded.end(), label.begin(), label.end());
    if (dot == name.npos) break;
    start = dot + 1;
  }
  encoded.push_back(0);
  if (encoded.size() > kMaxNameLength) return false;
  out.insert(out.end(), encoded.begin(), encoded.end());
  return true;
}

std::vector<uint8_t> BuildDnsResponse(uint16_t id, std::string_view name, bool isA,
                                      const std::vector<SocketAddress28>& addresses) {
  std::vector<uint8_t> out;
  out.reserve(kMaxMessageSize);
  putU16(out, id);
  putU16(out, 0x8180);  // QR, RD, RA, RCODE 0
  putU16(out, 1);       // QDCOUNT
  putU16(out, 0);       // ANCOUNT, written below
  putU16(out, 0);       // NSCOUNT
  putU16(out, 0);       // ARCOUNT
  if (!AppendEncodedName(name, out)) return {};
  putU16(out, isA ? kTypeA : kTypeAaaa);
  putU16(out, kClassInternet);

  uint16_t count = 0;
  for (const SocketAddress28& a : addresses) {
    const bool v4 = a.family() == platform::kFamilyIpv4;
    const size_t rdLength = v4 ? 4 : 16;
    // NAME(2) TYPE(2) CLASS(2) TTL(4) RDLENGTH(2) RDATA: one UDP message holds 512 bytes.
    if (out.size() + 12 + rdLength > kMaxMessageSize) break;
    putU16(out, 0xC00C);  // the question's name, at offset 12
    putU16(out, v4 ? kTypeA : kTypeAaaa);
    putU16(out, kClassInternet);
    putU16(out, static_cast<uint16_t>(kAnswerTtlSeconds >> 16));
    putU16(out, static_cast<uint16_t>(kAnswerTtlSeconds));
    putU16(out, static_cast<uint16_t>(rdLength));
    const uint8_t* rdata = v4 ? &a.bytes[4] : a.ipv6();
    out.insert(out.end(), rdata, rdata + rdLength);
    ++count;
  }
  out[6] = static_cast<uint8_t>(count >> 8);
  out[7] = static_cast<uint8_t>(count);
  return out;
}

std::vector<uint8_t> BuildDnsQuery(uint16_t id, std::string_view name, uint16_t type) {
  std::vector<uint8_t> out;
  putU16(out, id);
  putU16(out, 0x0100);  // RD
  putU16(out, 1);
  putU16(out, 0);
  putU16(out, 0);
  putU16(out, 0);
  if (!AppendEncodedName(name, out)) return {};
  putU16(out, type);
  putU16(out, kClassInternet);
  return out;
}

}  // namespace dns
