// The matcher's program: the element tree lowered into a graph of nodes.
//
// Each node does one step and names the node that follows it (`next`), so a node's continuation
// is explicit and the matcher can run the graph with a loop instead of recursion. A sequence
// becomes a chain (last child first under right-to-left), an alternation a node listing its
// branches, a repeat a loop (init, head, body, tail back to head), a group a pair of capture
// nodes around its body, a look-around or atomic group a begin/end pair around its body.
#pragma once

#include <cassert>
#include <cstdint>
#include <memory_resource>
#include <mutex>
#include <vector>

#include "regex/element.h"

namespace larkpost::regex_internal {

enum class Op : uint8_t {
  kMatchEnd,       // the end of the pattern: success, or the return of a recursion into it
  kFail,           // never matches
  kLiteral,        // a = offset in strings, b = length
  kClass,          // a = set index
  kAlternation,    // a = first branch in `branches`, b = branch count
  kOpen,           // a = capture number, b = group-table index: the first bracket reached
  kClose,          // a = capture number, b = group-table index: the second bracket reached
  kLoopInit,       // starts a repeat; next = its head
  kLoopHead,       // a = minimum, b = maximum (-1 unbounded), c = body; next = after the repeat
  kLoopTail,       // a = head: counts the iteration and goes back to the head
  kCharLoop,       // a repeat of one character: a = minimum, b = maximum, c = set index
  kCharLoopGroup,  // greedy repeat of a group around one character: as kCharLoop, d = capture number
  kAtomicBegin,    // starts an atomic group (or possessive repeat)
  kAtomicEnd,      // forgets the choices made since the matching begin
  kLookBegin,      // a = node if the sub-pattern matches, b = node if not (-1: fail)
  kLookEnd,        // a = its begin node
  kCondGroup,      // a = capture number, b = node if the group has a capture, c = node if not
  kRecurse,        // a = entry node of the target, b = target's group-table index
  kBackReference,  // a = capture number (-1 never matches)
  kBoundary,       // a = Boundary
};

enum : uint8_t {
  kNodeIgnoreCase = 1,
  kNodeRightToLeft = 2,
  kNodeNegate = 4,  // look-around: a match of the sub-pattern leaves no captures behind
  kNodeLazy = 8,    // repeats
  kNodeNullableBody = 16,  // kLoopHead: the body may match the empty string
};

// One step of the program. Its four operands mean different things for different kinds (see
// Op); read them through the accessor named for the kind, which checks the kind in debug builds.
struct Node {
  Op op = Op::kFail;
  uint8_t flags = 0;
  int next = -1;
  int a = 0, b = 0, c = 0, d = 0;  // operands, written by the program builder

  // kLiteral: the characters in the tree's strings.
  int literal_offset() const { return Is(op == Op::kLiteral, a); }
  int literal_length() const { return Is(op == Op::kLiteral, b); }
  // kClass: its set. kCharLoop, kCharLoopGroup: the set of the repeated character.
  int set() const { return op == Op::kClass ? a : Is(IsCharLoop(), c); }
  // kAlternation: its branches in Program::branches (and branch_sets).
  int first_branch() const { return Is(op == Op::kAlternation, a); }
  int branch_count() const { return Is(op == Op::kAlternation, b); }
  // kOpen, kClose, kBackReference: the capture number. kCharLoopGroup: its group's capture number.
  int capture() const {
    return op == Op::kCharLoopGroup ? d : Is(op == Op::kOpen || op == Op::kClose || op == Op::kBackReference, a);
  }
  // kOpen, kClose: the group's index in the group table.
  int group_index() const { return Is(op == Op::kOpen || op == Op::kClose, b); }
  // kLoopHead, kCharLoop, kCharLoopGroup: the bounds (max -1: unbounded).
  int min_count() const { return Is(op == Op::kLoopHead || IsCharLoop(), a); }
  int max_count() const { return Is(op == Op::kLoopHead || IsCharLoop(), b); }
  // kLoopHead: the first node of the body.
  int body() const { return Is(op == Op::kLoopHead, c); }
  // kLoopTail: its repeat's head.
  int head() const { return Is(op == Op::kLoopTail, a); }
  // kLookBegin: where matching goes on when the sub-pattern matches, and when it does not (-1:
  // fail). kCondGroup: the branch taken when the group has a capture, and when it has none.
  int on_match() const { return op == Op::kCondGroup ? b : Is(op == Op::kLookBegin, a); }
  int on_no_match() const { return op == Op::kCondGroup ? c : Is(op == Op::kLookBegin, b); }
  // kLookEnd: its begin node.
  int look_begin() const { return Is(op == Op::kLookEnd, a); }
  // kCondGroup: the capture number the condition tests.
  int condition_capture() const { return Is(op == Op::kCondGroup, a); }
  // kRecurse: the target's entry node and group-table index.
  int entry() const { return Is(op == Op::kRecurse, a); }
  int target() const { return Is(op == Op::kRecurse, b); }
  // kBoundary: which Boundary.
  int boundary() const { return Is(op == Op::kBoundary, a); }

 private:
  bool IsCharLoop() const { return op == Op::kCharLoop || op == Op::kCharLoopGroup; }
  static int Is(bool kind_fits, int operand) {
    assert(kind_fits && "operand read through the accessor of another kind");
    (void)kind_fits;
    return operand;
  }
};

// Where the matcher's memo (memo.h) keeps its visited bits for one node: the first of its rows
// (-1: the node is not memoized), the row of a character repeat's optional part (-1: none), and
// the repeats whose frames select the row (entries [keys, keys + key_count) of memo_keys).
struct NodeMemo {
  int row = -1;
  int opt_row = -1;
  int keys = 0;
  int key_count = 0;
};

// One repeat whose frame the outcome of a node inside it depends on: its frame is the
// `frame`-th on the loop stack; it adds (min(count, cap) * 2 + fresh) * mult to the row, fresh
// being whether the current iteration began at the current position (only when `fresh_matters`,
// else the digit is min(count, cap)).
struct MemoKey {
  int frame = 0;
  int cap = 0;
  int mult = 1;
  bool fresh_matters = false;
};

struct Program {
  explicit Program(std::pmr::memory_resource* arena)
      : nodes(arena), branches(arena), branch_sets(arena), group_entry(arena), follow(arena), memo(arena), memo_keys(arena) {}

  std::pmr::vector<Node> nodes;
  std::pmr::vector<int> branches;     // entry node of each alternation branch
  std::pmr::vector<int> branch_sets;  // per branch: set its first character must be in, or -1
  std::pmr::vector<int> group_entry;  // per group-table index: its kOpen node (-1 not emitted)
  int start = 0;                 // entry node of the whole pattern
  int first_set = -1;            // set a match's first character must be in, or -1
  bool right_to_left = false;
  int max_group = 0;
  // Per node, for greedy character repeats: the set the next character must be in for what
  // follows the repeat to match (-1: no such set), so giving back skips hopeless positions.
  std::pmr::vector<int> follow;
  // The memo plan (memo.h), made on first use through PlannedMemo.
  std::pmr::vector<NodeMemo> memo;     // per node, empty when the program is not memoized
  std::pmr::vector<MemoKey> memo_keys;
  int memo_rows = 0;                   // visited bits per text position; 0: no memo
  std::once_flag memo_planned;

  void Clear() {
    nodes.clear();
    branches.clear();
    branch_sets.clear();
    group_entry.clear();
    start = 0;
    first_set = -1;
    right_to_left = false;
    max_group = 0;
    follow.clear();
    memo.clear();
    memo_keys.clear();
    memo_rows = 0;
  }
};

// Backtrack entries carry node indices and capture numbers in 27 bits (matcher.cpp). A program
// that would need more nodes (a pattern of tens of millions of characters) is replaced by one
// that never matches rather than run with indices that do not fit.
inline constexpr size_t kMaxProgramNodes = size_t{1} << 26;

// Lowers `tree` into `program`; may add character sets to the tree.
void BuildProgram(ElementTree* tree, bool right_to_left, Program* program);

}  // namespace larkpost::regex_internal
