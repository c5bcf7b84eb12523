// Text conversions between the engine's 8-bit text and UTF-16.
//
// Inside the engine, 8-bit text is the ANSI code page on Windows and UTF-8 on
// Linux. Text towards the driver and the wide system calls is UTF-16, held as
// char16_t (wchar_t is 32 bits on Linux).
#pragma once

#include <string>
#include <string_view>

namespace platform {

// UTF-8 → UTF-16 (MultiByteToWideChar with code page 65001). Invalid
// sequences become U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);

// UTF-16 → UTF-8. Unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

// ANSI code page ↔ UTF-16 (code page 0 on Windows; UTF-8 on Linux).
// Characters that the ANSI code page cannot hold become '?'.
std::u16string ansiToUtf16(std::string_view text);
std::string utf16ToAnsi(std::u16string_view text);

// Lower-cases the letters A to Z only; every other byte or unit is kept. This
// is the lower-casing of the default "C" locale that the engine's names use.
void toLowerAsciiInPlace(std::string& text);
void toLowerAsciiInPlace(std::u16string& text);
std::string toLowerAscii(std::string_view text);
std::u16string toLowerAscii(std::u16string_view text);

}  // namespace platform
