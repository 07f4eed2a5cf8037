// The pattern matcher: a backtracking regular-expression engine over 8-bit text.
//
// COMPILING turns a pattern text into a tree of matching elements. It never fails: constructs
// that do not parse as an operator become literal characters or empty elements.
// MATCHING runs the tree over a zero-terminated text by backtracking, trying start positions in
// order, and reports the first match found together with the offsets of every group.
//
// Characters compare as signed values (bytes 0x80-0xFF order below 0x00). Offsets are zero-based
// character indices; group ends are exclusive.
//
// A group reports its latest capture on the match path that succeeded: a group inside a repeat
// reports its last iteration; what an atomic group, a possessive repeat or a look-around captured
// is kept while the match goes on past it and dropped when backtracking goes back over it; the
// sub-pattern of a negative look-around never leaves captures behind.
//
// Matching keeps its backtracking state on heap stacks (MatchState), never on the machine stack,
// so long texts and deep recursion need no more machine stack than short ones. Compiling bounds
// its recursion by limiting group nesting (regex/parser.h).
//
// A compiled Pattern is immutable while it matches: several threads may match one Pattern at
// once, each with its own (or no) MatchState.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "regex/match_state.h"

namespace larkpost {

// Compile-time flag bits; most can also be switched inline with (?imsg-imsg).
enum PatternFlag : int {
  kSingleLine = 0x01,   // `.` also matches "\n"                          (inline s)
  kMultiLine = 0x02,    // `^` and `$` match at line starts and ends        (inline m)
  kGlobal = 0x04,       // `\G` is active                                   (inline g)
  kIgnoreCase = 0x08,   // ASCII letters compare without case               (inline i)
  kRightToLeft = 0x10,  // the search and every element run backwards
  kExtended = 0x20,     // white space ignored, `#` starts a comment to the line end
};

// One match result: a list of integers.
//   [0]        1 when the pattern matched
//   [1]        the largest group number of the pattern
//   [2+2n]     start of group n (n = 0 is the whole match), -1 if the group took no part
//   [3+2n]     end (exclusive) of group n, -1 if the group took no part
// The list is empty when nothing matched.
struct PatternMatch {
  std::vector<int> values;

  // Element k, or -1 when the list has k or fewer elements.
  int At(size_t k) const { return k < values.size() ? values[k] : -1; }
  bool Matched() const { return !values.empty() && values[0] != 0; }
  int MaxGroup() const { return At(1); }
  int GroupStart(int n) const { return n < 0 ? -1 : At(2 + 2 * static_cast<size_t>(n)); }
  int GroupEnd(int n) const { return n < 0 ? -1 : At(3 + 2 * static_cast<size_t>(n)); }
};

class Pattern {
 public:
  Pattern();
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  // Compiles `length` characters of `pattern` with the given PatternFlag bits, discarding any
  // earlier compilation. A null pattern leaves the object without a root element.
  void Compile(const char* pattern, int length, int flags = 0);

  bool HasRoot() const;

  // Whether matching is memoized, and so takes time linear in the text (regex/memo.h says what
  // bodies of look-arounds and atomic groups add, and how long a text may be before a search
  // runs without). False for patterns with back-references, conditions on groups or recursion,
  // which backtrack without a memo and may take time exponential in the text.
  bool Memoized() const;

  // Matches against the text up to its terminating zero. `start` -1 means the beginning of the
  // text (its end under right-to-left); a start beyond the end gives the empty result (under
  // right-to-left it means the end). `state`, when given, only lends its storage: the result is
  // the same without it. A Pattern without a root gives the empty result.
  PatternMatch Match(const char* text, int start = -1, MatchState* state = nullptr) const;
  // The same over an explicit text (which may hold zero bytes).
  PatternMatch Match(std::string_view text, int start = -1, MatchState* state = nullptr) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace larkpost
