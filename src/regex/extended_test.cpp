// Behaviour of the extended constructs: options, boundaries, special groups, recursion,
// back-references, lazy and possessive repeats and right-to-left matching.
#include <gtest/gtest.h>

#include <string>

#include "regex/pattern.h"
#include "regex/regex_test_util.h"

namespace larkpost {
namespace {

using testing::MatchOf;
using testing::Span;

// Group 0 as "start-end", or "none".
std::string Where(const std::string& pattern, std::string_view text, int flags = 0, int start = -1) {
  PatternMatch m = MatchOf(pattern, text, flags, start);
  return m.Matched() ? Span(m, 0) : "none";
}

TEST(Options, IgnoreCase) {
  EXPECT_EQ(Where("(?i)abc", "xABC"), "1-4");
  EXPECT_EQ(Where("[a-c]", "B", kIgnoreCase), "0-1");
  EXPECT_EQ(Where("[^a]", "A", kIgnoreCase), "none");
  EXPECT_EQ(Where("ABC", "abc", kIgnoreCase), "0-3");
  EXPECT_EQ(Where("a(?-i)b", "AB", kIgnoreCase), "none");
  EXPECT_EQ(Where("a(?-i)b", "Ab", kIgnoreCase), "0-2");
}

TEST(Options, ScopeIsTheRestOfTheEnclosingGroupIncludingLaterBranches) {
  EXPECT_EQ(Where("(?:a(?i)b|c)", "C"), "0-1");
  EXPECT_EQ(Where("(?:x|a(?i)b|c)", "C"), "0-1");
  EXPECT_EQ(Where("(?:(?i)a)b", "AB"), "none");
  EXPECT_EQ(Where("(?:(?i)a)b", "Ab"), "0-2");
  EXPECT_EQ(Where("(?i:a)b", "AB"), "none");
  EXPECT_EQ(Where("(?i:a)b", "Ab"), "0-2");
  PatternMatch m = MatchOf("(?i:(a))(b)", "Ab");
  EXPECT_EQ(m.MaxGroup(), 2);  // the option group itself does not capture
  EXPECT_EQ(Span(m, 1), "0-1");
}

TEST(Options, SingleLineAndMultiLineSwitches) {
  EXPECT_EQ(Where("a.b", "a\nb"), "none");
  EXPECT_EQ(Where("(?s)a.b", "a\nb"), "0-3");
  EXPECT_EQ(Where("a.b", "a\nb", kSingleLine), "0-3");
  EXPECT_EQ(Where("(?m)^b", "a\nb"), "2-3");
  EXPECT_EQ(Where("^b", "a\nb"), "none");
  EXPECT_EQ(Where("(? m s)^.", "a\n\nb", 0, 1), "2-3");
}

TEST(Boundaries, TextEnds) {
  EXPECT_EQ(Where("a$", "a\n"), "none");
  EXPECT_EQ(Where("a\\Z", "a\n"), "0-1");
  EXPECT_EQ(Where("a\\Z", "a\r\n"), "0-1");
  EXPECT_EQ(Where("a\\Z", "a\n\n"), "none");
  EXPECT_EQ(Where("a\\z", "a\n"), "none");
  EXPECT_EQ(Where("\\Aa", "aa", 0, 1), "none");
  EXPECT_EQ(Where("^a", "ba"), "none");
}

TEST(Boundaries, MultiLineLineEnds) {
  // "a\r\nb": line starts at 0 and 3, line ends at 1 and 4.
  std::string text = "a\r\nb";
  EXPECT_EQ(Where("^", text, kMultiLine, 1), "3-3");
  EXPECT_EQ(Where("$", text, kMultiLine, 0), "1-1");
  EXPECT_EQ(Where("$", text, kMultiLine, 2), "4-4");
  EXPECT_EQ(Where("^", "a\rb", kMultiLine, 1), "2-2");
  EXPECT_EQ(Where("$", "a\nb", kMultiLine), "1-1");
}

TEST(Boundaries, WordBoundaries) {
  EXPECT_EQ(Where("\\bcat\\b", "concat cat"), "7-10");
  EXPECT_EQ(Where("\\Bcat", "concat cat"), "3-6");
  EXPECT_EQ(Where("\\b", ""), "none");
  EXPECT_EQ(Where("\\B", ""), "0-0");
}

TEST(Boundaries, SearchStartUnderGlobal) {
  EXPECT_EQ(Where("\\Ga", "ba", kGlobal), "none");
  EXPECT_EQ(Where("\\Ga", "ba", kGlobal, 1), "1-2");
  EXPECT_EQ(Where("\\Ga", "ba"), "1-2");  // without the flag it tests nothing
  EXPECT_EQ(Where("(?g)\\Ga", "ba"), "none");
}

TEST(SpecialGroups, NonCapturingGroupsAreNotNumbered) {
  PatternMatch m = MatchOf("(?:a)(b)", "ab");
  EXPECT_EQ(m.MaxGroup(), 1);
  EXPECT_EQ(Span(m, 1), "1-2");
}

TEST(LookAround, AheadAndBehind) {
  EXPECT_EQ(Where("a(?=b)", "acab"), "2-3");
  EXPECT_EQ(Where("a(?!b)", "abac"), "2-3");
  EXPECT_EQ(Where("(?<=b)a", "abca ba"), "6-7");
  EXPECT_EQ(Where("(?<!b)a", "bacba"), "none");
  EXPECT_EQ(Where("(?<!b)a", "ba a"), "3-4");
  EXPECT_EQ(Where("(?<=a+|bcd)x", "bcdx"), "3-4");  // any length behind
  EXPECT_EQ(Where("(?<=a\\w*)x", "zzaqqqx"), "6-7");
}

TEST(LookAround, BehindAtTheTextStart) {
  EXPECT_EQ(Where("(?<=a)b", "ab"), "1-2");
  EXPECT_EQ(Where("(?<=a)a", "a"), "none");
  EXPECT_EQ(Where("(?<!a)b", "b"), "0-1");
  EXPECT_EQ(Where("(?<=^)a", "aa"), "0-1");
  EXPECT_EQ(Where("(?<=\\A\\w*)b", "aab"), "2-3");
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
  EXPECT_EQ(Where("(?>a+)a", "aaa"), "none");
  EXPECT_EQ(Where("(?>a|ab)c", "abc"), "none");
  EXPECT_EQ(Where("(?>ab|a)c", "abc"), "0-3");
  EXPECT_EQ(Where("(?>a+)b", "aab"), "0-3");
  PatternMatch m = MatchOf("(?>(a))b|(a)c", "ac");
  EXPECT_EQ(Span(m, 1), "-");  // undone with the path that made it
  EXPECT_EQ(Span(m, 2), "0-1");
}

TEST(Repetition, Lazy) {
  EXPECT_EQ(Where("a+?", "aaa"), "0-1");
  EXPECT_EQ(Where("<.+?>", "<a><b>"), "0-3");
  EXPECT_EQ(Where("a{2,4}?", "aaaa"), "0-2");
  EXPECT_EQ(Where("a{2,4}?b", "aaaab"), "0-5");
  EXPECT_EQ(Where("(ab)*?c", "ababc"), "0-5");
  PatternMatch m = MatchOf("(a|ab)*?b", "ab");
  EXPECT_EQ(Span(m, 0), "0-2");
  EXPECT_EQ(Span(m, 1), "0-1");
  EXPECT_EQ(Where("(a*)+?b", "aab"), "0-3");
  EXPECT_EQ(Where("x??y", "xy"), "0-2");
}

TEST(Repetition, Possessive) {
  EXPECT_EQ(Where("a*+a", "aaa"), "none");
  EXPECT_EQ(Where("a++b", "aab"), "0-3");
  EXPECT_EQ(Where("(?:ab|a)++b", "abab"), "none");
  EXPECT_EQ(Where("(?:a|ab)++b", "ab"), "0-2");
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
  EXPECT_EQ(Where("(a|b)\\1", "abb"), "1-3");
  EXPECT_EQ(Where("(?<n>a)\\k<N>", "aa"), "0-2");
  EXPECT_EQ(Where("(?<n>a)\\k'n'\\g<n>\\g'n'", "aaaa"), "0-4");
  EXPECT_EQ(Where("(a)\\k<1>", "aa"), "0-2");
  EXPECT_EQ(Where("(a)\\k<nobody>|a", "aa"), "0-1");
  EXPECT_EQ(Where("(a)?\\1", "b"), "none");
  EXPECT_EQ(Where("(a)\\12", "aa2"), "none");  // group 12 does not exist
  std::string many;
  for (int k = 0; k < 123; ++k) many += "(a)";
  EXPECT_EQ(Where(many + "\\1234", std::string(124, 'a') + "4"), "0-125");
}

TEST(BackReferences, CaseAndOpenGroups) {
  EXPECT_EQ(Where("(?i)(a)\\1", "aA"), "0-2");
  EXPECT_EQ(Where("(a)(?i:\\1)", "aA"), "0-2");
  EXPECT_EQ(Where("(a)\\1", "aA"), "none");
  EXPECT_EQ(Where("(a\\1)", "aa"), "0-2");  // an open group refers to its text so far
  EXPECT_EQ(Where("ab\\k", "xabab"), "1-5");  // `\k` alone is group 0
}

TEST(Conditionals, OnGroupsNamesAndLookArounds) {
  EXPECT_EQ(Where("(a)?(?(1)b|c)", "ab"), "0-2");
  EXPECT_EQ(Where("(a)?(?(1)b|c)", "c"), "0-1");
  EXPECT_EQ(Where("(a)?(?(1)b|c)", "ac"), "1-2");
  EXPECT_EQ(Where("(?<q>\")?\\w+(?(q)\")", "\"ab\""), "0-4");
  EXPECT_EQ(Where("(?<q>\")?\\w+(?(q)\")", "ab\""), "0-2");
  EXPECT_EQ(Where("(?(?=\\d)\\d+|[a-z]+)", "12ab"), "0-2");
  EXPECT_EQ(Where("(?(?=\\d)\\d+|[a-z]+)", "ab12"), "0-2");
  EXPECT_EQ(Where("(?(?!\\d)[a-z]+|\\d\\d)", "1x"), "1-2");
  EXPECT_EQ(Where("(?(ab)..|x)", "abx"), "0-2");  // other text is a look-ahead
  EXPECT_EQ(Where("(?(ab)..|x)", "ax"), "1-2");
}

TEST(Conditionals, MissingBranchesAreEmpty) {
  EXPECT_EQ(Where("(a)?(?(1)b)c", "c"), "0-1");
  EXPECT_EQ(Where("(a)?(?(1)b)c", "abc"), "0-3");
  EXPECT_EQ(Where("(a)?(?(1)b)c", "ac"), "1-2");
  EXPECT_EQ(Where("(a)?(?(1)|x|y)z", "yz"), "0-2");  // further `|` belong to the no-branch
  EXPECT_EQ(Where("(a)?(?(1)|x|y)z", "az"), "0-2");
}

TEST(Recursion, WholePatternAndGroups) {
  EXPECT_EQ(Where("\\((?:[^()]|(?R))*\\)", "x(a(b)(c(d)))y"), "1-13");
  EXPECT_EQ(Where("(a(?1)?b)", "aaabbb"), "0-6");
  EXPECT_EQ(Where("(a(?1)?b)", "aaabb"), "1-5");
  EXPECT_EQ(Where("(?<p>a(?R<p>)?b)", "aabb"), "0-4");
  EXPECT_EQ(Where("(?<p>a(?R'p')?b)", "aabb"), "0-4");
  EXPECT_EQ(Where("(?R1)(a)", "aa"), "0-2");
  EXPECT_EQ(Where("x(?9)y", "xy"), "0-2");  // no such group: the empty string
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
  EXPECT_EQ(Where("(?R)", "abc"), "none");
  EXPECT_EQ(Where("(?R)|a", "ba"), "1-2");
  EXPECT_EQ(Where("a|(?R)b", "b"), "none");
  EXPECT_EQ(Where("(?R)*a", "ba"), "1-2");
  EXPECT_EQ(Where("((?2))((?1))|c", "c"), "0-1");
}

TEST(RightToLeft, SearchOrderAndStart) {
  EXPECT_EQ(Where("a", "aXa", kRightToLeft), "2-3");
  EXPECT_EQ(Where("a", "aXa", kRightToLeft, 2), "0-1");
  EXPECT_EQ(Where("a", "aXa", kRightToLeft, 99), "2-3");
  EXPECT_EQ(Where("", "abc", kRightToLeft), "3-3");
  EXPECT_EQ(Where("abc", "abcxabcx", kRightToLeft), "4-7");
  EXPECT_EQ(Where("\\w+", "ab cd", kRightToLeft), "3-5");
  EXPECT_EQ(Where("\\w+?", "ab cd", kRightToLeft), "4-5");
  EXPECT_EQ(Where("^a", "aa", kRightToLeft), "0-1");
  EXPECT_EQ(Where("(?i)B", "bb", kRightToLeft), "1-2");
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
