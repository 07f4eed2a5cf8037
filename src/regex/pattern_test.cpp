// Behaviour of the matcher's core: tokens, grammar, classes, groups, search and backtracking.
#include "regex/pattern.h"
#include "regex/regex_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <source_location>
#include <string>
#include <thread>
#include <vector>

namespace larkpost {
namespace {

using testing::MatchOf;
using testing::SearchCase;
using testing::Span;

// The text group 0 matched, or "<none>".
std::string FoundText(const PatternMatch& m, std::string_view text) {
  if (!m.Matched()) return "<none>";
  return std::string(text.substr(static_cast<size_t>(m.GroupStart(0)),
                                 static_cast<size_t>(m.GroupEnd(0) - m.GroupStart(0))));
}
std::string Found(const std::string& pattern, std::string_view text, int flags = 0) {
  return FoundText(MatchOf(pattern, text, flags), text);
}
// Each case's expectation is the text group 0 matched, or "<none>".
void ExpectFound(const std::vector<SearchCase>& cases, std::source_location table = std::source_location::current()) {
  testing::ExpectEach(cases, FoundText, table);
}

const char kSender[] = "\"((\\w|\\W)*)\" <((\\w|\\W)*)>";
const char kRecipient[] = "\"((\\w|\\W)*)\" <((\\w|\\W)*)> (\\d*)";

TEST(AddressPatterns, SenderGroupsAndLayout) {
  PatternMatch m = MatchOf(kSender, "\"Ann\" <123>");
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(m.values.size(), 12u);
  EXPECT_EQ(m.MaxGroup(), 4);
  EXPECT_EQ(Span(m, 0), "0-11");
  EXPECT_EQ(Span(m, 1), "1-4");
  EXPECT_EQ(Span(m, 2), "3-4");
  EXPECT_EQ(Span(m, 3), "7-10");
  EXPECT_EQ(Span(m, 4), "9-10");
}

TEST(AddressPatterns, EmptyNameAndAddressLeaveInnerGroupsUnset) {
  PatternMatch m = MatchOf(kSender, "\"\" <>");
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(Span(m, 1), "1-1");
  EXPECT_EQ(Span(m, 2), "-");
  EXPECT_EQ(Span(m, 3), "4-4");
  EXPECT_EQ(Span(m, 4), "-");
}

TEST(AddressPatterns, GreedyGroupsRunToTheLastSeparators) {
  std::string text = "x \"A\" <1> and \"B\" <2> tail";
  PatternMatch m = MatchOf(kSender, text);
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(m.GroupStart(0), 2);  // the first double quote
  EXPECT_EQ(text.substr(1 + 1 + 1, static_cast<size_t>(m.GroupEnd(1) - m.GroupStart(1))), "A\" <1> and \"B");
  EXPECT_EQ(text.substr(static_cast<size_t>(m.GroupStart(3)), static_cast<size_t>(m.GroupEnd(3) - m.GroupStart(3))),
            "2");
  EXPECT_EQ(m.GroupEnd(0), static_cast<int>(text.find("> tail")) + 1);
}

TEST(AddressPatterns, RecipientType) {
  PatternMatch m = MatchOf(kRecipient, "\"Bob\" <+441632960123> 2");
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(m.MaxGroup(), 5);
  EXPECT_EQ(Span(m, 5), "22-23");
  EXPECT_EQ(Span(MatchOf(kRecipient, "\"Bob\" <1> "), 5), "10-10");
  EXPECT_FALSE(MatchOf(kRecipient, "\"Bob\" <1>").Matched());
  EXPECT_FALSE(MatchOf(kSender, "\"Bob\"<1>").Matched());
}

TEST(Compile, MissingPatternHasNoRootAndNeverMatches) {
  Pattern p;
  p.Compile(nullptr, 0, 0);
  EXPECT_FALSE(p.HasRoot());
  EXPECT_TRUE(p.Match("abc").values.empty());
  p.Compile("b", 1, 0);
  EXPECT_TRUE(p.HasRoot());
  EXPECT_EQ(p.Match("abc").GroupStart(0), 1);
  p.Compile("(c)", 3, 0);  // recompiling replaces the old tree
  EXPECT_EQ(p.Match("abc").MaxGroup(), 1);
  p.Compile(nullptr, 0, 0);
  EXPECT_FALSE(p.HasRoot());
}

TEST(Compile, LengthLimitsThePatternText) {
  Pattern p;
  p.Compile("abXYZ", 2, 0);
  EXPECT_TRUE(p.Match("xxab").Matched());
  EXPECT_FALSE(p.Match("xxa").Matched());
}

TEST(Search, EmptyPatternAndEmptyMatches) {
  PatternMatch m = MatchOf("", "abc");
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(Span(m, 0), "0-0");
  EXPECT_EQ(m.values.size(), 4u);
  EXPECT_EQ(Span(MatchOf("x*", "abc"), 0), "0-0");
}

TEST(Search, StartPositions) {
  EXPECT_EQ(Span(MatchOf("a", "aXa", 0, 1), 0), "2-3");
  EXPECT_EQ(Span(MatchOf("", "abc", 0, 3), 0), "3-3");
  EXPECT_TRUE(MatchOf("", "abc", 0, 4).values.empty());
  EXPECT_FALSE(MatchOf("b", "abc").values.empty());
  EXPECT_TRUE(MatchOf("z", "abc").values.empty());
}

TEST(Search, FirstStartPositionWinsNotTheLongestMatch) {
  ExpectFound({
      {"a|ab", "xab", "a"},
      {"ab|a", "xab", "ab"},
      {"b+", "abbb", "bbb"},
  });
}

TEST(Search, ReusedMatchStateOnlyLendsStorage) {
  Pattern p;
  p.Compile(kSender, static_cast<int>(std::strlen(kSender)), 0);
  MatchState state;
  PatternMatch first = p.Match("\"Ann\" <123>", -1, &state);
  EXPECT_FALSE(p.Match("\"Ann\" 123", -1, &state).Matched());
  Pattern other;
  other.Compile("(a)(b)?", 7, 0);
  EXPECT_EQ(other.Match("ab", -1, &state).MaxGroup(), 2);
  EXPECT_EQ(p.Match("\"Ann\" <123>", -1, &state).values, first.values);
  EXPECT_EQ(p.Match("\"Ann\" <123>").values, first.values);
}

TEST(Search, OnePatternMatchedFromSeveralThreads) {
  Pattern p;
  p.Compile(kRecipient, static_cast<int>(std::strlen(kRecipient)), 0);
  std::vector<std::thread> threads;
  std::vector<int> types(4, -1);
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      std::string text = "\"N" + std::to_string(k) + "\" <+49" + std::to_string(k) + "> " + std::to_string(k);
      for (int round = 0; round < 200; ++round) {
        PatternMatch m = p.Match(text);
        types[static_cast<size_t>(k)] = m.Matched() ? text[static_cast<size_t>(m.GroupStart(5))] - '0' : -2;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(types, (std::vector<int>{0, 1, 2, 3}));
}

TEST(Search, TextWithZeroBytes) {
  std::string text("a\0b", 3);
  EXPECT_EQ(Span(MatchOf("b", text), 0), "2-3");
  EXPECT_EQ(Span(MatchOf(std::string("\\x00b"), text), 0), "1-3");
  Pattern p;
  p.Compile("b", 1, 0);
  EXPECT_FALSE(p.Match(text.c_str()).Matched());  // a terminated text ends at the zero
}

TEST(Quantifiers, BracesAreReadThreeDigitsAtMost) {
  EXPECT_TRUE(MatchOf("^a{1000}$", std::string(100, 'a')).Matched());
  EXPECT_FALSE(MatchOf("^a{1000}$", std::string(101, 'a')).Matched());
  ExpectFound({
      {"a{,3}", "aaa", ""},
      {"a{x}", "aaa", ""},
      {"a{3,1}", "aaaa", "aaa"},
      {"a{ 2 , 3 }", "aaaa", "aaa"},
      {"a{2,}", "aaaa", "aaaa"},
      {"ba{0}c", "bc", "bc"},
  });
}

TEST(Quantifiers, UnclosedBraceSwallowsTheRest) {
  EXPECT_EQ(Found("xa{2b", "xab"), "x");
  EXPECT_EQ(Found("xa{2b", "x"), "x");
}

TEST(Quantifiers, BindToTheLastCharacterOfALiteralRun) {
  ExpectFound({
      {"abc*", "abccc", "abccc"},
      {"abc*", "ab", "ab"},
      {"abc+d", "abcccd", "abcccd"},
  });
}

TEST(Quantifiers, QuantifierAfterARepeatOrAtTheStartIsALiteral) {
  ExpectFound({
      {"a**", "aaa*", "aaa*"},
      {"a**", "aaa", "<none>"},
      {"*a", "b*a", "*a"},
      {"x|+", "a+", "+"},
      {"a}", "a}", "a}"},
  });
}

TEST(Quantifiers, ExactCountIgnoresLazyAndPossessiveMarkers) {
  ExpectFound({
      {"a{2}?", "aaa", "aa"},
      {"a{2}+b", "aab", "aab"},
      {"a{2}+", "aa+", "aa"},
  });
}

TEST(Repetition, GreedyBacktracksIntoIterations) {
  EXPECT_EQ(Found("(a|ab)*c", "ababc"), "ababc");
  EXPECT_EQ(Found("(a|ab)(c|bcd)(d*)", "abcd"), "abcd");
  PatternMatch m = MatchOf("(a+)(a+)", "aaaa");
  EXPECT_EQ(Span(m, 1), "0-3");
  EXPECT_EQ(Span(m, 2), "3-4");
}

TEST(Repetition, GroupInsideARepeatReportsItsLastIteration) {
  PatternMatch m = MatchOf("(?:(\\w)-)*x", "a-b-c-x");
  EXPECT_EQ(Span(m, 1), "4-5");
  m = MatchOf("(\\w)*", "abc");
  EXPECT_EQ(Span(m, 1), "2-3");
}

TEST(Repetition, EmptyIterationsEndTheLoop) {
  PatternMatch m = MatchOf("(a*)*b", "aab");
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(Span(m, 0), "0-3");
  EXPECT_EQ(Span(m, 1), "0-2");
  m = MatchOf("(a*)+", "b");
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(Span(m, 1), "0-0");  // the minimum iteration may be empty
  m = MatchOf("(a|)*", "aa");
  EXPECT_EQ(Span(m, 0), "0-2");
  EXPECT_EQ(Span(m, 1), "1-2");
  EXPECT_TRUE(MatchOf("(x?)*y", "y").Matched());
  EXPECT_EQ(Span(MatchOf("(x?)*y", "y"), 1), "-");
}

TEST(Repetition, NestedQuantifiersFailWithoutHanging) {
  // Exponential for a naive engine only when there are many characters; keep the text short.
  EXPECT_FALSE(MatchOf("(a+)+b", std::string(14, 'a')).Matched());
  EXPECT_FALSE(MatchOf("(a*)*b", std::string(14, 'a')).Matched());
  EXPECT_EQ(Found("((a|b)*c)+", "abcacbcx"), "abcacbc");
}

TEST(Repetition, BoundedCounts) {
  ExpectFound({
      {"(ab){2,3}", "abababab", "ababab"},
      {"(ab){2,3}c", "ababc", "ababc"},
      {"(ab){2}", "abab", "abab"},
      {"(ab){3}", "abab", "<none>"},
      {"x(ab)?y", "xy", "xy"},
  });
}

// Repeats of one character (with or without a group around it) and alternations of single
// characters take shortcuts; an empty `(?:)` beside them forces the general path, which must
// give the same results, captures included.
TEST(Repetition, ShortcutsMatchTheGeneralPath) {
  const char* patterns[] = {
      "(\\w)*\\w",      "(\\w)*",        "(\\w)+,(\\w)*",  "(?:(\\w)*,)*",     "(?:(\\w)*,?)*c",
      "(\\w){2,3}\\w",  "(\\w){0,2}b",   "(\\w)*+\\w",     "(?:(\\w)*;)*(\\w)*",
      "(a|b|,)*c",    "((a|b)*)b",     "\\w*?c",       "(?:(\\w|,)*c)?",
  };
  const char* texts[] = {"", "abc", "ab,,", "ab,c", "a;b;", ",b,c", "abcbc", "xy;z"};
  for (const char* pattern : patterns) {
    std::string general = pattern;
    for (size_t at = 0; (at = general.find("\\w", at)) != std::string::npos; at += 10) general.replace(at, 2, "(?:\\w(?:))");
    for (size_t at = 0; (at = general.find("|b", at)) != std::string::npos; at += 6) general.insert(at + 2, "(?:)");
    for (int flags : {0, static_cast<int>(kRightToLeft)}) {
      for (const char* text : texts) {
        EXPECT_EQ(MatchOf(pattern, text, flags).values, MatchOf(general, text, flags).values)
            << pattern << " vs " << general << " on \"" << text << "\" flags " << flags;
      }
    }
  }
}

TEST(Repetition, GroupAroundOneCharacterKeepsItsEarlierRecord) {
  PatternMatch m = MatchOf("(?:(\\w)*,)*", "ab,,");
  EXPECT_EQ(Span(m, 1), "1-2");  // the second round took no character
  m = MatchOf("(\\w)*\\w", "abc");
  EXPECT_EQ(Span(m, 1), "1-2");
  EXPECT_EQ(Span(MatchOf("(\\w)*", ""), 1), "-");
}

TEST(Alternation, BranchesInOrderAndEmptyBranches) {
  ExpectFound({
      {"b|ab|a", "ab", "ab"},
      {"a|", "b", ""},
      {"|a", "a", ""},
  });
  PatternMatch m = MatchOf("(a)|b", "b");
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(Span(m, 1), "-");
  EXPECT_EQ(m.MaxGroup(), 1);
}

TEST(Groups, NumberedByOpeningParenthesis) {
  PatternMatch m = MatchOf("((a)(b(c)))", "abc");
  EXPECT_EQ(m.MaxGroup(), 4);
  EXPECT_EQ(Span(m, 1), "0-3");
  EXPECT_EQ(Span(m, 2), "0-1");
  EXPECT_EQ(Span(m, 3), "1-3");
  EXPECT_EQ(Span(m, 4), "2-3");
}

TEST(Groups, UnmatchedCloseEndsTheCompilation) {
  EXPECT_EQ(Found("a)b", "xab"), "a");
  EXPECT_EQ(Found("(a", "a"), "a");
}

TEST(Groups, BacktrackingOverAGroupRestoresItsEarlierRecord) {
  PatternMatch m = MatchOf("(?:(a)|b)*ac", "abac");  // the last a is taken back for "ac"
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(Span(m, 1), "0-1");
}

TEST(Classes, Predefined) {
  ExpectFound({
      {"\\w+", "  ab_9!", "ab_9"},
      {"\\W+", "ab ,;c", " ,;"},
      {"\\d+", "ab123c", "123"},
      {"\\D+", "12ab3", "ab"},
      {"\\s+", "a \t\r\nb", " \t\r\n"},
      {"\\s", "a\fb", "<none>"},  // form feed is not white space
      {"\\S+", " ab ", "ab"},
      {".+", "ab\ncd", "ab"},
      {".+", "ab\ncd", "ab\ncd", kSingleLine},
  });
}

TEST(Classes, BracketExpressions) {
  ExpectFound({
      {"[a-c]+", "xabcd", "abc"},
      {"[^a-c]+", "abxyc", "xy"},
      {"[a-]+", "b-a-", "-a-"},
      {"[.]", "a.b", "."},
      {"[\\A]", "xA", "A"},
      {"[\\d_]+", "a1_2b", "1_2"},
      {"[z-a]", "az", "<none>"},
      {"[]a", "a]a", "<none>"},
      {"[^]", "\n", "\n"},
      {"[\\b]", "a\bb", "\b"},
      {"[a\\]]+", "xa]]", "a]]"},  // `\]` is a literal bracket, which closes nothing
  });
}

TEST(Classes, CharactersCompareAsSignedValues) {
  ExpectFound({
      {"[\\x01-\\xff]", "a\x80\xff", "<none>"},
      {"[\\x80-\\x01]+", std::string("\x80\xff\x00\x01\x02", 5), std::string("\x80\xff\x00\x01", 4)},
      {"[\\x80-\\xff]+", "a\x90\xfe", "\x90\xfe"},
  });
}

TEST(Classes, NamedClasses) {
  ExpectFound({
      {"[[:digit:]x]+", "ab1x2c", "1x2"},
      {"[:alpha:]+", "12ab3", "ab"},
      {"[[:^digit:]]+", "12ab3", "ab"},
      {"[[:nosuchname:]]", "abc", "<none>"},
  });
}

TEST(Escapes, Characters) {
  ExpectFound({
      {"\\x41", "zA", "A"},
      {"\\x{263A}", "a:", ":"},
      {"\\u0041\\u{42}", "AB", "AB"},
      {"\\xg", "xg", "xg"},
      {"\\t\\n\\r\\f\\v\\a\\e", "\t\n\r\f\v\a\x1b", "\t\n\r\f\v\a\x1b"},
      {"\\.\\*\\\\", "a.*\\", ".*\\"},
      {"a\\", "a\\", "a\\"},
  });
}

TEST(Escapes, QuotedRuns) {
  ExpectFound({
      {"\\Qa.b\\E", "a.b", "a.b"},
      {"\\Qa.b\\E", "axb", "<none>"},
      {"\\LABC\\E", "xabc", "abc"},
      {"\\UaBc\\Ed", "ABCd", "ABCd"},
      {"\\Q(*\\", "(*\\", "(*\\"},  // runs to the end without \E
      {"\\Qab\\E+", "abb", "abb"},
  });
}

TEST(Extended, WhiteSpaceAndCommentsAreSkipped) {
  ExpectFound({
      {"a b # comment\n c", "abc", "abc", kExtended},
      {"[a b]+", "a b", "a", kExtended},
      {"a b", "a b", "a b"},
      {"a(?#comment)b", "ab", "ab"},
      {"a(?#unterminated", "a", "a"},
  });
}

// Patterns whose backtracking is exponential in the pattern itself (a repeat too large for the
// memo, recursion) end at a lent state's step limit, with the empty result and the state saying
// so; a search within the limit gives what an unlimited one gives.
TEST(StepLimit, EndsExponentialBacktrackingAndChangesNothingBelowIt) {
  const char* const exponential[] = {
      "(|){512}(!x",
      "(:|(?{22y\x08\x01\xc3(:|(?R()]|){22y,3},3}R(9]|){22y\x08\x01\xc3(:",
  };
  for (const char* text : exponential) {
    SCOPED_TRACE(text);
    Pattern pattern;
    pattern.Compile(text, static_cast<int>(std::strlen(text)), kIgnoreCase);
    MatchState state;
    state.SetStepLimit(100000);
    EXPECT_FALSE(pattern.Match("|(?R", -1, &state).Matched());
    EXPECT_TRUE(state.StepLimitReached());
  }

  Pattern address;
  const char sender[] = "\"((\\w|\\W)*)\" <((\\w|\\W)*)>";
  address.Compile(sender, static_cast<int>(sizeof sender - 1));
  MatchState state;
  state.SetStepLimit(100000);
  const char text[] = "\"Ann\" <+4915112345678>";
  EXPECT_EQ(address.Match(text, -1, &state).values, address.Match(text).values);
  EXPECT_FALSE(state.StepLimitReached());
}

}  // namespace
}  // namespace larkpost
