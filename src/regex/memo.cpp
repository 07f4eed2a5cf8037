#include "regex/memo.h"

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <mutex>
#include <utility>
#include <vector>

namespace larkpost::regex_internal {
namespace {

// The repeats around a node, as a chain of contexts: each adds one repeat inside its parent.
struct Context {
  int depth = 0;      // repeats around, transparent ones included: the loop-stack frame count
  int keys = 0;       // its keys in memo_keys: [keys, keys + key_count)
  int key_count = 0;
  int rows = 1;       // rows a node in this context needs; 0 when too many to memoize
};

// Whether a node reaches its successors only at the position it was reached at, or one step of
// it, once per visit.
bool StepsOnce(const Node& n) {
  switch (n.op) {
    case Op::kCharLoop:
    case Op::kCharLoopGroup:
      return n.min_count() == n.max_count();
    case Op::kLoopHead:
    case Op::kLoopTail:
    case Op::kAtomicEnd:  // each run of the group ends wherever its body ended
      return false;
    default:
      return true;
  }
}

// Whether a node of this kind takes a decision that backtracking may revisit.
bool MakesChoices(const Node& n) {
  switch (n.op) {
    case Op::kAlternation:
    case Op::kLoopHead:
      return true;
    case Op::kCharLoop:
    case Op::kCharLoopGroup:
      return n.min_count() != n.max_count();
    default:
      return false;
  }
}

class Planner {
 public:
  // Takes its working memory from `scratch` (compiling a pattern should not go to the heap for it).
  Planner(Program* program, std::pmr::memory_resource* scratch)
      : p_(*program), contexts_(scratch), context_of_(scratch), revisited_(scratch), todo_(scratch) {}

  void Run() {
    bool choices = false;
    for (const Node& n : p_.nodes) {
      if (n.op == Op::kBackReference || n.op == Op::kRecurse || n.op == Op::kCondGroup) return;
      choices = choices || MakesChoices(n);
    }
    if (!choices) return;  // one path per start: nothing to revisit
    contexts_.push_back(Context{});
    context_of_.assign(p_.nodes.size(), -1);
    Walk();
    FindRevisits();
    AssignRows();
  }

 private:
  // Gives every node reachable from the start the context of the repeats around it.
  void Walk() {
    std::pmr::vector<std::pair<int, int>>& todo = todo_;
    todo.emplace_back(p_.start, 0);
    while (!todo.empty()) {
      auto [k, c] = todo.back();
      todo.pop_back();
      if (k < 0 || context_of_[static_cast<size_t>(k)] >= 0) continue;
      context_of_[static_cast<size_t>(k)] = c;
      const Node& n = p_.nodes[static_cast<size_t>(k)];
      switch (n.op) {
        case Op::kMatchEnd:
        case Op::kFail:
        case Op::kLookEnd:   // its begin node names where matching goes on
        case Op::kLoopTail:  // goes back to its head, reached already
          break;
        case Op::kAlternation:
          for (int b = 0; b < n.branch_count(); ++b) todo.emplace_back(p_.branches[static_cast<size_t>(n.first_branch() + b)], c);
          break;
        case Op::kLoopHead:
          todo.emplace_back(n.next, c);
          todo.emplace_back(n.body(), Inside(c, n));
          break;
        case Op::kLookBegin:
          todo.emplace_back(n.next, c);
          todo.emplace_back(n.on_match(), c);
          todo.emplace_back(n.on_no_match(), c);
          break;
        default:
          todo.emplace_back(n.next, c);
          break;
      }
    }
  }

  // Calls `visit` with each node that matching may go to from node `n`.
  template <typename Visit>
  void Successors(const Node& n, Visit visit) const {
    switch (n.op) {
      case Op::kMatchEnd:
      case Op::kFail:
      case Op::kLookEnd:
        break;
      case Op::kLoopTail: {
        const Node& head = p_.nodes[static_cast<size_t>(n.head())];
        visit(n.head());
        visit(head.body());
        break;
      }
      case Op::kAlternation:
        for (int b = 0; b < n.branch_count(); ++b) visit(p_.branches[static_cast<size_t>(n.first_branch() + b)]);
        break;
      case Op::kLoopHead:
        visit(n.next);
        visit(n.body());
        break;
      case Op::kLookBegin:
        visit(n.next);
        visit(n.on_match());
        visit(n.on_no_match());
        break;
      default:
        visit(n.next);
        break;
    }
  }

  // Marks the nodes that one search may reach twice at one position and repeat state: those
  // with several ways in, and those after a node that goes on at many positions. Any other node
  // is reached once per visit of the one before it, so only these need bits.
  void FindRevisits() {
    std::pmr::vector<int> ways_in(p_.nodes.size(), 0, context_of_.get_allocator());
    revisited_.assign(p_.nodes.size(), 0);
    for (size_t k = 0; k < p_.nodes.size(); ++k) {
      if (context_of_[k] < 0) continue;
      const Node& n = p_.nodes[k];
      const bool once = StepsOnce(n);
      Successors(n, [&](int next) {
        if (next < 0) return;
        if (++ways_in[static_cast<size_t>(next)] > 1 || !once) revisited_[static_cast<size_t>(next)] = 1;
      });
    }
  }

  // The context of the body of repeat `head`, which stands in context `outer`.
  int Inside(int outer, const Node& head) {
    Context in = contexts_[static_cast<size_t>(outer)];
    const bool nullable = head.flags & kNodeNullableBody;
    const bool bounded = head.max_count() >= 0;
    in.depth = contexts_[static_cast<size_t>(outer)].depth + 1;
    // An unbounded repeat of at least 0 or 1 iterations whose body always consumes behaves alike
    // whatever its count and iteration start.
    if (!bounded && head.min_count() <= 1 && !nullable) return Add(in);
    const int64_t cap = bounded ? head.max_count() : head.min_count();
    const int64_t values = (cap + 1) * (nullable ? 2 : 1);
    const int64_t rows = static_cast<int64_t>(in.rows) * values;
    if (in.rows == 0 || rows > kMaxRowsPerNode) {
      in.rows = 0;
      return Add(in);
    }
    const int first = static_cast<int>(p_.memo_keys.size());
    for (int k = 0; k < in.key_count; ++k) {
      const MemoKey outer_key = p_.memo_keys[static_cast<size_t>(in.keys + k)];
      p_.memo_keys.push_back(outer_key);
    }
    MemoKey key;
    key.frame = in.depth - 1;
    key.cap = static_cast<int>(cap);
    key.mult = in.rows;
    key.fresh_matters = nullable;
    p_.memo_keys.push_back(key);
    in.keys = first;
    in.key_count += 1;
    in.rows = static_cast<int>(rows);
    return Add(in);
  }

  int Add(const Context& c) {
    contexts_.push_back(c);
    return static_cast<int>(contexts_.size()) - 1;
  }

  void AssignRows() {
    int64_t rows = 0;
    p_.memo.assign(p_.nodes.size(), NodeMemo{});
    for (size_t k = 0; k < p_.nodes.size(); ++k) {
      const Node& n = p_.nodes[k];
      const int c = context_of_[k];
      if (c < 0 || contexts_[static_cast<size_t>(c)].rows == 0) continue;
      // A repeat's head and tail read its own frame; reaching the end is success.
      if (n.op == Op::kLoopHead || n.op == Op::kLoopTail || n.op == Op::kMatchEnd || n.op == Op::kFail) continue;
      const Context& ctx = contexts_[static_cast<size_t>(c)];
      NodeMemo& m = p_.memo[k];
      m.keys = ctx.keys;
      m.key_count = ctx.key_count;
      if (revisited_[k]) {
        m.row = static_cast<int>(rows);
        rows += ctx.rows;
      }
      if ((n.op == Op::kCharLoop || n.op == Op::kCharLoopGroup) && n.max_count() < 0 && n.min_count() != n.max_count()) {
        m.opt_row = static_cast<int>(rows);
        rows += ctx.rows;
      }
      if (rows > static_cast<int64_t>(kMaxMemoBits)) {
        p_.memo.clear();
        p_.memo_keys.clear();
        return;
      }
    }
    p_.memo_rows = static_cast<int>(rows);
  }

  Program& p_;
  std::pmr::vector<Context> contexts_;
  std::pmr::vector<int> context_of_;
  std::pmr::vector<uint8_t> revisited_;
  std::pmr::vector<std::pair<int, int>> todo_;
};

void Plan(Program* program) {
  program->memo.clear();
  program->memo_keys.clear();
  program->memo_rows = 0;
  alignas(std::max_align_t) std::byte buffer[4096];
  std::pmr::monotonic_buffer_resource scratch(buffer, sizeof buffer);
  Planner(program, &scratch).Run();
}

}  // namespace

const Program& PlannedMemo(const Program& program) {
  // Only this call writes the plan, once; everything else reads it after the call returns.
  std::call_once(const_cast<Program&>(program).memo_planned, [&program] {
    Plan(const_cast<Program*>(&program));
  });
  return program;
}

}  // namespace larkpost::regex_internal
