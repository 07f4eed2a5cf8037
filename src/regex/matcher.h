// Runs a program (program.h) over a text by backtracking, without recursion on the machine
// stack: every piece of state that backtracking must restore lives on the MatchState's heap
// stacks, so matching a long text needs no more machine stack than matching a short one.
//
// THE BACKTRACKING PROTOCOL. The matcher holds a current node and a current position. A node
// either succeeds (it may move the position, change captures or other state, and names the node
// to run next) or fails. Before a node changes any state it pushes an undo record saying how to
// change it back; before it commits to one of several ways of matching it pushes a choice point
// saying where and at which position to try the next way. Failing pops the backtrack stack: undo
// records are applied on the way down, and the first choice point found is resumed (it may stay
// on the stack, updated, when it still holds further ways). An empty stack means the pattern does
// not match at this start position. So the newest decision is always revised first: a sequence
// backtracks its latest element first, an alternation tries its branches left to right, a greedy
// repeat gives back its last iteration, a lazy one adds one more.
//
// Repeats keep a (count, iteration start) frame on the loop stack while they run. An iteration
// beyond the minimum that ends where it began fails, so it is asked for other ways of matching
// and, when none moves the position, the choice "stop before this iteration" takes over: empty
// iterations are never counted and (a*)* style loops end.
//
// Atomic groups, possessive repeats and look-arounds push a barrier. When their sub-pattern
// succeeds, the choice points above the barrier are dropped and only the undo records kept
// ("cut"), so backtracking can never re-enter them but still undoes what they did; the
// captures they made belong to the surviving match path. When the sub-pattern of a negative
// look-around matches, everything above its barrier is undone, so it leaves no captures. A
// barrier popped by backtracking means the sub-pattern failed.
//
// Recursion pushes a return frame (target group, node to return to); the target's closing
// bracket (or the pattern's end, for the whole pattern) pops it and continues there. Both are
// undoable. A recursion into a group at the position where that group's newest active recursion
// began fails, so recursion that consumes nothing cannot run forever; and a chain of active
// recursions longer than one per group and text position fails as well, which bounds it even
// when look-behinds move the position backwards in between.
#pragma once

#include <string_view>

#include "regex/element.h"
#include "regex/match_state.h"
#include "regex/pattern.h"
#include "regex/program.h"

namespace larkpost::regex_internal {

class Matcher {
 public:
  // Searches `text` from `start` (already resolved to a position within the text) in the
  // program's direction and returns the first match found, or the empty result.
  // `memo_from_start` takes the memo (memo.h) up at the first step instead of once the search
  // runs long, for tests of the memo on short texts; the result is the same. A state's step
  // limit (match_state.h) counts the program steps of the whole search.
  static PatternMatch Search(const Program& program, const ElementTree& tree, std::string_view text, int start,
                             MatchState* state, bool memo_from_start = false);

 private:
  // `step_limit` 0: none; `limit_reached` is set when the search ended at it.
  static PatternMatch Run(const Program& program, const ElementTree& tree, std::string_view text, int start,
                          MatchStacks* stacks, bool memo_from_start, uint64_t step_limit,
                          bool* limit_reached);
};

}  // namespace larkpost::regex_internal
