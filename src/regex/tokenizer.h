// Splits pattern text into tokens for the parser.
//
// A token is one character value plus a flag saying whether it acts as an operator (control) or
// stands for itself (literal). Whether a character is an operator depends on where it stands:
// inside a bracket expression most operators are plain characters, `^` is an operator only at
// the start of a bracket expression or a `[:` name, `:` only right after a `[`. Escapes
// (`\d`, `\x41`, ...) become one token; `\Q...\E` quoted runs turn everything up to `\E` into
// literals, optionally lower- or upper-cased (`\L`, `\U`). Comments `(?#...)` and, under the
// extended flag, white space and `#` line comments produce no token at all.
//
// The end of the pattern is a control token with value 0. The parser may look up to two tokens
// ahead, and may read a construct directly from the pattern text and then resume tokenizing
// after it with Seek (only ever outside brackets and quoted runs).
#pragma once

namespace larkpost::regex_internal {

struct Token {
  int value = 0;         // character value 0..255 (for escapes like `\d` the letter)
  bool control = false;  // operator rather than a literal character
  int pos = 0;           // offset of the token in the pattern
  int len = 0;           // pattern characters the token spans
};

class Tokenizer {
 public:
  Tokenizer(const char* pattern, int length, bool extended);

  // The token k places ahead of the current one (k = 0 is the current token), k <= 2.
  const Token& Peek(int k = 0);
  // Returns the current token and moves past it.
  Token Next();
  // Restarts tokenizing at pattern offset `pos`, outside any bracket expression or quoted run.
  void Seek(int pos);

 private:
  Token Scan();
  Token Make(int value, bool control, int pos, int len);

  const char* pattern_;
  int length_;
  bool extended_;
  int index_ = 0;         // next pattern character to scan
  int depth_ = 0;         // bracket nesting of the scan position
  int quote_ = 0;         // 0 none, 1 plain `\Q`, 2 lower-casing `\L`, 3 upper-casing `\U`
  Token prev_, prev2_;    // the last two tokens scanned, for the context rules
  Token ahead_[3];
  int ahead_count_ = 0;
};

inline bool IsPatternSpace(int c) { return (c >= 9 && c <= 13) || c == ' '; }
inline bool IsDigit(int c) { return c >= '0' && c <= '9'; }
inline int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
inline int AsciiLower(int c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
inline int AsciiUpper(int c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; }

}  // namespace larkpost::regex_internal
