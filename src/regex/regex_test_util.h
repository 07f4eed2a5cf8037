// Helpers shared by the matcher's tests: one compile-and-match call, group offsets as text so
// that expectations read as "start-end", and tables of searches checked by one loop.
#pragma once

#include <gtest/gtest.h>

#include <source_location>
#include <string>
#include <string_view>
#include <vector>

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

// One search of a table: `pattern` searched in `text` under `flags` from `start` (-1: the
// search's own start) must come out as `expected`, in the words of the table's outcome function.
struct SearchCase {
  std::string pattern;
  std::string text;
  std::string expected;
  int flags = 0;
  int start = -1;
};

// Checks every case of `cases` with `outcome(match, text)`; a failure names the case and the
// table (`table`: where the test wrote it).
template <typename Outcome>
void ExpectEach(const std::vector<SearchCase>& cases, Outcome outcome, const std::source_location& table) {
  ::testing::ScopedTrace in_table(table.file_name(), static_cast<int>(table.line()), "in this table");
  for (const SearchCase& c : cases) {
    SCOPED_TRACE("pattern \"" + c.pattern + "\", text \"" + c.text + "\", flags " + std::to_string(c.flags) +
                 ", start " + std::to_string(c.start));
    EXPECT_EQ(outcome(MatchOf(c.pattern, c.text, c.flags, c.start), c.text), c.expected);
  }
}

}  // namespace larkpost::testing
