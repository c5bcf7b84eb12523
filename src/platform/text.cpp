// Lower-casing shared by both systems: the default "C" locale maps only A-Z.
#include "platform/text.h"

namespace platform {

void toLowerAsciiInPlace(std::string& text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

void toLowerAsciiInPlace(std::u16string& text) {
  for (char16_t& c : text)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
}

std::string toLowerAscii(std::string_view text) {
  std::string out(text);
  toLowerAsciiInPlace(out);
  return out;
}

std::u16string toLowerAscii(std::u16string_view text) {
  std::u16string out(text);
  toLowerAsciiInPlace(out);
  return out;
}

}  // namespace platform
