#include "rules/text_split.h"

#include "platform/text.h"

namespace rules {

std::vector<std::string_view> SplitDropEmpty(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

std::vector<std::string_view> SplitKeepEmpty(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

std::vector<std::string_view> SplitLines(std::string_view text, std::vector<size_t>* lineNumbers) {
  std::vector<std::string_view> lines;
  if (lineNumbers != nullptr) lineNumbers->clear();
  size_t line = 1;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\r' && text[i] != '\n') continue;
    if (i > start) {
      lines.push_back(text.substr(start, i - start));
      if (lineNumbers != nullptr) lineNumbers->push_back(line);
    }
    // CR LF ends one line for the numbering, though the split sees two breaks.
    if (i < text.size() && !(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) ++line;
    start = i + 1;
  }
  return lines;
}

std::string_view TrimName(std::string_view text) {
  auto trimmed = [](char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; };
  size_t b = 0;
  size_t e = text.size();
  while (b < e && trimmed(text[b])) ++b;
  while (e > b && trimmed(text[e - 1])) --e;
  return text.substr(b, e - b);
}

std::string NormaliseName(std::string_view text) { return platform::toLowerAscii(TrimName(text)); }

}  // namespace rules
