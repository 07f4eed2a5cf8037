// Helpers shared by the matcher's tests: one compile-and-match call, and group offsets as text
// so that expectations read as "start-end".
#pragma once

#include <string>
#include <string_view>

#include "regex/pattern.h"

namespace larkpost::testing {

inline PatternMatch MatchOf(const std::string& pattern, std::string_view text, int flags = 0,
                            int start = -1) {
  Pattern p;
  p.Compile(pattern.data(), static_cast<int>(pattern.size()), flags);
  return p.Match(text, start);
}

// "start-end" of group n, or "-" when it took no part.
inline std::string Span(const PatternMatch& m, int n) {
  if (m.GroupStart(n) < 0) return "-";
  return std::to_string(m.GroupStart(n)) + "-" + std::to_string(m.GroupEnd(n));
}

}  // namespace larkpost::testing
