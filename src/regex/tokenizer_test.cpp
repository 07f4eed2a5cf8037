// The tokenizer's context rules: which characters are operators where.
#include "regex/tokenizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// A pattern and its tokens as Tokens writes them.
struct TokenCase {
  std::string pattern;
  std::string tokens;
  bool extended = false;
};

void ExpectTokens(const std::vector<TokenCase>& cases) {
  for (const TokenCase& c : cases) {
    SCOPED_TRACE("pattern \"" + c.pattern + "\"");
    EXPECT_EQ(Tokens(c.pattern, c.extended), c.tokens);
  }
}

TEST(Tokenizer, OperatorsOutsideBracketsAreLiteralsInside) {
  ExpectTokens({
      {"a*(b)|c$", "a{*}{(}b{)}{|}c{$}"},
      {"[*(|$.]", "{[}*(|$.{]}"},
      {"a-b[a-b]", "a-b{[}a{-}b{]}"},
      {"]", "]"},
  });
}

TEST(Tokenizer, CaretAndColonDependOnWhatPrecedes) {
  ExpectTokens({
      {"^[^a^]", "{^}{[}{^}a^{]}"},
      {"[[:^alpha:]]", "{[}{[}{:}{^}alpha:{]}{]}"},
      {"[a[b:]", "{[}a[b:{]}"},
      {"a:b", "a:b"},
  });
}

TEST(Tokenizer, Escapes) {
  ExpectTokens({
      {"\\d\\W\\k\\g\\A\\z", "{d}{W}{k}{g}{A}{z}"},
      {"\\12", "{\\}12"},
      {"\\b[\\b]", "{b}{[}\\8{]}"},
      {"\\G[\\G]", "{G}{[}{]}"},
      {"\\x4a\\x4\\u0041\\x{2641}", "J\\4AA"},
      {"\\*\\q", "*q"},
      {"a\\", "a\\"},
  });
}

TEST(Tokenizer, QuotedRunsAndComments) {
  ExpectTokens({
      {"\\Q*\\d\\E*", "*\\d{*}"},
      {"\\Ua.b\\Ec", "A.Bc"},
      {"a(?#x)b[(?#])]", "ab{[}{]}"},
      {"a b#c\nd", "a" "bd", true},
      {"[ a ]", "{[}a{]}", true},
  });
}

}  // namespace
}  // namespace larkpost::regex_internal
