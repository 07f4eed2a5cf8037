// Long texts and deep patterns on a thread with a small machine stack: matching must keep its
// state on the heap and compiling must bound its recursion.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>

#include "regex/parser.h"
#include "regex/pattern.h"
#include "regex/regex_test_util.h"

namespace larkpost {
namespace {

constexpr size_t kSmallStack = 256 * 1024;
constexpr size_t kLongText = 16 * 1024 * 1024;

// Runs `body` on a new thread whose stack is 256 KiB.
void OnSmallStack(const std::function<void()>& body) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kSmallStack), 0);
  pthread_t thread;
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, trampoline, const_cast<std::function<void()>*>(&body)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

using testing::MatchOf;

// A long text mixing word and non-word characters, ending in `tail`.
std::string LongText(const std::string& tail) {
  std::string text(kLongText, 'a');
  for (size_t k = 0; k < text.size(); k += 7) text[k] = ' ';
  return text + tail;
}

TEST(LongText, GroupedAnyCharacterRepeatOverSixteenMegabytes) {
  std::string text = LongText("");
  PatternMatch m, general;
  OnSmallStack([&] {
    m = MatchOf("((\\w|\\W)*)", text);
    // A branch longer than one character takes the general repeat, one iteration at a time.
    general = MatchOf("((\\w|\\W|xyz)*)", text);
  });
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(m.GroupEnd(1), static_cast<int>(text.size()));
  EXPECT_EQ(m.GroupStart(2), static_cast<int>(text.size()) - 1);
  EXPECT_EQ(general.values, m.values);
}

TEST(LongText, SenderPatternBacktracksAcrossSixteenMegabytes) {
  std::string text = "\"" + LongText("\" <12>");
  PatternMatch m;
  OnSmallStack([&] { m = MatchOf("\"((\\w|\\W)*)\" <((\\w|\\W)*)>", text); });
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(m.GroupEnd(1), static_cast<int>(kLongText) + 1);
  EXPECT_EQ(m.GroupEnd(3), static_cast<int>(text.size()) - 1);
}

TEST(LongText, LazyAndPossessiveRepeatsOverSixteenMegabytes) {
  std::string text = LongText("!");
  const int length = static_cast<int>(text.size());
  PatternMatch lazy, possessive, lazy_char, possessive_char;
  OnSmallStack([&] {
    lazy = MatchOf("((\\w|\\W)*?)!", text);
    possessive = MatchOf("((\\w|\\W)*+)", text);
    lazy_char = MatchOf("(.*?)!", text);
    possessive_char = MatchOf("(?:\\w| )++!", text);
  });
  ASSERT_TRUE(lazy.Matched());
  EXPECT_EQ(lazy.GroupEnd(1), length - 1);
  EXPECT_EQ(lazy.GroupStart(2), length - 2);
  ASSERT_TRUE(possessive.Matched());
  EXPECT_EQ(possessive.GroupEnd(1), length);
  ASSERT_TRUE(lazy_char.Matched());
  EXPECT_EQ(lazy_char.GroupEnd(1), length - 1);
  ASSERT_TRUE(possessive_char.Matched());
  EXPECT_EQ(possessive_char.GroupEnd(0), length);
}

TEST(LongText, RightToLeftOverSixteenMegabytes) {
  std::string text = "!" + LongText("");
  PatternMatch m;
  OnSmallStack([&] { m = MatchOf("!((\\w|\\W)*)", text, kRightToLeft); });
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(m.GroupStart(0), 0);
  EXPECT_EQ(m.GroupEnd(1), static_cast<int>(text.size()));
  EXPECT_EQ(m.GroupStart(2), 1);  // the last iteration run is the leftmost character
}

TEST(Recursion, MillionsDeepOnASmallStack) {
  const size_t depth = 1000000;
  std::string text = std::string(depth, 'a') + std::string(depth, 'b');
  PatternMatch balanced, unbalanced, no_progress;
  OnSmallStack([&] {
    balanced = MatchOf("^(a(?1)?b)$", text);
    unbalanced = MatchOf("^(a(?1)?b)$", text + "b");
    no_progress = MatchOf("(?R)|(?1)(x)", std::string(depth, 'y'));
  });
  ASSERT_TRUE(balanced.Matched());
  EXPECT_EQ(balanced.GroupEnd(1), static_cast<int>(text.size()));
  EXPECT_FALSE(unbalanced.Matched());
  EXPECT_FALSE(no_progress.Matched());
}

TEST(Nesting, DeeplyNestedPatternsCompileAndMatch) {
  std::string opens(100000, '(');
  std::string balanced = opens + "a" + std::string(100000, ')');
  std::string looks;
  for (int k = 0; k < 30000; ++k) looks += "(?(?=(?<!(?>";
  PatternMatch open_only, nested, special;
  OnSmallStack([&] {
    open_only = MatchOf(opens, "((((");
    nested = MatchOf(balanced, "xa");
    special = MatchOf(looks, "a");
  });
  EXPECT_TRUE(special.values.empty() || special.Matched());
  EXPECT_TRUE(open_only.values.empty() || open_only.Matched());
  // Groups deeper than the nesting bound are literal parentheses.
  EXPECT_FALSE(nested.Matched());
  std::string deep = std::string(100, '(') + "a" + std::string(100, ')');
  std::string text = "x" + std::string(100 - regex_internal::kMaxNesting, '(') + "a";
  PatternMatch m = MatchOf(deep, text);
  ASSERT_TRUE(m.Matched());
  EXPECT_EQ(m.MaxGroup(), regex_internal::kMaxNesting);
  EXPECT_EQ(m.GroupStart(1), 1);
  EXPECT_EQ(m.GroupStart(regex_internal::kMaxNesting), 1);
}

}  // namespace
}  // namespace larkpost
