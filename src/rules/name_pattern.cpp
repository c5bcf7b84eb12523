#include "rules/name_pattern.h"

#include <algorithm>
#include <vector>

// The breadth-first matcher is selected by a flag of GNU libstdc++, the
// standard library of every build of the engine (GCC and Clang on Linux,
// MinGW for Windows). Another library would silently run the backtracking
// matcher, so it is refused here instead.
#if !defined(__GLIBCXX__)
#error "domain patterns need libstdc++'s breadth-first regex matcher (regex_constants::__polynomial)"
#endif

namespace rules {
namespace {

constexpr std::regex::flag_type kFlags =
    std::regex::ECMAScript | std::regex::icase | std::regex::nosubs | std::regex_constants::__polynomial;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Walks the expression once, as the matcher's compiler will, and checks the
// bounds listed in the header. The size is an estimate of the compiled
// states: each character, class, escape and assertion counts 1, a group its
// contents plus 2, a repetition step 1, and a counted repetition writes out
// its operand as the compiler does (x{2,4} is xx followed by two optional
// x). Only the bounds are judged here; whether the text is a well-formed
// expression is left to the compiler.
std::string screen(std::string_view p) {
  struct Group {
    size_t size = 0;  // elements so far
    size_t last = 0;  // elements of the last operand, 0 when none can be repeated
  };
  std::vector<Group> groups(1);
  auto operand = [&](size_t n) {
    groups.back().size += n;
    groups.back().last = n;
  };
  // The last operand becomes `copies` copies of itself plus `steps`
  // repetition steps; a further quantifier repeats all of that again
  // (x{9}{9} is 81 copies of x).
  auto repeat = [&](size_t copies, size_t steps) {
    Group& g = groups.back();
    const size_t repeated = g.last * copies + steps;
    g.size += repeated - g.last;
    g.last = repeated;
  };
  auto tooLarge = [&] {
    return "it is too large: more than " + std::to_string(kLargestPatternSize) +
           " elements once its counted repetitions are written out";
  };
  for (size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    switch (c) {
      case '\\': {
        if (i + 1 < p.size() && p[i + 1] >= '1' && p[i + 1] <= '9')
          return "back-references (\\1 to \\9) are not supported";
        // \xHH, \uHHHH and \cX are one character each.
        const char kind = i + 1 < p.size() ? p[i + 1] : '\0';
        i += kind == 'x' ? 3 : kind == 'u' ? 5 : kind == 'c' ? 2 : 1;
        operand(1);
        break;
      }
      case '[': {
        // A class ends at the first ']' that is not escaped; it is one element.
        size_t j = i + 1;
        for (; j < p.size() && p[j] != ']'; ++j) {
          if (p[j] != '\\') continue;
          if (j + 1 < p.size() && p[j + 1] >= '1' && p[j + 1] <= '9')
            return "back-references (\\1 to \\9) are not supported";
          ++j;
        }
        i = j;
        operand(1);
        break;
      }
      case '(':
        if (p.substr(i, 3) == "(?=" || p.substr(i, 3) == "(?!")
          return "look-ahead assertions ((?= and (?!) are not supported";
        if (p.substr(i, 3) == "(?:") i += 2;
        groups.emplace_back();
        break;
      case ')': {
        if (groups.size() == 1) break;  // the compiler reports the stray ')'
        size_t inner = groups.back().size + 2;
        groups.pop_back();
        operand(inner);
        break;
      }
      case '|':
        groups.back().size += 1;
        groups.back().last = 0;
        break;
      case '*':
      case '?':
      case '+':
        // x* and x? add one repetition step; x+ is compiled as x x*.
        repeat(c == '+' ? 2 : 1, 1);
        if (i + 1 < p.size() && p[i + 1] == '?') ++i;  // lazy form
        break;
      case '{': {
        // {n}, {n,} or {n,m}. Every digit run is judged before the compiler
        // reads it: its own reader has no overflow check.
        uint32_t low = 0;
        uint32_t high = 0;
        bool hasLow = false;
        bool comma = false;
        bool hasHigh = false;
        size_t j = i + 1;
        for (; j < p.size() && p[j] != '}'; ++j) {
          if (p[j] == ',' && hasLow && !comma) {
            comma = true;
            continue;
          }
          if (!isDigit(p[j])) break;
          uint32_t& count = comma ? high : low;
          (comma ? hasHigh : hasLow) = true;
          count = count * 10 + static_cast<uint32_t>(p[j] - '0');
          if (count > kLargestRepeatCount)
            return "a repetition count is above " + std::to_string(kLargestRepeatCount);
        }
        if (j >= p.size() || p[j] != '}' || !hasLow) {
          operand(1);  // not a count; the compiler decides
          break;
        }
        i = j;
        // {n} is n copies; {n,m} n copies and m-n optional ones, each with a
        // step; {n,} n copies and one x*.
        if (hasHigh)
          repeat(std::max(high, low), high > low ? high - low : 0);
        else if (comma)
          repeat(size_t{low} + 1, 1);
        else
          repeat(std::max<size_t>(low, 1), 0);
        if (i + 1 < p.size() && p[i + 1] == '?') ++i;
        break;
      }
      default:
        operand(1);
        break;
    }
    if (groups.back().size > kLargestPatternSize) return tooLarge();
  }
  // Unclosed groups are left to the compiler; their contents still count.
  size_t total = 0;
  for (const Group& g : groups) total += g.size + 2;
  if (total - 2 > kLargestPatternSize) return tooLarge();
  return {};
}

}  // namespace

std::shared_ptr<const NamePattern> NamePattern::Compile(std::string_view expression, std::string* problem) {
  std::string why;
  try {
    why = screen(expression);
    if (why.empty()) {
      // The expression is compiled alone first: only an expression that
      // stands on its own may be wrapped, so that no ')' or '|' of it can
      // reach out of the group around it.
      std::regex alone(expression.begin(), expression.end(), kFlags);
      // An expression anchored at an end needs no filler on that side;
      // without the filler the matcher's set of live positions empties as
      // soon as the name stops fitting. With an alternation anywhere the
      // anchor might belong to one branch only, so the filler stays.
      const bool oneBranch = !expression.empty() && expression.find('|') == std::string_view::npos;
      const bool atStart = oneBranch && expression.front() == '^';
      size_t slashes = 0;
      while (slashes + 1 < expression.size() && expression[expression.size() - 2 - slashes] == '\\')
        ++slashes;
      const bool atEnd = oneBranch && expression.back() == '$' && slashes % 2 == 0;
      std::string anywhere = atStart ? "(?:" : "[\\s\\S]*(?:";
      anywhere.append(expression);
      anywhere += atEnd ? ")" : ")[\\s\\S]*";
      return std::shared_ptr<const NamePattern>(new NamePattern(std::regex(anywhere, kFlags)));
    }
  } catch (const std::regex_error& error) {
    why = std::string("it is not a valid expression (") + error.what() + ")";
  } catch (const std::exception&) {
    why = "there was no memory to compile it";
  }
  if (problem != nullptr) problem->swap(why);
  return nullptr;
}

bool NamePattern::FoundIn(std::string_view name) const {
  if (name.size() > kLongestPatternSubject) return false;
  try {
    return std::regex_match(name.begin(), name.end(), anywhere_);
  } catch (const std::exception&) {
    return false;  // the matcher ran out of memory: no match
  }
}

}  // namespace rules
