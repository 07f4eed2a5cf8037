// Behaviour of the extended constructs: options, boundaries, special groups, recursion,
// back-references, lazy and possessive repeats and right-to-left matching.
#include <gtest/gtest.h>

#include <source_location>
#include <string>
#include <vector>

#include "regex/pattern.h"
#include "regex/regex_test_util.h"

namespace larkpost {
namespace {

using testing::MatchOf;
using testing::SearchCase;
using testing::Span;

// Group 0 as "start-end", or "none".
std::string WhereIn(const PatternMatch& m, std::string_view) { return m.Matched() ? Span(m, 0) : "none"; }
std::string Where(const std::string& pattern, std::string_view text, int flags = 0, int start = -1) {
  return WhereIn(MatchOf(pattern, text, flags, start), text);
}
// Each case's expectation is group 0 as "start-end", or "none".
void ExpectWhere(const std::vector<SearchCase>& cases, std::source_location table = std::source_location::current()) {
  testing::ExpectEach(cases, WhereIn, table);
}

TEST(Options, IgnoreCase) {
  ExpectWhere({
      {"(?i)abc", "xABC", "1-4"},
      {"[a-c]", "B", "0-1", kIgnoreCase},
      {"[^a]", "A", "none", kIgnoreCase},
      {"ABC", "abc", "0-3", kIgnoreCase},
      {"a(?-i)b", "AB", "none", kIgnoreCase},
      {"a(?-i)b", "Ab", "0-2", kIgnoreCase},
  });
}

TEST(Options, ScopeIsTheRestOfTheEnclosingGroupIncludingLaterBranches) {
  ExpectWhere({
      {"(?:a(?i)b|c)", "C", "0-1"},
      {"(?:x|a(?i)b|c)", "C", "0-1"},
      {"(?:(?i)a)b", "AB", "none"},
      {"(?:(?i)a)b", "Ab", "0-2"},
      {"(?i:a)b", "AB", "none"},
      {"(?i:a)b", "Ab", "0-2"},
  });
  PatternMatch m = MatchOf("(?i:(a))(b)", "Ab");
  EXPECT_EQ(m.MaxGroup(), 2);  // the option group itself does not capture
  EXPECT_EQ(Span(m, 1), "0-1");
}

TEST(Options, SingleLineAndMultiLineSwitches) {
  ExpectWhere({
      {"a.b", "a\nb", "none"},
      {"(?s)a.b", "a\nb", "0-3"},
      {"a.b", "a\nb", "0-3", kSingleLine},
      {"(?m)^b", "a\nb", "2-3"},
      {"^b", "a\nb", "none"},
      {"(? m s)^.", "a\n\nb", "2-3", 0, 1},
  });
}

TEST(Boundaries, TextEnds) {
  ExpectWhere({
      {"a$", "a\n", "none"},
      {"a\\Z", "a\n", "0-1"},
      {"a\\Z", "a\r\n", "0-1"},
      {"a\\Z", "a\n\n", "none"},
      {"a\\z", "a\n", "none"},
      {"\\Aa", "aa", "none", 0, 1},
      {"^a", "ba", "none"},
  });
}

TEST(Boundaries, MultiLineLineEnds) {
  // "a\r\nb": line starts at 0 and 3, line ends at 1 and 4.
  std::string text = "a\r\nb";
  ExpectWhere({
      {"^", text, "3-3", kMultiLine, 1},
      {"$", text, "1-1", kMultiLine, 0},
      {"$", text, "4-4", kMultiLine, 2},
      {"^", "a\rb", "2-2", kMultiLine, 1},
      {"$", "a\nb", "1-1", kMultiLine},
  });
}

TEST(Boundaries, WordBoundaries) {
  ExpectWhere({
      {"\\bcat\\b", "concat cat", "7-10"},
      {"\\Bcat", "concat cat", "3-6"},
      {"\\b", "", "none"},
      {"\\B", "", "0-0"},
  });
}

TEST(Boundaries, SearchStartUnderGlobal) {
  ExpectWhere({
      {"\\Ga", "ba", "none", kGlobal},
      {"\\Ga", "ba", "1-2", kGlobal, 1},
      {"\\Ga", "ba", "1-2"},  // without the flag it tests nothing
      {"(?g)\\Ga", "ba", "none"},
  });
}

TEST(SpecialGroups, NonCapturingGroupsAreNotNumbered) {
  PatternMatch m = MatchOf("(?:a)(b)", "ab");
  EXPECT_EQ(m.MaxGroup(), 1);
  EXPECT_EQ(Span(m, 1), "1-2");
}

TEST(LookAround, AheadAndBehind) {
  ExpectWhere({
      {"a(?=b)", "acab", "2-3"},
      {"a(?!b)", "abac", "2-3"},
      {"(?<=b)a", "abca ba", "6-7"},
      {"(?<!b)a", "bacba", "none"},
      {"(?<!b)a", "ba a", "3-4"},
      {"(?<=a+|bcd)x", "bcdx", "3-4"},  // any length behind
      {"(?<=a\\w*)x", "zzaqqqx", "6-7"},
  });
}

TEST(LookAround, BehindAtTheTextStart) {
  ExpectWhere({
      {"(?<=a)b", "ab", "1-2"},
      {"(?<=a)a", "a", "none"},
      {"(?<!a)b", "b", "0-1"},
      {"(?<=^)a", "aa", "0-1"},
      {"(?<=\\A\\w*)b", "aab", "2-3"},
  });
}

TEST(LookAround, CapturesOfTheSurvivingPath) {
  PatternMatch m = MatchOf("(?=(\\w+))a", "abc");
  EXPECT_EQ(Span(m, 1), "0-3");  // a positive look-ahead reports its captures
  m = MatchOf("(?!(a)c)\\w+", "ac ab");
  EXPECT_EQ(Span(m, 0), "1-2");
  EXPECT_EQ(Span(m, 1), "-");  // the negative look-ahead's inside matched at 0, then was undone
  m = MatchOf("(?=(a))ac|(?=(a))ab", "ab");
  EXPECT_EQ(Span(m, 1), "-");
  EXPECT_EQ(Span(m, 2), "0-1");
}

TEST(Atomic, NeverReenteredByBacktracking) {
  ExpectWhere({
      {"(?>a+)a", "aaa", "none"},
      {"(?>a|ab)c", "abc", "none"},
      {"(?>ab|a)c", "abc", "0-3"},
      {"(?>a+)b", "aab", "0-3"},
  });
  PatternMatch m = MatchOf("(?>(a))b|(a)c", "ac");
  EXPECT_EQ(Span(m, 1), "-");  // undone with the path that made it
  EXPECT_EQ(Span(m, 2), "0-1");
}

TEST(Repetition, Lazy) {
  ExpectWhere({
      {"a+?", "aaa", "0-1"},
      {"<.+?>", "<a><b>", "0-3"},
      {"a{2,4}?", "aaaa", "0-2"},
      {"a{2,4}?b", "aaaab", "0-5"},
      {"(ab)*?c", "ababc", "0-5"},
      {"(a*)+?b", "aab", "0-3"},
      {"x??y", "xy", "0-2"},
  });
  PatternMatch m = MatchOf("(a|ab)*?b", "ab");
  EXPECT_EQ(Span(m, 0), "0-2");
  EXPECT_EQ(Span(m, 1), "0-1");
}

TEST(Repetition, Possessive) {
  ExpectWhere({
      {"a*+a", "aaa", "none"},
      {"a++b", "aab", "0-3"},
      {"(?:ab|a)++b", "abab", "none"},
      {"(?:a|ab)++b", "ab", "0-2"},
  });
  PatternMatch m = MatchOf("(a)*+b|(a)c", "ac");
  EXPECT_EQ(Span(m, 1), "-");
  EXPECT_EQ(Span(m, 2), "0-1");
}

TEST(NamedGroups, AllSpellingsNumberedAfterThePlainGroups) {
  PatternMatch m = MatchOf("(?<x>a)(b)(?'y'c)(?P<z>d)(e)", "abcde");
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(m.MaxGroup(), 5);
  EXPECT_EQ(Span(m, 1), "1-2");
  EXPECT_EQ(Span(m, 2), "4-5");
  EXPECT_EQ(Span(m, 3), "0-1");
  EXPECT_EQ(Span(m, 4), "2-3");
  EXPECT_EQ(Span(m, 5), "3-4");
}

TEST(NamedGroups, NumericNamesAndSharedNames) {
  PatternMatch m = MatchOf("(?<7>a)(b)(?<x>c)", "abc");
  EXPECT_EQ(m.MaxGroup(), 8);
  EXPECT_EQ(Span(m, 7), "0-1");
  EXPECT_EQ(Span(m, 1), "1-2");
  EXPECT_EQ(Span(m, 8), "2-3");
  m = MatchOf("(?<n>a)|(?<N>b)", "b");
  EXPECT_EQ(m.MaxGroup(), 1);
  EXPECT_EQ(Span(m, 1), "0-1");
}

TEST(BackReferences, ByNumberAndName) {
  ExpectWhere({
      {"(a|b)\\1", "abb", "1-3"},
      {"(?<n>a)\\k<N>", "aa", "0-2"},
      {"(?<n>a)\\k'n'\\g<n>\\g'n'", "aaaa", "0-4"},
      {"(a)\\k<1>", "aa", "0-2"},
      {"(a)\\k<nobody>|a", "aa", "0-1"},
      {"(a)?\\1", "b", "none"},
      {"(a)\\12", "aa2", "none"},  // group 12 does not exist
  });
  std::string many;
  for (int k = 0; k < 123; ++k) many += "(a)";
  EXPECT_EQ(Where(many + "\\1234", std::string(124, 'a') + "4"), "0-125");
}

TEST(BackReferences, CaseAndOpenGroups) {
  ExpectWhere({
      {"(?i)(a)\\1", "aA", "0-2"},
      {"(a)(?i:\\1)", "aA", "0-2"},
      {"(a)\\1", "aA", "none"},
      {"(a\\1)", "aa", "0-2"},  // an open group refers to its text so far
      {"ab\\k", "xabab", "1-5"},  // `\k` alone is group 0
  });
}

TEST(Conditionals, OnGroupsNamesAndLookArounds) {
  ExpectWhere({
      {"(a)?(?(1)b|c)", "ab", "0-2"},
      {"(a)?(?(1)b|c)", "c", "0-1"},
      {"(a)?(?(1)b|c)", "ac", "1-2"},
      {"(?<q>\")?\\w+(?(q)\")", "\"ab\"", "0-4"},
      {"(?<q>\")?\\w+(?(q)\")", "ab\"", "0-2"},
      {"(?(?=\\d)\\d+|[a-z]+)", "12ab", "0-2"},
      {"(?(?=\\d)\\d+|[a-z]+)", "ab12", "0-2"},
      {"(?(?!\\d)[a-z]+|\\d\\d)", "1x", "1-2"},
      {"(?(ab)..|x)", "abx", "0-2"},  // other text is a look-ahead
      {"(?(ab)..|x)", "ax", "1-2"},
  });
}

TEST(Conditionals, MissingBranchesAreEmpty) {
  ExpectWhere({
      {"(a)?(?(1)b)c", "c", "0-1"},
      {"(a)?(?(1)b)c", "abc", "0-3"},
      {"(a)?(?(1)b)c", "ac", "1-2"},
      {"(a)?(?(1)|x|y)z", "yz", "0-2"},  // further `|` belong to the no-branch
      {"(a)?(?(1)|x|y)z", "az", "0-2"},
  });
}

TEST(Recursion, WholePatternAndGroups) {
  ExpectWhere({
      {"\\((?:[^()]|(?R))*\\)", "x(a(b)(c(d)))y", "1-13"},
      {"(a(?1)?b)", "aaabbb", "0-6"},
      {"(a(?1)?b)", "aaabb", "1-5"},
      {"(?<p>a(?R<p>)?b)", "aabb", "0-4"},
      {"(?<p>a(?R'p')?b)", "aabb", "0-4"},
      {"(?R1)(a)", "aa", "0-2"},
      {"x(?9)y", "xy", "0-2"},  // no such group: the empty string
  });
  PatternMatch m = MatchOf("(a)*(?1)", "aab");
  EXPECT_EQ(Span(m, 0), "0-2");
  EXPECT_EQ(Span(m, 1), "1-2");  // the recursion's own record of the group
  m = MatchOf("(a){0}(?1)", "xa");  // a group repeated no times can still be recursed into
  EXPECT_EQ(Span(m, 0), "1-2");
  EXPECT_EQ(Where("(?:(a)|b)*+(?1)", "abba"), "none");
}

TEST(Recursion, CapturesStayWithTheOutermostRecord) {
  PatternMatch m = MatchOf("(a(?1)?b)", "aabb");
  EXPECT_EQ(Span(m, 1), "0-4");
  m = MatchOf("(\\w)(?:(?R)|x)", "abx");  // a closed group gets a new record inside a recursion
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(Span(m, 0), "0-3");
  EXPECT_EQ(Span(m, 1), "1-2");
}

TEST(Recursion, WithoutProgressFailsThatPath) {
  ExpectWhere({
      {"(?R)", "abc", "none"},
      {"(?R)|a", "ba", "1-2"},
      {"a|(?R)b", "b", "none"},
      {"(?R)*a", "ba", "1-2"},
      {"((?2))((?1))|c", "c", "0-1"},
  });
}

TEST(RightToLeft, SearchOrderAndStart) {
  ExpectWhere({
      {"a", "aXa", "2-3", kRightToLeft},
      {"a", "aXa", "0-1", kRightToLeft, 2},
      {"a", "aXa", "2-3", kRightToLeft, 99},
      {"", "abc", "3-3", kRightToLeft},
      {"abc", "abcxabcx", "4-7", kRightToLeft},
      {"\\w+", "ab cd", "3-5", kRightToLeft},
      {"\\w+?", "ab cd", "4-5", kRightToLeft},
      {"^a", "aa", "0-1", kRightToLeft},
      {"(?i)B", "bb", "1-2", kRightToLeft},
  });
}

TEST(RightToLeft, CapturePositions) {
  PatternMatch m = MatchOf("(\\w)(\\w)", "abc", kRightToLeft);
  EXPECT_EQ(Span(m, 0), "1-3");
  EXPECT_EQ(Span(m, 1), "1-2");
  EXPECT_EQ(Span(m, 2), "2-3");
  m = MatchOf("(a+)(a+)", "aaaa", kRightToLeft);  // the later element runs first and is greedy
  EXPECT_EQ(Span(m, 1), "0-1");
  EXPECT_EQ(Span(m, 2), "1-4");
  m = MatchOf("(?:(\\w),)*", "a,b,", kRightToLeft);
  EXPECT_EQ(Span(m, 1), "0-1");  // the last iteration run is the leftmost one
  EXPECT_EQ(Where("\\1(a)", "xaa", kRightToLeft), "1-3");
}

TEST(RightToLeft, WhiteSpaceIncludesFormFeed) {
  EXPECT_EQ(Where("\\s", "a\fb", kRightToLeft), "1-2");
  EXPECT_EQ(Where("\\s", "a\fb"), "none");
}

TEST(RightToLeft, LookAheadStillRunsForward) {
  EXPECT_EQ(Where("a(?=bc)", "abcab", kRightToLeft), "0-1");
  EXPECT_EQ(Where("(?<=x)a", "xaya", kRightToLeft), "1-2");
}

}  // namespace
}  // namespace larkpost
