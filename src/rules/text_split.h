// Splitting and trimming of rule text, hosts-file lines and filter-file lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rules {

// The pieces of `text` between occurrences of `separator`, empty pieces
// dropped: two separators in a row count as one and a separator at either end
// adds nothing. The views point into `text`.
std::vector<std::string_view> SplitDropEmpty(std::string_view text, char separator);

// The pieces of `text` between occurrences of `separator`, empty ones kept
// (":80" gives "" and "80"); an empty text gives one empty piece.
std::vector<std::string_view> SplitKeepEmpty(std::string_view text, char separator);

// The lines of `text`: split at every carriage return and every line feed,
// empty lines dropped. `lineNumbers`, when given, receives the 1-based number
// of each kept line as an editor counts them (CR LF, a lone CR and a lone LF
// each end one line).
std::vector<std::string_view> SplitLines(std::string_view text, std::vector<size_t>* lineNumbers = nullptr);

// `text` without spaces, carriage returns, line feeds and tabs at both ends;
// letter case unchanged.
std::string_view TrimName(std::string_view text);

// TrimName, then the letters A to Z lower-cased (no other byte changes).
std::string NormaliseName(std::string_view text);

}  // namespace rules
