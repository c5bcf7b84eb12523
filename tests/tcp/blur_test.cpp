#include "tcp/blur.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

TEST(Blur, KnownBytes) {
  struct Row {
    uint8_t plain;
    uint8_t blurred;
  };
  const Row rows[] = {{0x00, 0xF8}, {0x41, 0xB7}, {0xF9, 0xFF}, {0xFF, 0xF9}, {0xF8, 0x00}, {0x07, 0xF1}};
  for (const Row& row : rows) {
    EXPECT_EQ(tcp::Blur(row.plain), row.blurred) << int(row.plain);
    EXPECT_EQ(tcp::Unblur(row.blurred), row.plain) << int(row.blurred);
  }
}

TEST(Blur, InPlaceBuffersOfEveryLengthNearTheVectorWidths) {
  // Lengths around 16, 32 and 64 catch a vectorised loop that mishandles
  // its tail; the byte after the buffer must stay as it was. The 4096 bytes
  // hold every value: Unblur undoes Blur for all of them.
  for (size_t length : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{33}, size_t{63},
                        size_t{64}, size_t{65}, size_t{4096}}) {
    std::vector<uint8_t> bytes(length + 1);
    std::iota(bytes.begin(), bytes.end(), uint8_t{3});
    const std::vector<uint8_t> original = bytes;
    tcp::BlurInPlace(bytes.data(), length);
    for (size_t i = 0; i < length; ++i) ASSERT_EQ(bytes[i], tcp::Blur(original[i])) << length << "/" << i;
    EXPECT_EQ(bytes[length], original[length]) << "wrote past the end at length " << length;
    tcp::UnblurInPlace(bytes.data(), length);
    EXPECT_EQ(bytes, original) << length;
  }
}

}  // namespace
