// The PE version reader, on the fixture image and on malformed variants of it.
#include <gtest/gtest.h>

#include <functional>

#include "pe_fixture.h"
#include "platform/file_install.h"
#include "support/test_support.h"

namespace {

using lumotest::PeLayout;

bool readVersion(const std::vector<uint8_t>& image, platform::FileVersion& v) {
  return platform::readPeFixedVersion(image.data(), image.size(), v);
}

void set32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(PeVersion, TruncationBeforeTheEndOfTheRecordAndCorruptFieldsFail) {
  const std::vector<uint8_t> image = lumotest::buildVersionedPe({1, 2, 3, 4});
  for (size_t cut = 0; cut < PeLayout::kFixedInfo + 16; ++cut) {
    std::vector<uint8_t> part(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(cut));
    platform::FileVersion v;
    EXPECT_FALSE(readVersion(part, v)) << "cut at " << cut;
  }
  platform::FileVersion v;
  std::vector<uint8_t> whole(image.begin(), image.begin() + PeLayout::kVersionEnd);
  EXPECT_TRUE(readVersion(whole, v));

  // Corrupt fields fail.
  using L = PeLayout;
  struct Row {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> corrupt;
  };
  const Row rows[] = {
      {"DOS signature", [](auto& b) { b[0] = 'X'; }},
      {"e_lfanew past the end", [](auto& b) { set32(b, 0x3C, 0xFFFFFFF0u); }},
      {"PE signature", [](auto& b) { b[L::kPeHeader + 2] = 1; }},
      {"optional header magic", [](auto& b) { b[L::kOptionalHeader] = 0x0C; }},
      {"too few directories", [](auto& b) { set32(b, L::kOptionalHeader + 108, 2); }},
      {"optional header too short", [](auto& b) { b[L::kPeHeader + 4 + 16] = 100; }},
      {"no resource directory", [](auto& b) { set32(b, L::kOptionalHeader + 128, 0); }},
      {"resources outside every section", [](auto& b) { set32(b, L::kOptionalHeader + 128, 0x5000); }},
      {"section count beyond the file", [](auto& b) { b[L::kPeHeader + 4 + 2] = 0xFF; b[L::kPeHeader + 4 + 3] = 0xFF; }},
      {"raw data past the end", [](auto& b) { set32(b, L::kSectionTable + 20, 0x7FFFFF00u); }},
      {"no version type", [](auto& b) { set32(b, L::kResources + 16, 3); }},
      {"entry count beyond the section", [](auto& b) { b[L::kResources + 14] = 0xFF; b[L::kResources + 15] = 0xFF; }},
      {"type entry is data, not a directory", [](auto& b) { set32(b, L::kResources + 20, 0x18); }},
      {"language entry is a directory", [](auto& b) { set32(b, L::kResources + 0x30 + 20, 0x80000000u); }},
      {"subdirectory offset out of range", [](auto& b) { set32(b, L::kResources + 20, 0x80FFFFF0u); }},
      {"data RVA out of range", [](auto& b) { set32(b, L::kResources + 0x48, 0x1000 + 0x1F0); }},
      {"data size too small", [](auto& b) { set32(b, L::kResources + 0x4C, 60); }},
      {"block length too small", [](auto& b) { b[L::kVersionBlock] = 40; }},
      {"value length too small", [](auto& b) { b[L::kVersionBlock + 2] = 20; }},
      {"wrong key", [](auto& b) { b[L::kVersionBlock + 6] = 'W'; }},
      {"fixed record signature", [](auto& b) { b[L::kFixedInfo] = 0; }},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> image = lumotest::buildVersionedPe({1, 2, 3, 4});
    row.corrupt(image);
    platform::FileVersion v;
    EXPECT_FALSE(readVersion(image, v)) << row.what;
  }
  EXPECT_FALSE(platform::readPeFixedVersion(nullptr, 0, v));
}

TEST(PeVersion, ReadsTheFourNumbersFromBytesAndFromTheFile) {
  // The system's own reader (GetFileVersionInfoW on Windows) agrees with the
  // portable one on the fixture; a file that is no image has no version.
  lumotest::TempDir dir;
  const auto file = dir.path() / "fixture.sys";
  const std::vector<uint8_t> image = lumotest::buildVersionedPe({3, 1, 4, 1592}, 17);
  lumotest::writeFileBytes(file, image);
  platform::FileVersion fromBytes, v;
  ASSERT_TRUE(readVersion(image, fromBytes));
  ASSERT_TRUE(platform::readFileVersion(file, v));
  for (const platform::FileVersion& read : {fromBytes, v}) {
    EXPECT_EQ(read.major, 3);
    EXPECT_EQ(read.minor, 1);
    EXPECT_EQ(read.build, 4);
    EXPECT_EQ(read.revision, 1592);
  }

  const auto text = dir.path() / "text.sys";
  lumotest::writeFileBytes(text, std::vector<uint8_t>(300, 'x'));
  EXPECT_FALSE(platform::readFileVersion(text, v));
  EXPECT_FALSE(platform::readFileVersion(dir.path() / "missing.sys", v));
}

}  // namespace
