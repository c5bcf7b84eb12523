// The DNS message code: crafted and hostile messages through the reader, the
// response and the upstream query byte for byte. (Queries glibc makes, and
// responses glibc reads, are DnsEndToEnd's.)
#include "dns/dns_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace dns;
using Bytes = std::vector<uint8_t>;

namespace {

// A header: id 0x1234, the flags, one question, `answers` answers.
Bytes header(uint16_t flags, uint16_t answers) {
  Bytes h = {0x12, 0x34, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  h[2] = static_cast<uint8_t>(flags >> 8);
  h[3] = static_cast<uint8_t>(flags);
  h[7] = static_cast<uint8_t>(answers);
  return h;
}
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes label(size_t n, char c = 'x') {
  Bytes b{static_cast<uint8_t>(n)};
  b.insert(b.end(), n, static_cast<uint8_t>(c));
  return b;
}
const Bytes kQuestionA = {0, 1, 0, 1};
const Bytes kQuestionAaaa = {0, 28, 0, 1};
const Bytes kGameName = {4, 'G', 'a', 'm', 'e', 2, 'e', 'x', 0};  // "Game.ex"
// An answer naming the question by pointer: type, class IN, TTL 60, RDLENGTH, RDATA.
Bytes answer(uint16_t type, Bytes rdata, uint16_t rdLength = 0xFFFF) {
  if (rdLength == 0xFFFF) rdLength = static_cast<uint16_t>(rdata.size());
  Bytes b = {0xC0, 0x0C, static_cast<uint8_t>(type >> 8),     static_cast<uint8_t>(type),    0, 1, 0, 0,
             0,    60,   static_cast<uint8_t>(rdLength >> 8), static_cast<uint8_t>(rdLength)};
  return b + rdata;
}

DnsMessage parse(const Bytes& b) { return ParseDnsMessage(b.data(), b.size()); }

}  // namespace

TEST(DnsMessageReader, QuestionNamesAndResponsesCraftedAndHostile) {
  const Bytes q = header(0x0100, 0);
  const Bytes r = header(0x8180, 2) + kGameName + kQuestionA;
  const Bytes v4 = {198, 51, 100, 7};
  const Bytes v6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
  const Bytes cname = {3, 'a', 'b', 'c', 0};
  const std::string l63(63, 'x');
  struct Row {
    const char* what;
    Bytes message;  // a response when its flags say so
    bool ok;
    std::string name;
    size_t answers = 0;
    bool mixed = false;
  };
  const Row rows[] = {
      {"plain A question, normalised", q + kGameName + kQuestionA, true, "game.ex"},
      {"label of 63 bytes", q + label(63) + Bytes{0} + kQuestionA, true, l63},
      {"label length 64 is a reserved kind", q + label(64) + Bytes{0} + kQuestionA, false, ""},
      {"label kind 10 is reserved", q + Bytes{0x80, 0} + kQuestionA, false, ""},
      {"name of 255 bytes encoded", q + label(63) + label(63) + label(63) + label(61) + Bytes{0} + kQuestionA,
       true, l63 + "." + l63 + "." + l63 + "." + std::string(61, 'x')},
      {"name of 256 bytes encoded", q + label(63) + label(63) + label(63) + label(62) + Bytes{0} + kQuestionA,
       false, ""},
      {"label running past the end", q + Bytes{10, 'a', 'b'}, false, ""},
      {"no root byte before the end", q + Bytes{1, 'a'}, false, ""},
      {"pointer to itself ends the name", q + Bytes{3, 'a', 'b', 'c', 0xC0, 16} + kQuestionA, true, "abc"},
      {"pointer loop of two", q + Bytes{0xC0, 14, 0xC0, 12} + kQuestionA, false, ""},
      {"pointer forward past the question", q + Bytes{0xC0, 18} + kQuestionA + Bytes{1, 'f', 0}, true, "f"},
      {"pointer past the message", q + Bytes{0xC0, 0xFF} + kQuestionA, false, ""},
      {"pointer cut in half", q + Bytes{0xC0}, false, ""},
      {"bit-string label", q + Bytes{0x41, 12, 0xAB, 0xC0, 1, 'z', 0} + kQuestionA, true, "\\[xabc0/12].z"},
      {"bit-string label of 0 bits", q + Bytes{0x41, 0, 0} + kQuestionA, true, "\\[x/0]"},
      {"bit-string label longer than the message", q + Bytes{0x41, 255, 1, 2}, false, ""},
      {"other extended label type", q + Bytes{0x42, 8, 1, 0} + kQuestionA, false, ""},
      {"MX question is not examined", q + kGameName + Bytes{0, 15, 0, 1}, false, ""},
      {"class CH is not examined", q + kGameName + Bytes{0, 1, 0, 3}, false, ""},
      {"question type cut short", q + kGameName + Bytes{0, 1, 0}, false, ""},
      {"white space trimmed", q + Bytes{2, ' ', 'A', 2, 'B', '\t', 0} + kQuestionAaaa, true, "a.b"},
      {"dot inside a label", q + Bytes{3, 'a', '.', 'b', 0} + kQuestionA, false, ""},
      {"the root, or blanks only", q + Bytes{0} + kQuestionA, false, ""},
      {"blanks only", q + Bytes{1, ' ', 0} + kQuestionA, false, ""},
      {"A then AAAA", r + answer(1, v4) + answer(28, v6), true, "game.ex", 2, true},
      {"CNAME skipped, then A", r + answer(5, cname) + answer(1, v4), true, "game.ex", 1},
      {"no address records", r + answer(5, cname) + answer(5, cname), false, "game.ex"},
      {"A with RDLENGTH 5", r + answer(1, v4 + Bytes{0}) + answer(1, v4), false, ""},
      {"AAAA with RDLENGTH 4", r + answer(28, v4) + answer(1, v4), false, ""},
      {"RDLENGTH past the end", r + answer(1, v4) + answer(1, v4, 200), false, ""},
      {"answer count above the records", header(0x8180, 9) + kGameName + kQuestionA + answer(1, v4), false,
       ""},
      {"answer name looping", r + Bytes{0xC0, 29} + answer(1, v4), false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DnsMessage m = parse(row.message);
    EXPECT_EQ(m.ok, row.ok);
    EXPECT_EQ(m.name, row.name);
    EXPECT_EQ(m.isResponse, (row.message[2] & 0x80) != 0);
    EXPECT_EQ(m.id, 0x1234);
    EXPECT_EQ(m.answers.size(), row.answers);
    EXPECT_EQ(m.mixedTypes, row.mixed);
  }
  DnsMessage both = parse(r + answer(1, v4) + answer(28, v6));
  ASSERT_EQ(both.answers.size(), 2u);
  EXPECT_EQ(both.answers[0], SocketAddress28::FromIpv4(platform::ipv4(198, 51, 100, 7)));
  EXPECT_EQ(both.answers[1], SocketAddress28::FromIpv6(v6.data()));
}

TEST(DnsMessageReader, EveryTruncationIsReadSafely) {
  const Bytes v4 = {203, 0, 113, 5};
  const Bytes full = header(0x8180, 2) + Bytes{0x41, 16, 1, 2} + kGameName + kQuestionA + answer(1, v4) +
                     Bytes{0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4} + v4;
  ASSERT_TRUE(parse(full).ok);
  for (size_t cut = 0; cut < full.size(); ++cut) {
    // A copy of exactly `cut` bytes, so a read past it is caught by the
    // address sanitizer as well as by the result.
    Bytes part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
    DnsMessage m = ParseDnsMessage(part.empty() ? nullptr : part.data(), part.size());
    EXPECT_FALSE(m.ok) << cut;
    EXPECT_TRUE(m.name.empty()) << cut;
  }
  Bytes oversize(513, 0);
  oversize[5] = 1;
  EXPECT_FALSE(IsExaminable(oversize.data(), oversize.size(), false));
  EXPECT_TRUE(IsExaminable(oversize.data(), 511, false));
}

TEST(DnsResponseBuilder, BuildsTheResponseAndTheUpstreamQueryByteForByte) {
  const uint8_t v6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 192, 0, 2, 1};
  const Bytes built = BuildDnsResponse(
      0xBEEF, "ab.c", false,
      {SocketAddress28::FromIpv4(platform::ipv4(198, 51, 100, 2)), SocketAddress28::FromIpv6(v6)});
  const Bytes expected = {
      0xBE, 0xEF, 0x81, 0x80, 0,   1, 0, 2,  0, 0,  0, 0,   // id, flags, QD 1, AN 2
      2,    'a',  'b',  1,    'c', 0, 0, 28, 0, 1,          // ab.c AAAA IN
      0xC0, 0x0C, 0,    1,    0,   1, 0, 0,  0, 30, 0, 4,   // A record, TTL 30
      198,  51,   100,  2,                                  //
      0xC0, 0x0C, 0,    28,   0,   1, 0, 0,  0, 30, 0, 16,  // AAAA record, TTL 30
      0,    0,    0,    0,    0,   0, 0, 0,  0, 0,  0, 0,  192, 0, 2, 1,
  };
  EXPECT_EQ(built, expected);

  // No answers: ANCOUNT 0; names that labels cannot carry: nothing at all.
  const Bytes empty = BuildDnsResponse(1, "a", true, {});
  EXPECT_EQ(empty, (Bytes{0, 1, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 0, 0, 1, 0, 1}));
  EXPECT_TRUE(BuildDnsResponse(1, "a..b", true, {}).empty());
  EXPECT_TRUE(BuildDnsResponse(1, std::string(64, 'x'), true, {}).empty());

  // Never more than one UDP message: 40 IPv6 answers do not fit in 512 bytes.
  std::vector<SocketAddress28> many(40, SocketAddress28::FromIpv6(v6));
  const Bytes big = BuildDnsResponse(2, "big.example", false, many);
  EXPECT_LE(big.size(), kMaxMessageSize);
  const DnsMessage back = ParseDnsMessage(big.data(), big.size());
  EXPECT_TRUE(back.ok);
  EXPECT_EQ(back.answers.size(), size_t{big[6] * 256u + big[7]});
  EXPECT_GT(back.answers.size(), 10u);

  // The upstream query asks for recursion.
  EXPECT_EQ(BuildDnsQuery(0x0102, "a.b", kTypeA),
            (Bytes{1, 2, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 'a', 1, 'b', 0, 0, 1, 0, 1}));
}
