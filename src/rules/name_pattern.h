// Domain patterns: the regular expressions of the filter file's "][" names,
// and the bounds that keep matching one of them cheap.
//
// Every queried DNS name is classified against the patterns on a driver
// worker thread, so a pattern must never be able to stall that thread or
// exhaust its stack. A backtracking matcher cannot promise that (a pattern as
// small as ^(a|aa)+$ takes exponential time), so the patterns run on the
// standard library's breadth-first matcher: it walks the name once, keeping
// the set of pattern positions reached so far, and its recursion is bounded
// by the pattern's size, never by the name's length. Its work is at most
// (name length) x (pattern size). What it cannot run, and what would make
// that product large, is refused when the pattern is compiled:
//   - back-references (\1 to \9): they need backtracking;
//   - look-ahead assertions ((?= and (?!): each one re-scans the rest of the
//     name at every position, so one pass becomes a pass per character;
//   - a repetition count above kLargestRepeatCount: no name is longer, and a
//     longer digit run would overflow the library's own count reader;
//   - a pattern whose size, with every counted repetition written out
//     (x{3} counts as xxx), exceeds kLargestPatternSize elements;
//   - anything the matcher does not accept as an expression.
// Names longer than kLongestPatternSubject are never matched by a pattern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <string_view>

namespace rules {

// The text that marks a filter-file name as a pattern; the expression follows.
inline constexpr std::string_view kPatternPrefix = "][";

// The largest count allowed in {n}, {n,} and {n,m}.
inline constexpr uint32_t kLargestRepeatCount = 255;
// The most elements (characters, classes, assertions, groups and repetition
// steps) a pattern may hold once its counted repetitions are written out.
// At this size the worst pattern costs about 10 ms on a 255-character name
// and under 8 KiB of stack (optimised build; 21 KiB unoptimised with the
// address sanitizer); a typical pattern of twenty elements, a few
// microseconds.
inline constexpr size_t kLargestPatternSize = 256;
// A DNS name in text form is at most 253 characters; longer names are only
// ever matched exactly.
inline constexpr size_t kLongestPatternSubject = 255;

// One compiled pattern, case-insensitive. Immutable once made: any number of
// threads may match with it at once.
class NamePattern {
 public:
  // Compiles `expression` (the text after "]["). Null when it is refused;
  // then `problem`, when given, receives one sentence for a person saying
  // why. Never throws.
  static std::shared_ptr<const NamePattern> Compile(std::string_view expression,
                                                    std::string* problem = nullptr);

  // Whether the expression finds a match anywhere in `name` ("^" and "$"
  // still mean the start and end of the whole name). False for a name longer
  // than kLongestPatternSubject. Never throws; any thread.
  bool FoundIn(std::string_view name) const;

 private:
  explicit NamePattern(std::regex anywhere) : anywhere_(std::move(anywhere)) {}

  // [\s\S]*(?:expression)[\s\S]*, matched against the whole name (without
  // the filler on a side where the expression is anchored).
  std::regex anywhere_;
};

}  // namespace rules
