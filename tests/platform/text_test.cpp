#include <gtest/gtest.h>

#include "platform/text.h"

TEST(Text, Utf8AndUtf16RoundTripMalformedUtf8AndAsciiOnlyLowerCasing) {
  const std::string utf8 = "game\xC3\xA9.exe \xE7\x8A\xB6 \xF0\x9F\x8E\xAE";  // é, 状, a game pad
  const std::u16string wide = platform::utf8ToUtf16(utf8);
  EXPECT_EQ(wide, std::u16string(u"game\u00e9.exe \u72b6 \U0001F3AE"));
  EXPECT_EQ(platform::utf16ToUtf8(wide), utf8);
  EXPECT_TRUE(platform::utf8ToUtf16("").empty());
  // Malformed: a lone continuation byte, an overlong '/', a truncated three-byte form.
  EXPECT_EQ(platform::utf8ToUtf16("a\x80z"), std::u16string(u"a\uFFFDz"));
  EXPECT_EQ(platform::utf8ToUtf16("\xC0\xAF").find(u'/'), std::u16string::npos);
  EXPECT_EQ(platform::utf8ToUtf16("\xE7\x8A").front(), u'\uFFFD');

  // Lower-casing touches only ASCII letters.
  EXPECT_EQ(platform::toLowerAscii(std::string_view("Game.EXE \xC3\x89")), "game.exe \xC3\x89");
  EXPECT_EQ(platform::toLowerAscii(std::u16string_view(u"D:\\Dir\\\u00C9X.EXE")), u"d:\\dir\\\u00C9x.exe");
}
