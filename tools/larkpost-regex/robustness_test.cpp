// Any pattern text compiles, and any match returns a well-formed result: random soups of the
// syntax's pieces, broken and unbalanced ones included, under every flag combination.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "regex/pattern.h"

namespace larkpost {
namespace {

// The empty list, or [1, max, start0, end0, ...] with every group either unset (-1, -1) or
// inside the text with start <= end.
std::string Malformation(const PatternMatch& match, int text_length) {
  if (match.values.empty()) return "";
  if (match.values[0] != 1) return "element 0 is not 1";
  int max = match.MaxGroup();
  if (max < 0 || match.values.size() != 2 + 2 * static_cast<size_t>(max + 1)) {
    return "size does not fit the largest group number";
  }
  if (match.GroupStart(0) < 0) return "group 0 is unset";
  for (int g = 0; g <= max; ++g) {
    int start = match.GroupStart(g);
    int end = match.GroupEnd(g);
    if (start == -1 && end == -1) continue;
    if (start < 0 || end < start || end > text_length) {
      return "group " + std::to_string(g) + " is out of order or outside the text";
    }
  }
  return "";
}

TEST(AnyPatternText, CompilesAndMatchesWithAWellFormedResult) {
  static const char* const kPieces[] = {
      "(", ")", "(?", "(?:", "(?=", "(?!", "(?<=", "(?<!", "(?>", "(?<n>", "(?'n'", "(?P<n>",
      "(?<12>", "(?(", "(?(1)", "(?(n)", "(?(?=a)", "(?R)", "(?1)", "(?2)", "(?R<n>)", "(?i)",
      "(?-m)", "(?s:", "(?g)", "(?#", "[", "]", "[^", "[:", ":]", "[:alpha:]", "-", "^", "$",
      "|", "*", "+", "?", "*?", "++", "{", "}", "{2}", "{1,}", "{0,2}", "{,3}", "{1000}", "{3,1}",
      "\\", "\\1", "\\2", "\\123", "\\k<n>", "\\k'N'", "\\k", "\\g<1>", "\\x", "\\x4", "\\x{",
      "\\x{263A}", "\\u", "\\u12", "\\Q", "\\E", "\\L", "\\U", "\\b", "\\B", "\\A", "\\Z", "\\z",
      "\\G", "\\d", "\\w", "\\s", "\\W", ".", "a", "b", "A", "#", " ", "\n", "\r", "\x80", "\xff",
      "'", ">", "<", "n", "1", "0", ",", "=", "!"};
  const int piece_count = static_cast<int>(sizeof kPieces / sizeof kPieces[0]);
  std::mt19937 rng(314159);
  auto uniform = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
  };
  Pattern reused;
  MatchState state;
  int failures = 0;
  for (int round = 0; round < 40000 && failures < 10; ++round) {
    std::string pattern;
    int pieces = uniform(0, 16);
    for (int i = 0; i < pieces; ++i) pattern += kPieces[uniform(0, piece_count - 1)];
    if (uniform(0, 9) == 0) pattern.push_back('\0');
    int flags = uniform(0, 0x3F);
    reused.Compile(pattern.data(), static_cast<int>(pattern.size()), flags);
    for (int t = 0; t < 3; ++t) {
      std::string text;
      int length = uniform(0, 8);
      for (int i = 0; i < length; ++i) text.push_back("ab A\n\r1\xff"[uniform(0, 7)]);
      int start = uniform(-1, length + 2);
      PatternMatch match = reused.Match(std::string_view(text), start, &state);
      std::string problem = Malformation(match, length);
      if (!problem.empty()) {
        ++failures;
        ADD_FAILURE() << problem << ": pattern \"" << pattern << "\" flags " << flags
                      << " text \"" << text << "\" start " << start;
      }
    }
  }
}

// No pattern text at all: every match is the empty result.
TEST(AnyPatternText, MissingPatternNeverMatches) {
  Pattern pattern;
  pattern.Compile(nullptr, 0, 0);
  EXPECT_FALSE(pattern.HasRoot());
  EXPECT_TRUE(pattern.Match("abc").values.empty());
  EXPECT_TRUE(pattern.Match("").values.empty());
  Pattern never_compiled;
  EXPECT_TRUE(never_compiled.Match("abc").values.empty());
}

}  // namespace
}  // namespace larkpost
