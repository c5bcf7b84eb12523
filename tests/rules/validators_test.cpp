// Text helpers of the rule parsers: decimal reading, address text and the
// validators. Splitting and name normalising (trim, then ASCII-only lower
// case: platform's Text test) are exercised through the rule and file parsers.
#include "rules/validators.h"

#include <gtest/gtest.h>

#include "rules/address_text.h"
#include "rules/decimal.h"

namespace rules {
namespace {

TEST(ReadDecimal, ReadsLikeTheRuntimeConversionWithoutLocale) {
  struct Row {
    const char* text;
    int32_t expected;
  } rows[] = {
      {"123abc", 123},          {"abc", 0},
      {"", 0},                  {"-5", -5},
      {"+7", 7},                {" \t\r\n\v\f42", 42},
      {"- 5", 0},               {"--5", 0},
      {"0009", 9},              {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX}, {"-2147483648", INT32_MIN},
      {"-99999999999999999999", INT32_MIN}, {"99999999999999999999", INT32_MAX},
      {"12 34", 12},            {"1.5", 1},
  };
  for (const Row& row : rows) EXPECT_EQ(ReadDecimal(row.text), row.expected) << "text: " << row.text;
}

TEST(IsIpv4Text, FullMatchWithTheFormatsOctetRules) {
  struct Row {
    const char* text;
    bool ok;
    const char* trimmed;
  } rows[] = {
      {"1.2.3.4", true, "1.2.3.4"},
      {"  10.0.0.1\t", true, "10.0.0.1"},
      {"255.255.255.255", true, "255.255.255.255"},
      {"010.1.2.3", true, "010.1.2.3"},  // three-digit form with a leading zero
      {"01.1.2.3", true, "01.1.2.3"},    // two-digit form
      {"0.1.2.3", false, ""},            // a one-digit first octet must be 1-9
      {"256.1.1.1", false, ""},
      {"1.2.3", false, ""},
      {"1.2.3.4.5", false, ""},
      {"1.2.3.4x", false, ""},
      {"", false, ""},
  };
  for (const Row& row : rows) {
    std::string text = row.text;
    EXPECT_EQ(IsIpv4Text(text), row.ok) << row.text;
    if (row.ok) {
      EXPECT_EQ(text, row.trimmed);
    } else {
      EXPECT_EQ(text, row.text) << "a rejected text stays as it was";
    }
  }
}

TEST(IsDomainText, NeedsADotAndALettersOnlyLastLabel) {
  struct Row {
    const char* text;
    bool ok;
  } rows[] = {
      {"example.com", true},     {" Game-1.Example.COM ", true}, {"localhost", false},
      {"1.2.3.4", false},        {"example.c0m", false},         {"-bad.com", false},
      {"a..com", false},         {"under_score.com", false},     {"*.*", false},
      {"a.b.c.d.e.f.org", true}, {"", false},
  };
  for (const Row& row : rows) {
    std::string text = row.text;
    EXPECT_EQ(IsDomainText(text), row.ok) << row.text;
  }
  std::string padded = "  game.example.com ";
  ASSERT_TRUE(IsDomainText(padded));
  EXPECT_EQ(padded, "game.example.com");
  std::string longLabel = std::string(64, 'a') + ".com";
  EXPECT_FALSE(IsDomainText(longLabel)) << "a label holds at most 63 characters";
}

TEST(ParseCidrText, ConvertsTheAddressAsTheClassicInetAddrDoesInItsClassicForms) {
  struct Row {
    const char* text;
    bool ok;
    uint32_t address;
    uint32_t prefix;
  } rows[] = {
      {"10.0.0.0/8", true, platform::ipv4(10, 0, 0, 0), 8},
      {" 192.168.1.0/24 ", true, platform::ipv4(192, 168, 1, 0), 24},
      {"010.0.0.0/8", true, platform::ipv4(8, 0, 0, 0), 8},    // leading zero: octal
      {"10.0.0.0/33", true, platform::ipv4(10, 0, 0, 0), 33},  // range checks belong to the caller
      {"10.0.0.0", false, 0, 0},
      {"10.0.0.0/", false, 0, 0},
      {"10.0.0/8", false, 0, 0},
      {"300.0.0.0/8", false, 0, 0},
  };
  for (const Row& row : rows) {
    uint32_t address = 0, prefix = 0;
    EXPECT_EQ(ParseCidrText(row.text, address, prefix), row.ok) << row.text;
    if (!row.ok) continue;
    EXPECT_EQ(std::pair(address, prefix), std::pair(row.address, row.prefix)) << row.text;
  }

  // The classic conversion itself, in its classic forms.
  struct ClassicRow {
    const char* text;
    uint32_t expected;
  } classicRows[] = {
      {"0x7f.1", platform::ipv4(127, 0, 0, 1)},
      {"127.1", platform::ipv4(127, 0, 0, 1)},
      {"10.1.258", platform::ipv4(10, 1, 1, 2)},
      {"3232235777", platform::ipv4(192, 168, 1, 1)},
      {"010.1.2.3", platform::ipv4(8, 1, 2, 3)},
      {"09.1.2.3", kInvalidIpv4},
      {"1.2.3.4 trailing", platform::ipv4(1, 2, 3, 4)},
      {" 1.2.3.4", kInvalidIpv4},
      {"1.2.3.256", kInvalidIpv4},
      {"example.com", kInvalidIpv4},
      {"", kInvalidIpv4},
      {"1..2", kInvalidIpv4},
  };
  for (const ClassicRow& row : classicRows) EXPECT_EQ(ClassicInetAddr(row.text), row.expected) << row.text;
}

TEST(Ipv6Text, ParsesNumericFormsGivesTheCanonicalTextAndTheAddress) {
  struct Row {
    const char* text;
    bool ok;
    const char* canonical;
  } rows[] = {
      {"::1", true, "::1"},
      {"2001:DB8:0:0:0:0:0:1", true, "2001:db8::1"},
      {"2001:db8:0:1:0:0:0:1", true, "2001:db8:0:1::1"},
      {"2001:0:0:1:0:0:0:1", true, "2001:0:0:1::1"},
      {"1:0:0:2:0:0:3:4", true, "1::2:0:0:3:4"},  // the first of two equal runs
      {"::ffff:192.0.2.1", true, "::ffff:192.0.2.1"},
      {"::192.0.2.1", true, "::192.0.2.1"},
      {"fe80::1%4", true, "fe80::1%4"},
      {"[2001:db8::2]:443", true, "[2001:db8::2]:443"},
      {"::", true, "::"},
      {"1:2:3:4:5:6:7:8", true, "1:2:3:4:5:6:7:8"},
      {"1:2:3:4:5:6:7:8:9", false, ""},
      {"1::2::3", false, ""},
      {"12345::", false, ""},
      {"1.2.3.4", false, ""},
      {":1", false, ""},
      {"", false, ""},
  };
  for (const Row& row : rows) {
    std::string text = row.text;
    EXPECT_EQ(IsIpv6Text(text), row.ok) << row.text;
    if (!row.ok) continue;
    EXPECT_EQ(text, row.canonical) << row.text;
  }
  // Parsed: a family 23 address with port 0, or zeros.
  SocketAddress28 out;
  ASSERT_TRUE(ParseIpv6Text("2001:db8::7", out));
  EXPECT_EQ(out.family(), platform::kFamilyIpv6);
  EXPECT_EQ(out.port(), 0);
  const uint8_t expected[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
  EXPECT_EQ(std::memcmp(out.ipv6(), expected, 16), 0);
  EXPECT_FALSE(ParseIpv6Text("not-an-address", out));
  EXPECT_EQ(out, SocketAddress28{});
}

}  // namespace
}  // namespace rules
