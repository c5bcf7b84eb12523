// The filter file's line format and encoding.
#include "rules/filter_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "platform/crypto.h"

namespace rules {
namespace {

FilterLists Parse(std::string_view text, std::vector<DroppedLine>* dropped = nullptr) {
  FilterLists lists;
  ParseFilterText(text, lists, dropped);
  return lists;
}

TEST(FilterText, Kind0ColumnVariantsAndPortRuleKindsWithTheirOptionalColumns) {
  struct Row {
    const char* line;
    int32_t nameIsAddress, proxyResolve, fixedAddressFlag;
    const char* name;
    const char* note;
    const char* fixedAddress;
  } rows[] = {
      {"0,0,0,0,game.example.com", 0, -1, -1, "game.example.com", "", ""},
      {"0,0,0,0,game.example.com,1", 0, -1, -1, "game.example.com", "", ""},  // column 6 needs 7 columns
      {"0,0,0,0,game.example.com,1,tag", 0, 1, -1, "game.example.com", "tag", ""},
      // Exactly eight columns: column 8 is both the flag and the address text.
      {"0,0,0,0,game.example.com,1,tag,1.2.3.4", 0, 1, 1, "game.example.com", "tag", "1.2.3.4"},
      {"0,0,0,0,game.example.com,1,tag,1,203.0.113.7", 0, 1, 1, "game.example.com", "tag", "203.0.113.7"},
      {"0,0,0,1,10.1.2.3", 1, -1, -1, "10.1.2.3", "", ""},
      {"0,,0,,,0,0,,,x.example.com", 0, -1, -1, "x.example.com", "", ""},  // empty columns are dropped
      {"0,0,0,0,a.example.com,1,this-note-is-longer-than-15,0,2001:db8:aaaa:bbbb::1", 0, 1, 0,
       "a.example.com", "this-note-is-lo", "2001:db8:aaaa:b"},  // text columns are cut to their fields
  };
  for (const Row& row : rows) {
    FilterLists lists = Parse(row.line);
    ASSERT_EQ(lists.records.size(), 1u) << row.line;
    const FILTER_RECORD& r = lists.records[0];
    EXPECT_EQ(std::tie(r.kind, r.nameIsAddress, r.proxyResolve, r.fixedAddressFlag, r.name, r.note,
                       r.fixedAddress, r.port),
              std::tuple(FILTER_STEER, row.nameIsAddress, row.proxyResolve, row.fixedAddressFlag,
                         std::string(row.name), std::string(row.note), std::string(row.fixedAddress),
                         uint16_t{0xFFFF}))  // the default port
        << row.line;
  }

  // Port rule kinds and their optional columns.
  struct PortRow {
    const char* line;
    uint32_t kind;
    const char* name;
    uint16_t port;  // host order
    uint16_t action;
    uint32_t protocol;
  } portRows[] = {
      {"12,3,1,10.1.2.0,443", 1, "10.1.2.0", 443, 0, 0},
      {"12,3,1,10.1.2.0,443,0,2", 1, "10.1.2.0", 443, 0, 2},
      {"0,0,2,8080", 2, "", 8080, 0, 0},
      {"0,0,2,8080,1,1", 2, "", 8080, 1, 1},
      {"0,0,2,70000,1", 2, "", 70000 & 0xFFFF, 1, 0},  // the low 16 bits
      {"0,0,3,][^cdn\\d+\\.example\\.com$,80,1,1", 3, "][^cdn\\d+\\.example\\.com$", 80, 1, 1},
      {"0,0,3,api.example.com,0", 3, "api.example.com", 0, 0, 0},
  };
  for (const PortRow& row : portRows) {
    FilterLists portLists = Parse(row.line);
    ASSERT_EQ(portLists.records.size(), 1u) << row.line;
    const FILTER_RECORD& r = portLists.records[0];
    EXPECT_EQ(std::tie(r.kind, r.name, r.port, r.action, r.protocol),
              std::tuple(row.kind, std::string(row.name), platform::hostToNet16(row.port), row.action,
                         row.protocol))
        << row.line;
  }
  FilterLists big = Parse("4294967295,-1,2,80");
  ASSERT_EQ(big.records.size(), 1u);
  EXPECT_EQ(big.records[0].gameId, 2147483647u) << "numbers saturate at the signed limit";
  EXPECT_EQ(big.records[0].areaId, 0xFFFFFFFFu);
}

// What the tables make of kinds 5 and 6, name or address on either side,
// is tested in filter_tables_test.cpp; here what the parser decides itself.
TEST(FilterText, WebGamesTakeTheFirstKind4LineOfAGame) {
  FilterLists lists = Parse("7,0,4\n7,5,4\n");
  ASSERT_EQ(lists.records.size(), 2u) << "kind 4 lines are records too";
  EXPECT_EQ(lists.webGames, (std::map<uint32_t, uint32_t>{{7, 0}}));
}

TEST(FilterText, DroppedLinesAreReportedWithTheirNumberAndReason) {
  std::vector<DroppedLine> dropped;
  FilterLists lists = Parse(
      "0,0\r\n"                                        // 1: fewer than 3 columns
      "0,0,7,1,2,3\r\n"                                // 2: kind above 6
      "0,0,0,0\r\n"                                    // 3: kind 0 needs 5
      "\r\n"                                           // 4: empty
      "0,0,5,203.0.113.1,80,a,b,host.example.com\r\n"  // 5: kind 5 needs 9
      "0,0,6,a.example.com,1,b.example.com,2,1\r\n"    // 6: kind 6 needs 9
      "0,0,6,bad_host,1,b.example.com,2,1,0\r\n"       // 7: source neither name nor address
      "0,0,6,a.example.com,1,0.1.2.3,2,1,0\r\n"        // 8: target neither
      "0,0,2,80\r\n",                                  // 9: kept
      &dropped);
  EXPECT_EQ(lists.records.size(), 1u);
  EXPECT_TRUE(lists.portMaps.empty());
  EXPECT_TRUE(lists.hostRewrites.empty());
  struct Expected {
    size_t line;
    DropReason reason;
  } expected[] = {{1, DropReason::kTooFewColumns}, {2, DropReason::kUnknownKind},
                  {3, DropReason::kTooFewColumns}, {5, DropReason::kTooFewColumns},
                  {6, DropReason::kTooFewColumns}, {7, DropReason::kBadAddress},
                  {8, DropReason::kBadAddress}};
  ASSERT_EQ(dropped.size(), std::size(expected));
  for (size_t i = 0; i < dropped.size(); ++i) {
    EXPECT_EQ(dropped[i].lineNumber, expected[i].line);
    EXPECT_EQ(dropped[i].reason, expected[i].reason) << dropped[i].detail;
    EXPECT_FALSE(dropped[i].detail.empty());
  }
}

// Patterns run on every queried name on a driver worker: those that could
// stall it or overflow the matcher's compiler are dropped at load, with the
// reason lumo-filter check prints.
TEST(FilterText, PatternsBeyondTheMatchersBoundsAreDroppedWithTheReason) {
  struct Row {
    const char* line;
    const char* reason;  // nullptr: kept
  } rows[] = {
      {"0,0,0,0,][^cdn\\d{3}\\.example\\.com$,1,n", nullptr},
      {"0,0,0,0,][^([a-z0-9-]{63}\\.)?example\\.com$,1,n", nullptr},
      {"0,0,0,0,][^(a|aa)+$,1,n", nullptr},  // one pass over the name, however it nests
      {"0,0,0,0,][a{255},1,n", nullptr},
      {"0,0,0,0,][a{256},1,n", "repetition count"},
      {"0,0,3,][x{99999999999}y,80,1,1", "repetition count"},
      {"0,0,0,0,][^cdn\\d{1,1,n", "not a valid expression"},  // a comma ends the column
      {"0,0,0,0,][(a{200}){200},1,n", "too large"},
      {"0,0,0,0,][a{255}{255},1,n", "too large"},  // a quantifier repeats the one before it
      {"0,0,0,0,][((((ab){9}){9}){9}),1,n", "too large"},
      {"0,0,0,0,][(.)\\1,1,n", "back-references"},
      {"0,0,0,0,][[\\1],1,n", "back-references"},
      {"0,0,0,0,][^(?!www\\.).*,1,n", "look-ahead"},
      {"0,0,0,0,][(unclosed,1,n", "not a valid expression"},
      {"0,0,0,1,][a{99999999999}", nullptr},  // an address column, never compiled
  };
  for (const Row& row : rows) {
    std::vector<DroppedLine> dropped;
    FilterLists lists = Parse(row.line, &dropped);
    if (row.reason == nullptr) {
      EXPECT_EQ(lists.records.size(), 1u) << row.line;
      EXPECT_TRUE(dropped.empty()) << row.line << ": " << (dropped.empty() ? "" : dropped[0].detail);
      continue;
    }
    EXPECT_TRUE(lists.records.empty()) << row.line;
    ASSERT_EQ(dropped.size(), 1u) << row.line;
    EXPECT_EQ(dropped[0].reason, DropReason::kBadPattern) << row.line;
    EXPECT_NE(dropped[0].detail.find(row.reason), std::string::npos) << row.line << ": " << dropped[0].detail;
  }
}

TEST(Base64, DecoderSkipsEverythingOutsideTheAlphabet) {
  const std::vector<uint8_t> bytes = {'L', 'u', 'm', 'o', 0x00, 0xFF, 0x80};
  std::string text = Base64Encode(bytes);
  EXPECT_EQ(text, "THVtbwD/gA==\r\n");
  EXPECT_EQ(Base64Decode(text), bytes);
  EXPECT_EQ(Base64Decode("T H\tV*t-b\n=w=D/g A"), bytes);
  EXPECT_TRUE(Base64Decode("====").empty());
  // Long output is broken into lines that decode back.
  std::vector<uint8_t> many(1000);
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i * 7);
  std::string wrapped = Base64Encode(many);
  EXPECT_NE(wrapped.find("\r\n"), wrapped.size() - 2);
  EXPECT_EQ(Base64Decode(wrapped), many);
  // The size the tool checks against the engine's limit before writing.
  for (size_t n : {0, 1, 2, 3, 56, 57, 58, 114, 1000})
    EXPECT_EQ(EncipheredFileSize(n), Base64Encode(std::vector<uint8_t>(n)).size()) << n;
}

// A file written by an independent implementation of the format (MD5 of the
// 9-byte key "TestKey#1", five hash bytes and eleven zero bytes as the RC4
// key, Base64). Linux (nettle + RC4 here) and Windows (CryptoAPI) must both
// read it.
TEST(FilterCipher, FixedCiphertextAndLongKeyStreamAreIdenticalOnEverySystem) {
  const char* kFile =
      "vKFNgrwxBjaUoZrUYUI+"
      "IOPHaNePc0zICPFMrnPtvsA84OW3UeKxAqKQBKgMEYnk0DQAsyHOvfiCvubxdgIoBnhJzMWRk3NKs0UgymwLtqU5"
      "mYtBKg==";
  const std::string kPlain =
      "0,0,2,8080,1,1\r\n12,0,1,10.1.2.0,443,0,0\r\n0,0,0,0,game.example.com,1,x,1,203.0.113.7\r\n";
  const uint8_t key[9] = {'T', 'e', 's', 't', 'K', 'e', 'y', '#', '1'};
  std::vector<uint8_t> bytes = Base64Decode(kFile);
  std::string error;
  ASSERT_EQ(platform::rc4DecryptWithDerivedKey(key, sizeof key, bytes, error), platform::CipherStatus::kOk)
      << error;
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), kPlain);

  // A long input is one key stream across chunks. RC4 over zero bytes is the
  // key stream itself; the reference values at offsets 992 and 2080 come from
  // the same independent implementation.
  std::vector<uint8_t> stream(2100, 0);
  ASSERT_EQ(platform::rc4EncryptWithDerivedKey(key, sizeof key, stream, error), platform::CipherStatus::kOk);
  const uint8_t at992[] = {0xe0, 0x2a, 0xfa, 0x24, 0x38, 0xe1, 0xa3, 0x6f,
                           0xeb, 0xe1, 0xa5, 0xe8, 0x14, 0x8e, 0xa5, 0x16};
  const uint8_t at2080[] = {0x87, 0x8a, 0xfb, 0x61, 0xf5, 0x06, 0xd2, 0xaa,
                            0x7d, 0xef, 0xb4, 0x29, 0x91, 0xa6, 0x3b, 0x58};
  EXPECT_EQ(std::memcmp(stream.data() + 992, at992, 16), 0);
  EXPECT_EQ(std::memcmp(stream.data() + 2080, at2080, 16), 0);
  ASSERT_EQ(platform::rc4DecryptWithDerivedKey(key, sizeof key, stream, error), platform::CipherStatus::kOk);
  EXPECT_EQ(stream, std::vector<uint8_t>(2100, 0));
}

}  // namespace
}  // namespace rules
