#include "regex/tokenizer.h"

namespace larkpost::regex_internal {

Tokenizer::Tokenizer(const char* pattern, int length, bool extended)
    : pattern_(pattern), length_(length), extended_(extended) {}

const Token& Tokenizer::Peek(int k) {
  while (ahead_count_ <= k) ahead_[ahead_count_++] = Scan();
  return ahead_[k];
}

Token Tokenizer::Next() {
  Token t = Peek(0);
  ahead_[0] = ahead_[1];
  ahead_[1] = ahead_[2];
  --ahead_count_;
  return t;
}

void Tokenizer::Seek(int pos) {
  index_ = pos < length_ ? pos : length_;
  depth_ = 0;
  quote_ = 0;
  prev_ = prev2_ = Token{};
  ahead_count_ = 0;
}

Token Tokenizer::Make(int value, bool control, int pos, int len) {
  Token t{value & 0xFF, control, pos, len};
  prev2_ = prev_;
  prev_ = t;
  return t;
}

Token Tokenizer::Scan() {
  const char* p = pattern_;
  for (;;) {
    int i = index_;
    if (i >= length_) return Token{0, true, length_, 0};
    int c = static_cast<unsigned char>(p[i]);

    if (quote_ != 0) {
      if (c == '\\' && i + 1 < length_ && p[i + 1] == 'E') {
        quote_ = 0;
        index_ = i + 2;
        continue;
      }
      index_ = i + 1;
      if (quote_ == 2) c = AsciiLower(c);
      if (quote_ == 3) c = AsciiUpper(c);
      return Make(c, false, i, 1);
    }
    if (extended_ && IsPatternSpace(c)) {
      index_ = i + 1;
      continue;
    }
    if (extended_ && c == '#') {
      while (i < length_ && p[i] != '\n' && p[i] != '\r') ++i;
      index_ = i;
      continue;
    }
    if (c == '(' && i + 2 < length_ && p[i + 1] == '?' && p[i + 2] == '#') {
      i += 3;
      while (i < length_ && p[i] != ')') ++i;
      index_ = i < length_ ? i + 1 : length_;
      continue;
    }

    index_ = i + 1;
    switch (c) {
      case '(': case '$': case ')': case '*': case '+': case '.': case '?': case '{': case '|':
      case '}':
        return Make(c, depth_ == 0, i, 1);
      case '-':
        return Make(c, depth_ > 0, i, 1);
      case '[':
        if (depth_ == 0 || (i + 1 < length_ && p[i + 1] == ':')) {
          ++depth_;
          return Make(c, true, i, 1);
        }
        return Make(c, false, i, 1);
      case ']':
        if (depth_ > 0) {
          --depth_;
          return Make(c, true, i, 1);
        }
        return Make(c, false, i, 1);
      case '^': {
        bool after_bracket = prev_.control && prev_.value == '[';
        bool after_colon = prev_.control && prev_.value == ':' && prev2_.control && prev2_.value == '[';
        return Make(c, depth_ == 0 || after_bracket || after_colon, i, 1);
      }
      case ':':
        return Make(c, prev_.control && prev_.value == '[', i, 1);
      case '\\':
        break;
      default:
        return Make(c, false, i, 1);
    }

    // An escape.
    if (i + 1 >= length_) return Make('\\', false, i, 1);
    int d = static_cast<unsigned char>(p[i + 1]);
    if (IsDigit(d)) return Make('\\', true, i, 1);  // a back-reference; its digits follow
    index_ = i + 2;
    switch (d) {
      case 'A': case 'B': case 'D': case 'S': case 'W': case 'Z': case 'd': case 'g': case 'k':
      case 's': case 'w': case 'z':
        return Make(d, true, i, 2);
      case 'G':
        if (depth_ > 0) continue;
        return Make(d, true, i, 2);
      case 'b':
        return depth_ > 0 ? Make(8, false, i, 2) : Make('b', true, i, 2);
      case 'a': return Make(7, false, i, 2);
      case 'e': return Make(27, false, i, 2);
      case 'f': return Make(12, false, i, 2);
      case 'n': return Make(10, false, i, 2);
      case 'r': return Make(13, false, i, 2);
      case 't': return Make(9, false, i, 2);
      case 'v': return Make(11, false, i, 2);
      case 'x':
      case 'u': {
        int j = i + 2;
        unsigned value = 0;
        if (j < length_ && p[j] == '{') {
          ++j;
          for (int n = 0; n < 8 && j < length_ && HexValue(static_cast<unsigned char>(p[j])) >= 0; ++n, ++j)
            value = value * 16 + static_cast<unsigned>(HexValue(static_cast<unsigned char>(p[j])));
          while (j < length_ && p[j] != '}') ++j;
          index_ = j < length_ ? j + 1 : length_;
          return Make(static_cast<int>(value & 0xFF), false, i, index_ - i);
        }
        int max_digits = d == 'x' ? 2 : 4;
        int n = 0;
        for (; n < max_digits && j < length_ && HexValue(static_cast<unsigned char>(p[j])) >= 0; ++n, ++j)
          value = value * 16 + static_cast<unsigned>(HexValue(static_cast<unsigned char>(p[j])));
        if (n == 0) return Make(d, false, i, 2);
        index_ = j;
        return Make(static_cast<int>(value & 0xFF), false, i, j - i);
      }
      case 'Q': quote_ = 1; continue;
      case 'L': quote_ = 2; continue;
      case 'U': quote_ = 3; continue;
      case 'E': continue;
      default:
        return Make(d, false, i, 2);
    }
  }
}

}  // namespace larkpost::regex_internal
