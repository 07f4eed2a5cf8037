// Reusable storage for matching: the stacks a match call works on.
//
// A MatchState owns only scratch memory. Passing one to Pattern::Match lets repeated calls keep
// the capacity their stacks have grown to; the result never depends on what an earlier call left
// behind. One MatchState serves one match call at a time (it is not shared between threads).
#pragma once

#include <cstddef>
#include <vector>

namespace larkpost {

namespace regex_internal {
class Matcher;
}

class MatchState {
 public:
  MatchState() = default;
  MatchState(const MatchState&) = delete;
  MatchState& operator=(const MatchState&) = delete;

 private:
  friend class regex_internal::Matcher;

  std::vector<int> backtrack_;  // choice points and undo records, newest on top (matcher.h)
  std::vector<int> loops_;      // (count, iteration start) of every repeat being run
  std::vector<int> frames_;     // return frames of recursions being run
  std::vector<size_t> barriers_;  // backtrack-stack heights of open atomic groups and look-arounds
  std::vector<int> captures_;   // per group number: first position, second position, nesting
  std::vector<int> last_call_;  // per recursion target: position of its newest active call
  std::vector<size_t> scratch_;   // entry offsets while cutting the backtrack stack
};

}  // namespace larkpost
