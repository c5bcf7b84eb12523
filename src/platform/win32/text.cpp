// Windows text: MultiByteToWideChar / WideCharToMultiByte with code page 65001
// (UTF-8) or 0 (the ANSI code page).
#include "platform/text.h"

#include <windows.h>

#include <climits>

namespace platform {
namespace {

std::u16string toWide(UINT codePage, std::string_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()),
                      reinterpret_cast<wchar_t*>(out.data()), n);
  return out;
}

std::string fromWide(UINT codePage, std::u16string_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  auto* w = reinterpret_cast<const wchar_t*>(text.data());
  int n = WideCharToMultiByte(codePage, 0, w, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, w, static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::u16string utf8ToUtf16(std::string_view text) { return toWide(CP_UTF8, text); }
std::string utf16ToUtf8(std::u16string_view text) { return fromWide(CP_UTF8, text); }
std::u16string ansiToUtf16(std::string_view text) { return toWide(CP_ACP, text); }
std::string utf16ToAnsi(std::u16string_view text) { return fromWide(CP_ACP, text); }

}  // namespace platform
