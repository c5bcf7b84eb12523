#include "tcp/blur.h"

#include <gtest/gtest.h>

#include <numeric>
#include <utility>
#include <vector>

namespace {

TEST(Blur, KnownBytesAndInPlaceBuffersOfEveryLengthNearTheVectorWidths) {
  const std::pair<uint8_t, uint8_t> known[] = {{0x00, 0xF8}, {0x41, 0xB7}, {0xF9, 0xFF},
                                               {0xFF, 0xF9}, {0xF8, 0x00}, {0x07, 0xF1}};
  for (const auto& [plain, blurred] : known) {
    EXPECT_EQ(tcp::Blur(plain), blurred) << int(plain);
    EXPECT_EQ(tcp::Unblur(blurred), plain) << int(blurred);
  }
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
