// The tokenizer's context rules: which characters are operators where.
#include "regex/tokenizer.h"

#include <gtest/gtest.h>

#include <string>

namespace larkpost::regex_internal {
namespace {

// The tokens of `pattern`, each written as its character, in braces when it is a control.
std::string Tokens(const std::string& pattern, bool extended = false) {
  Tokenizer tok(pattern.data(), static_cast<int>(pattern.size()), extended);
  std::string out;
  for (;;) {
    Token t = tok.Next();
    if (t.control && t.value == 0) return out;
    if (t.control) {
      out += '{';
      out += static_cast<char>(t.value);
      out += '}';
    } else if (t.value < 32) {
      out += "\\" + std::to_string(t.value);
    } else {
      out += static_cast<char>(t.value);
    }
  }
}

TEST(Tokenizer, OperatorsOutsideBracketsAreLiteralsInside) {
  EXPECT_EQ(Tokens("a*(b)|c$"), "a{*}{(}b{)}{|}c{$}");
  EXPECT_EQ(Tokens("[*(|$.]"), "{[}*(|$.{]}");
  EXPECT_EQ(Tokens("a-b[a-b]"), "a-b{[}a{-}b{]}");
  EXPECT_EQ(Tokens("]"), "]");
}

TEST(Tokenizer, CaretAndColonDependOnWhatPrecedes) {
  EXPECT_EQ(Tokens("^[^a^]"), "{^}{[}{^}a^{]}");
  EXPECT_EQ(Tokens("[[:^alpha:]]"), "{[}{[}{:}{^}alpha:{]}{]}");
  EXPECT_EQ(Tokens("[a[b:]"), "{[}a[b:{]}");
  EXPECT_EQ(Tokens("a:b"), "a:b");
}

TEST(Tokenizer, Escapes) {
  EXPECT_EQ(Tokens("\\d\\W\\k\\g\\A\\z"), "{d}{W}{k}{g}{A}{z}");
  EXPECT_EQ(Tokens("\\12"), "{\\}12");
  EXPECT_EQ(Tokens("\\b[\\b]"), "{b}{[}\\8{]}");
  EXPECT_EQ(Tokens("\\G[\\G]"), "{G}{[}{]}");
  EXPECT_EQ(Tokens("\\x4a\\x4\\u0041\\x{2641}"), "J\\4AA");
  EXPECT_EQ(Tokens("\\*\\q"), "*q");
  EXPECT_EQ(Tokens("a\\"), "a\\");
}

TEST(Tokenizer, QuotedRunsAndComments) {
  EXPECT_EQ(Tokens("\\Q*\\d\\E*"), "*\\d{*}");
  EXPECT_EQ(Tokens("\\Ua.b\\Ec"), "A.Bc");
  EXPECT_EQ(Tokens("a(?#x)b[(?#])]"), "ab{[}{]}");
  EXPECT_EQ(Tokens("a b#c\nd", true), "a" "bd");
  EXPECT_EQ(Tokens("[ a ]", true), "{[}a{]}");
}

}  // namespace
}  // namespace larkpost::regex_internal
