// The memo that makes matching linear in the text: which (node, position, repeat state) the
// matcher has already explored.
//
// WHY IT IS SOUND. The matcher explores the ways of matching depth first in their order of
// preference and stops at the first success. If it reaches a state it has reached before, the
// first exploration from that state failed (else the search would have ended), and exploring it
// again would take the same steps and fail again, provided that what happens from a state
// depends on nothing but the state. So a second arrival can fail at once: the first match found
// and its captures are exactly those of the plain backtracker, since only failing paths are cut.
// A failure does not depend on the start position of the attempt either, so the memo stays valid
// for the whole search and no state is explored twice in one search.
//
// WHAT A STATE IS. The node and the position, plus, for a node inside repeats, the frames of
// those repeats that can change its outcome (PlanMemo works out which):
//   - a repeat with a bound or a minimum of 2 or more: its count (clipped to the bound or the
//     minimum, beyond which counts behave alike);
//   - a repeat whose body can match the empty string: whether the current iteration began at
//     the current position, since such an iteration ending there fails.
// A repeat of `*` or `+` whose body always consumes (`(a|bc)*`) changes nothing and costs no key.
// Captures never change whether a path succeeds, except where a later element reads them: a
// back-reference, a condition on a group, a recursion (whose return frames and progress checks
// are state too). Programs with any of these are not memoized and keep the plain backtracker
// with its bounds.
//
// ATOMIC GROUPS AND LOOK-AROUNDS (possessive repeats too) cut their choice points when their body
// succeeds, so a body state's outcome holds only within one run of the body: bits set inside a
// body are logged and cleared when that run ends. Their entry and what follows them are memoized
// like any node, so each body runs at most once per position: the search is linear in the text
// times the cost of one run of the body (at most quadratic for a body like `.*`).
//
// CHARACTER REPEATS (`\w*`, `(\w|\W)*`) take their characters in one step; an unbounded one also
// marks the positions of its optional part, and a later scan stops where an earlier one already
// explored, so overlapping scans cost linear time in all. A bounded one (at most 999 by the
// syntax) scans at most its bound each time.
//
// TAKING IT UP LATE. A search starts without the memo and takes it up once it has taken a few
// steps per text position (matcher.cpp): typical searches end before and never pay for it (nor
// for planning it, done on first use). Taking it up at any moment is sound, as bits only cut
// paths; from then on the search is linear.
//
// MEMORY: memo_rows bits per text position (one row per memoized node and key value). When that
// exceeds kMaxMemoBits (32 MiB) for a text, that search runs without memo, as the plain
// backtracker. A node whose keys would need more than kMaxRowsPerNode rows is not memoized.
#pragma once

#include <cstddef>

#include "regex/program.h"

namespace larkpost::regex_internal {

inline constexpr size_t kMaxMemoBits = size_t{1} << 28;
inline constexpr int kMaxRowsPerNode = 1024;

// The program with its memo plan (memo, memo_keys, memo_rows; memo_rows 0 when the program is
// not memoized), made on the first call: most searches end before they would take the memo up,
// so compiling does not plan it. Safe to call from several threads matching one program.
const Program& PlannedMemo(const Program& program);

}  // namespace larkpost::regex_internal
