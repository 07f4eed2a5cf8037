// Compiles pattern text into an element tree (element.h).
//
// A recursive descent over the tokens (tokenizer.h): alternation := sequence ('|' sequence)*,
// sequence := repeat+, repeat := atom quantifier?. The flag bits travel down by value, so inline
// options reach the rest of their group (later alternatives included) and nothing outside it.
// Parsing never fails: what does not read as an operator becomes a literal or an empty element.
//
// Nesting is bounded: a group opened more than kMaxNesting levels deep is taken as a literal
// "(" instead, so compiling needs a bounded amount of machine stack whatever the pattern. The
// bound is only as good as the recursive functions' frames are small (parser.cpp, ParseRepeat).
#pragma once

#include "regex/element.h"

namespace larkpost::regex_internal {

inline constexpr int kMaxNesting = 64;

// Replaces the contents of `tree` with the compilation of `length` characters of `pattern`.
void ParsePattern(const char* pattern, int length, int flags, ElementTree* tree);

}  // namespace larkpost::regex_internal
