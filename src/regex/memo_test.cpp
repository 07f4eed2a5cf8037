// The memo (memo.h) only cuts paths that fail: with and without it every search finds the same
// match with the same captures; and it is what keeps hostile address lines fast.
#include <gtest/gtest.h>

#include <memory_resource>
#include <random>
#include <string>

#include "regex/matcher.h"
#include "regex/memo.h"
#include "regex/parser.h"
#include "regex/program.h"
#include "regex/regex_test_util.h"

namespace larkpost::regex_internal {
namespace {

struct Compiled {
  explicit Compiled(const std::string& pattern, int flags = 0) : tree(&arena), program(&arena) {
    ParsePattern(pattern.data(), static_cast<int>(pattern.size()), flags, &tree);
    BuildProgram(&tree, (flags & kRightToLeft) != 0, &program);
  }
  PatternMatch Match(std::string_view text, int start) const {
    MatchState state;
    if (program.right_to_left && (start < 0 || start > static_cast<int>(text.size()))) {
      start = static_cast<int>(text.size());
    }
    if (start < 0) start = 0;
    if (start > static_cast<int>(text.size())) return PatternMatch{};
    return Matcher::Search(program, tree, text, start, &state, /*memo_from_start=*/true);
  }
  std::pmr::monotonic_buffer_resource arena;
  ElementTree tree;
  Program program;
};

TEST(Memo, FindsWhatPlainBacktrackingFinds) {
  // Repeats of every kind around bodies that may or may not match empty, atomic groups and
  // look-arounds: everything the memo keys or logs.
  static const char* const kPieces[] = {
      "(", "(", "(?:", "(?=", "(?!", "(?<=", "(?<!", "(?>", ")", ")", ")", "|", "|", "*", "+",
      "?", "*?", "+?", "??", "*+", "++", "{2}", "{0,2}", "{1,3}", "{2,}", "{0,1}?", "a", "b",
      "ab", "a", "b", ".", "[ab]", "\\b", "^", "$", "x", "a*", "b?", "(a|)", "(|b)"};
  const int piece_count = static_cast<int>(sizeof kPieces / sizeof kPieces[0]);
  std::mt19937 rng(271828);
  auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
  int checked = 0, memoized = 0;
  for (int round = 0; round < 6000; ++round) {
    std::string pattern;
    for (int i = uniform(1, 10); i > 0; --i) pattern += kPieces[uniform(0, piece_count - 1)];
    const int flags = uniform(0, 3) == 0 ? kRightToLeft : 0;
    Compiled memo(pattern, flags), plain(pattern, flags);
    PlannedMemo(plain.program);
    plain.program.memo_rows = 0;  // planned once: the search cannot take a memo up
    if (PlannedMemo(memo.program).memo_rows > 0) ++memoized;
    for (int t = 0; t < 4; ++t) {
      std::string text;
      for (int i = uniform(0, 12); i > 0; --i) text.push_back("abx"[uniform(0, 2)]);
      const int start = uniform(-1, 2);
      ASSERT_EQ(memo.Match(text, start).values, plain.Match(text, start).values)
          << "pattern " << pattern << " text " << text << " start " << start << " flags " << flags;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 24000);
  EXPECT_GT(memoized, 3000);  // most of them took the memo
}

TEST(Memo, AddressPatternsAreMemoized) {
  auto memoized = [](const std::string& pattern) {
    Pattern p;
    p.Compile(pattern.data(), static_cast<int>(pattern.size()));
    return p.Memoized();
  };
  EXPECT_TRUE(memoized("\"((\\w|\\W)*)\" <((\\w|\\W)*)>"));
  EXPECT_TRUE(memoized("\"((\\w|\\W)*)\" <((\\w|\\W)*)> (\\d*)"));
  EXPECT_TRUE(memoized("(?>a|ab)*(?=c)(x{2,5}|y?)*"));
  // What reads captures, or recurses, keeps plain backtracking.
  EXPECT_FALSE(memoized("(a*)b*\\1"));
  EXPECT_FALSE(memoized("(a|b(?R))*"));
  EXPECT_FALSE(memoized("(a)?(?(1)b*|c*)"));
}

// A sender line of `" <` repeated: every quote may end the name and every `<` begin the address.
// Plain backtracking takes cubic time over it (hours at this length); the results must hold.
TEST(Memo, HostileAddressLines) {
  std::string line;
  while (line.size() < 300000) line += "\" <";
  const std::string sender = "\"((\\w|\\W)*)\" <((\\w|\\W)*)>";
  EXPECT_FALSE(testing::MatchOf(sender, line).Matched());
  PatternMatch m = testing::MatchOf(sender, line + ">");
  ASSERT_TRUE(m.Matched());
  const int end = static_cast<int>(line.size()) + 1;
  EXPECT_EQ(testing::Span(m, 0), "0-" + std::to_string(end));
  EXPECT_EQ(testing::Span(m, 1), "1-" + std::to_string(end - 4));  // up to the last `" <`
  EXPECT_EQ(testing::Span(m, 3), std::to_string(end - 1) + "-" + std::to_string(end - 1));
  EXPECT_TRUE(testing::MatchOf(sender + " (\\d*)", line + "> ").Matched());
  EXPECT_FALSE(testing::MatchOf(sender + " (\\d*)", line + ">").Matched());
}

}  // namespace
}  // namespace larkpost::regex_internal
