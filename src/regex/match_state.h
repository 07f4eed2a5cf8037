// Reusable storage for matching: the stacks a match call works on.
//
// A MatchState owns scratch memory and an optional step limit. Passing one to Pattern::Match
// lets repeated calls keep the capacity their stacks have grown to; the result never depends on
// what an earlier call left behind. One MatchState serves one match call at a time (it is not shared between threads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace larkpost {

namespace regex_internal {
class Matcher;

// The matcher's stacks and tables (matcher.h, memo.h).
struct MatchStacks {
  std::vector<int> backtrack;   // choice points and undo records, newest on top
  std::vector<int> loops;       // (count, iteration start) of every repeat being run
  std::vector<int> frames;      // return frames of recursions being run
  std::vector<size_t> barriers; // backtrack-stack heights of open atomic groups and look-arounds
  std::vector<int> captures;    // per group number: first position, second position, nesting
  std::vector<int> last_call;   // per recursion target: position of its newest active call
  std::vector<size_t> scratch;  // entry offsets while cutting the backtrack stack
  std::vector<uint64_t> memo;   // visited bits, one per memo row and text position
  std::vector<size_t> memo_log;    // bits set inside atomic groups and look-arounds being run
  std::vector<size_t> memo_marks;  // memo_log heights where each of those began
};
}  // namespace regex_internal

class MatchState {
 public:
  MatchState() = default;
  MatchState(const MatchState&) = delete;
  MatchState& operator=(const MatchState&) = delete;

  // Ends every match call made with this state after it has run `steps` steps of the pattern's
  // program, forwards or again after backtracking (0, the default: never). A pattern without a
  // memo (pattern.h) may backtrack for longer than anyone can wait; a caller that matches
  // patterns it did not write sets a limit. A call that reaches it gives the empty result, and
  // StepLimitReached() says so until the next call.
  void SetStepLimit(uint64_t steps) { step_limit_ = steps; }
  bool StepLimitReached() const { return step_limit_reached_; }

 private:
  friend class regex_internal::Matcher;

  regex_internal::MatchStacks stacks_;
  uint64_t step_limit_ = 0;
  bool step_limit_reached_ = false;
};

}  // namespace larkpost
