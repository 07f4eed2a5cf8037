// The matching engine: one backtracking loop over the compiled program with its own stack.
// Longer than most files on purpose: Attempt, Backtrack, Unwind and the stack-entry layouts they
// share are one piece of logic (every choice point pushed here is popped there); split across
// files, each half would be unreadable without the other.
#include "regex/matcher.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>

#include "regex/memo.h"
#include "regex/tokenizer.h"

namespace larkpost::regex_internal {
namespace {

// Whether `len` bytes at `s` equal those at `t`, ASCII letters without case when asked.
inline bool SameBytes(const unsigned char* s, const unsigned char* t, int len, bool ignoreCase) {
  if (ignoreCase) {
    for (int k = 0; k < len; ++k) {
      if (AsciiLower(s[k]) != AsciiLower(t[k])) return false;
    }
    return true;
  }
  for (int k = 0; k < len; ++k) {
    if (s[k] != t[k]) return false;
  }
  return true;
}

// Backtrack-stack entries. Each is a few ints with a tag word on top: (argument << kTagBits) | tag,
// the argument being a node index or capture number. Layouts, bottom to top:
enum Tag : unsigned {
  kChoiceAlt,         // [pos, branch, node]       try that branch of the alternation at pos
  kChoiceLoopExit,    // [pos, head]                leave the repeat at pos
  kChoiceLoopNext,    // [count, start, pos, head]  leave at pos; then the frame was (count, start)
  kChoiceLoopMore,    // [pos, head]                lazy: run one more iteration from pos
  kChoiceCharGreedy,  // [min_pos, pos, node]       give back one character (stops at min_pos)
  kChoiceCharLazy,    // [from, pos, node]          take one more character
  kChoiceCharGroup,   // [min_pos, pos, node]       as kChoiceCharGreedy, moving the group's record;
                      //                            sits on the kUndoOpen of the group's old record
  kBarrier,           // [pos, node]                an atomic group or look-around began at pos
  kUndoLoopInit,      // [tag]                      pop the repeat's frame
  kUndoLoopExit,      // [count, start]             push the repeat's frame back
  kUndoLoopSet,       // [count, start]             reset the top frame
  kUndoOpen,          // [first, second, group]     the group's previous record
  kUndoOpenNest,      // [group]                    one re-entry less
  kUndoClose,         // [group]                    reopen
  kUndoCloseNest,     // [group]                    one re-entry more
  kUndoCall,          // [target]                   drop the return frame
  kUndoReturn,        // [ret, old_last, call_pos, target]  push the return frame back
  kTagCount
};
constexpr unsigned kTagBits = 5;
constexpr unsigned kTagMask = (1u << kTagBits) - 1;
static_assert(kTagCount <= (1u << kTagBits), "every tag fits in the tag bits");
// The argument takes the remaining bits of a non-negative int.
static_assert(kMaxProgramNodes <= (size_t{1} << (31 - kTagBits)), "node indices fit beside the tag");

// Ints per entry, the tag word included, in Tag order. A tag without its size would read as 0.
constexpr std::array<int, kTagCount> kEntrySize = {3, 2, 4, 2, 3, 3, 3, 2, 1, 3, 3, 3, 1, 1, 1, 1, 4};
constexpr bool EveryTagHasItsSize() {
  for (int size : kEntrySize)
    if (size < 1) return false;
  return true;
}
static_assert(EveryTagHasItsSize(), "kEntrySize names the size of every tag");

constexpr bool IsUndo(unsigned tag) { return tag >= kUndoLoopInit; }
constexpr int Word(int arg, Tag tag) { return static_cast<int>((static_cast<unsigned>(arg) << kTagBits) | tag); }
constexpr unsigned TagOf(int word) { return static_cast<unsigned>(word) & kTagMask; }
constexpr int ArgOf(int word) { return static_cast<int>(static_cast<unsigned>(word) >> kTagBits); }

// Ints per record of the other stacks.
constexpr int kNoPosition = INT_MIN;

// Steps (nodes run, characters scanned) per text position a search takes without the memo. Typical searches end well
// before; one that runs longer takes the memo up, so all searches stay linear in the text.
constexpr int64_t kStepsPerCharBeforeMemo = 4;

constexpr size_t kLoopStride = 2;     // loops_:    count, iteration start
constexpr size_t kFrameStride = 4;    // frames_:   target, return node, previous last call, call position
constexpr size_t kCaptureStride = 3;  // captures_: first position, second position (-1 open), nesting

inline bool IsWordChar(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

class Engine {
 public:
  Engine(const Program& program, const ElementTree& tree, std::string_view text, int begin, MatchStacks& stacks,
         bool memo_from_start, uint64_t step_limit)
      : prog_(program),
        nodes_(program.nodes.data()),
        sets_(tree.sets.data()),
        strings_(tree.strings.data()),
        text_(reinterpret_cast<const unsigned char*>(text.data())),
        length_(static_cast<int>(text.size())),
        begin_(begin),
        bt_(stacks.backtrack),
        loops_(stacks.loops),
        frames_(stacks.frames),
        barriers_(stacks.barriers),
        captures_(stacks.captures),
        last_call_(stacks.last_call),
        scratch_(stacks.scratch),
        memo_(stacks.memo),
        memo_log_(stacks.memo_log),
        memo_marks_(stacks.memo_marks) {
    // Without progress checks an unbounded chain of recursions could only grow; no chain that
    // makes progress is deeper than one call per group and position.
    int64_t limit = (static_cast<int64_t>(length_) + 2) * static_cast<int64_t>(program.group_entry.size() + 1);
    recursion_limit_ = limit > INT_MAX / 8 ? INT_MAX / 8 : static_cast<int>(limit);
    // A short match stays within one allocation of each stack.
    if (bt_.capacity() < 256) bt_.reserve(256);
    if (loops_.capacity() < 16) loops_.reserve(16);
    captures_.assign(static_cast<size_t>(program.max_group + 1) * kCaptureStride, -1);
    last_call_.assign(program.group_entry.size(), -1);
    steps_before_memo_ = memo_from_start ? 0 : kStepsPerCharBeforeMemo * (static_cast<int64_t>(length_) + 1);
    memo_log_.clear();
    memo_marks_.clear();
    steps_left_ = step_limit > 0 ? step_limit : UINT64_MAX;
  }

  bool Attempt(int start, int* end);
  // The search ran out of steps (MatchState::SetStepLimit): the Attempt that reached the limit
  // and every later one fail.
  bool StepLimitReached() const { return steps_left_ == 0; }
  void Result(PatternMatch* match) const;

 private:
  int MemoRow(int first, const NodeMemo& m, int pos) const;
  bool FirstVisit(int row, int pos);
  bool FirstVisitOf(int pc, int pos) {
    const NodeMemo& m = prog_.memo[static_cast<size_t>(pc)];
    return m.row < 0 || FirstVisit(MemoRow(m.row, m, pos), pos);
  }
  // The row of the optional part of character repeat `pc` at `pos`, or -1 when it has none.
  int OptRow(int pc, int pos) const {
    if (memo_rows_ == 0) return -1;  // not taken up (yet)
    const NodeMemo& m = prog_.memo[static_cast<size_t>(pc)];
    return m.opt_row < 0 ? -1 : MemoRow(m.opt_row, m, pos);
  }
  void BeginBody() {
    memo_marks_.push_back(memo_log_.size());
  }
  void EndBody();
  void TakeUpMemo();
  bool TakeChars(int pc, int max, int* pos, int* taken);
  int GiveBack(int pc, int pos, int min_pos);
  int GiveBackOne(int pc, size_t top);
  bool Backtrack(int* pc, int* pos);
  void PopUndo(unsigned tag, int arg);
  void ExitLoop();
  int Return();
  void Cut();
  void Unwind();
  int NextBranch(const Node& n, int from, int pos) const;
  bool TestBoundary(int which, int pos) const;
  bool CharAt(int pos, bool rtl, int* c) const {
    if (rtl) {
      if (pos <= 0) return false;
      *c = text_[pos - 1];
    } else {
      if (pos >= length_) return false;
      *c = text_[pos];
    }
    return true;
  }
  int* Capture(int group) { return &captures_[static_cast<size_t>(group) * kCaptureStride]; }
  void Push(int a) { bt_.push_back(a); }
  void Push(int a, int b) {
    bt_.push_back(a);
    bt_.push_back(b);
  }
  void Push(int a, int b, int c) {
    bt_.push_back(a);
    bt_.push_back(b);
    bt_.push_back(c);
  }
  void Push(int a, int b, int c, int d) {
    bt_.push_back(a);
    bt_.push_back(b);
    bt_.push_back(c);
    bt_.push_back(d);
  }

  const Program& prog_;
  const Node* nodes_;
  const CharSet* sets_;
  const char* strings_;
  const unsigned char* text_;
  int length_;
  int begin_;
  int recursion_limit_;
  std::vector<int>& bt_;
  std::vector<int>& loops_;
  std::vector<int>& frames_;  // [target, return node, previous last call, call position]
  std::vector<size_t>& barriers_;
  std::vector<int>& captures_;  // per group: first, second (-1 while open), nesting
  std::vector<int>& last_call_;
  std::vector<size_t>& scratch_;
  std::vector<uint64_t>& memo_;
  std::vector<size_t>& memo_log_;
  std::vector<size_t>& memo_marks_;
  int memo_rows_ = 0;  // rows in use; 0 until the memo is taken up, or when it cannot be
  int64_t steps_before_memo_ = 0;
  uint64_t steps_left_ = UINT64_MAX;  // nodes this search may still run
};

bool Engine::Attempt(int start, int* end) {
  if (StepLimitReached()) return false;  // the search is over
  bt_.clear();
  loops_.clear();
  frames_.clear();
  barriers_.clear();
  std::fill(captures_.begin(), captures_.end(), -1);
  for (size_t k = kCaptureStride - 1; k < captures_.size(); k += kCaptureStride) captures_[k] = 0;  // nesting
  std::fill(last_call_.begin(), last_call_.end(), -1);
  captures_[0] = start;

  int pc = prog_.start;
  int pos = start;
  for (;;) {
    if (--steps_left_ == 0) return false;
    const Node& n = nodes_[pc];
    const bool rtl = n.flags & kNodeRightToLeft;
    // Explored before in this search and failed there (memo.h): fail at once. Short searches
    // end before the memo pays for itself; it is taken up once a search runs long.
    if (memo_rows_ > 0) {
      if (!FirstVisitOf(pc, pos)) {
        if (!Backtrack(&pc, &pos)) return false;
        continue;
      }
    } else if (--steps_before_memo_ < 0) {
      TakeUpMemo();
    }
    switch (n.op) {
      case Op::kMatchEnd:
        if (!frames_.empty() && frames_[frames_.size() - kFrameStride] == 0) {
          pc = Return();
          continue;
        }
        *end = pos;
        return true;

      case Op::kFail:
        break;

      case Op::kLiteral: {
        const int len = n.literal_length();
        int from = rtl ? pos - len : pos;
        if (from < 0 || from + len > length_) break;
        const unsigned char* s = reinterpret_cast<const unsigned char*>(strings_ + n.literal_offset());
        if (!SameBytes(s, text_ + from, len, n.flags & kNodeIgnoreCase)) break;
        pos = rtl ? from : pos + len;
        pc = n.next;
        continue;
      }

      case Op::kClass: {
        int c;
        if (!CharAt(pos, rtl, &c) || !sets_[n.set()].Has(c)) break;
        pos += rtl ? -1 : 1;
        pc = n.next;
        continue;
      }

      case Op::kAlternation: {
        int first = NextBranch(n, 0, pos);
        if (first < 0) break;
        int second = NextBranch(n, first + 1, pos);
        if (second >= 0) Push(pos, second, Word(pc, kChoiceAlt));
        pc = prog_.branches[static_cast<size_t>(n.first_branch() + first)];
        continue;
      }

      case Op::kOpen: {
        int* rec = Capture(n.capture());
        if (rec[0] >= 0 && rec[1] < 0) {
          // A recursion re-entering a group that is still open: the outer record stays.
          ++rec[2];
          Push(Word(n.capture(), kUndoOpenNest));
        } else {
          Push(rec[0], rec[1], Word(n.capture(), kUndoOpen));
          rec[0] = pos;
          rec[1] = -1;
        }
        pc = n.next;
        continue;
      }

      case Op::kClose: {
        int* rec = Capture(n.capture());
        if (rec[2] > 0) {
          --rec[2];
          Push(Word(n.capture(), kUndoCloseNest));
        } else {
          rec[1] = pos;
          Push(Word(n.capture(), kUndoClose));
        }
        if (!frames_.empty() && frames_[frames_.size() - kFrameStride] == n.group_index()) {
          pc = Return();
        } else {
          pc = n.next;
        }
        continue;
      }

      case Op::kLoopInit:
        loops_.push_back(0);
        loops_.push_back(pos);
        Push(Word(0, kUndoLoopInit));
        pc = n.next;
        continue;

      case Op::kLoopHead: {
        int count = loops_[loops_.size() - 2];
        if (count < n.min_count()) {
          pc = n.body();
          continue;
        }
        if (n.max_count() >= 0 && count >= n.max_count()) {
          ExitLoop();
          pc = n.next;
          continue;
        }
        if (n.flags & kNodeLazy) {
          Push(pos, Word(pc, kChoiceLoopMore));
          ExitLoop();
          pc = n.next;
          continue;
        }
        Push(pos, Word(pc, kChoiceLoopExit));
        pc = n.body();
        continue;
      }

      case Op::kLoopTail: {
        const Node& head = nodes_[n.head()];
        size_t top = loops_.size();
        int count = loops_[top - 2];
        int start_pos = loops_[top - 1];
        // An iteration beyond the minimum that consumed nothing is not counted: fail it.
        if (count >= head.min_count() && pos == start_pos) break;
        int next_count = count + 1;
        loops_[top - 2] = next_count;
        loops_[top - 1] = pos;
        if (!(head.flags & kNodeLazy) && next_count >= head.min_count() && (head.max_count() < 0 || next_count < head.max_count())) {
          Push(count, start_pos, pos, Word(n.head(), kChoiceLoopNext));
          pc = head.body();
        } else {
          Push(count, start_pos, Word(0, kUndoLoopSet));
          pc = n.head();
        }
        continue;
      }

      case Op::kCharLoop: {
        const int max = n.max_count() < 0 ? INT_MAX : n.max_count();
        const int step = rtl ? -1 : 1;
        int p = pos, k = 0;
        if (!TakeChars(pc, (n.flags & kNodeLazy) ? n.min_count() : max, &p, &k)) break;
        if (n.flags & kNodeLazy) {
          if (k < max) Push(pos, p, Word(pc, kChoiceCharLazy));
        } else if (k > n.min_count()) {
          Push(pos + step * n.min_count(), p, Word(pc, kChoiceCharGreedy));
        }
        pos = p;
        pc = n.next;
        continue;
      }

      case Op::kCharLoopGroup: {
        const int max = n.max_count() < 0 ? INT_MAX : n.max_count();
        const int step = rtl ? -1 : 1;
        int p = pos, k = 0;
        if (!TakeChars(pc, max, &p, &k)) break;
        int* rec = Capture(n.capture());
        Push(rec[0], rec[1], Word(n.capture(), kUndoOpen));
        if (k > 0) {
          rec[0] = p - step;  // the last iteration: one character
          rec[1] = p;
        }
        if (k > n.min_count()) Push(pos + step * n.min_count(), p, Word(pc, kChoiceCharGroup));
        pos = p;
        pc = n.next;
        continue;
      }

      case Op::kAtomicBegin:
      case Op::kLookBegin:
        Push(pos, Word(pc, kBarrier));
        barriers_.push_back(bt_.size());
        BeginBody();
        pc = n.next;
        continue;

      case Op::kAtomicEnd:
        Cut();
        pc = n.next;
        continue;

      case Op::kLookEnd: {
        const Node& begin = nodes_[n.look_begin()];
        pos = bt_[barriers_.back() - 2];
        if (begin.flags & kNodeNegate) {
          Unwind();
        } else {
          Cut();
        }
        if (begin.on_match() < 0) break;
        pc = begin.on_match();
        continue;
      }

      case Op::kCondGroup: {
        bool has = n.condition_capture() <= prog_.max_group && Capture(n.condition_capture())[0] >= 0;
        pc = has ? n.on_match() : n.on_no_match();
        continue;
      }

      case Op::kRecurse: {
        int target = n.target();
        if (last_call_[static_cast<size_t>(target)] == pos) break;  // no progress since the last call
        if (static_cast<int>(frames_.size() / kFrameStride) >= recursion_limit_) break;
        frames_.push_back(target);
        frames_.push_back(n.next);
        frames_.push_back(last_call_[static_cast<size_t>(target)]);
        frames_.push_back(pos);
        last_call_[static_cast<size_t>(target)] = pos;
        Push(Word(target, kUndoCall));
        pc = n.entry();
        continue;
      }

      case Op::kBackReference: {
        if (n.capture() > prog_.max_group) break;
        const int* rec = Capture(n.capture());
        if (rec[0] < 0) break;
        int second = rec[1] < 0 ? pos : rec[1];  // a group still open: its text so far
        int from = std::min(rec[0], second), len = std::max(rec[0], second) - from;
        int at = rtl ? pos - len : pos;
        if (at < 0 || at + len > length_) break;
        if (!SameBytes(text_ + from, text_ + at, len, n.flags & kNodeIgnoreCase)) break;
        pos = rtl ? at : pos + len;
        pc = n.next;
        continue;
      }

      case Op::kBoundary:
        if (!TestBoundary(n.boundary(), pos)) break;
        pc = n.next;
        continue;
    }
    if (!Backtrack(&pc, &pos)) return false;
  }
}

// Takes up to `max` characters of repeat `pc`'s set from *pos on, its minimum first. Where its
// optional part has a memo row, the scan stops before a position explored earlier (everything
// from there on failed then) and fails when its first optional position was. False when fewer
// than the minimum were there.
bool Engine::TakeChars(int pc, int max, int* pos, int* taken) {
  const Node& n = nodes_[pc];
  const CharSet& set = sets_[n.set()];
  const bool rtl = n.flags & kNodeRightToLeft;
  const int step = rtl ? -1 : 1;
  const int min = std::min(n.min_count(), max);
  int p = *pos, k = 0, c;
  while (k < min && CharAt(p, rtl, &c) && set.Has(c)) {
    p += step;
    ++k;
  }
  if (k < min) return false;
  if (k < max) {
    int row = OptRow(pc, p);
    if (row >= 0) {
      if (!FirstVisit(row, p)) return false;
      row = OptRow(pc, -1);  // further on no iteration of an enclosing repeat began
    }
    while (k < max && CharAt(p, rtl, &c) && set.Has(c)) {
      if (row >= 0 && !FirstVisit(row, p + step)) break;
      p += step;
      ++k;
    }
  }
  steps_before_memo_ -= k;  // characters scanned count as steps
  *pos = p;
  *taken = k;
  return true;
}

// The next position, giving back characters of greedy repeat `pc` from `pos` on but not past
// `min_pos`, at which what follows the repeat can begin; kNoPosition when there is none.
int Engine::GiveBack(int pc, int pos, int min_pos) {
  const Node& n = nodes_[pc];
  const bool rtl = n.flags & kNodeRightToLeft;
  const int step = rtl ? -1 : 1;
  const int follow = prog_.follow[static_cast<size_t>(pc)];
  int p = pos - step;
  if (follow < 0) return p;
  const CharSet& set = sets_[follow];
  for (int c;; p -= step) {
    --steps_before_memo_;  // positions passed over count as steps
    if (CharAt(p, rtl, &c) && set.Has(c)) return p;
    if (p == min_pos) return kNoPosition;
  }
}

// One give-back of the greedy repeat `pc` whose entry [min_pos, pos, node] ends at `top`: the
// position to go on from, the entry keeping it (or popped once min_pos is reached); kNoPosition,
// the entry popped, when no position is left.
inline int Engine::GiveBackOne(int pc, size_t top) {
  const int min_pos = bt_[top - 3];
  const int p = GiveBack(pc, bt_[top - 2], min_pos);
  if (p == kNoPosition || p == min_pos) {
    bt_.resize(top - 3);
  } else {
    bt_[top - 2] = p;
  }
  return p;
}

int Engine::MemoRow(int first, const NodeMemo& m, int pos) const {
  int row = first;
  for (int k = 0; k < m.key_count; ++k) {
    const MemoKey& key = prog_.memo_keys[static_cast<size_t>(m.keys + k)];
    const size_t frame = static_cast<size_t>(key.frame) * kLoopStride;
    const int count = std::min(loops_[frame], key.cap);
    const int digit = key.fresh_matters ? count * 2 + (loops_[frame + 1] == pos ? 1 : 0) : count;
    row += digit * key.mult;
  }
  return row;
}

inline bool Engine::FirstVisit(int row, int pos) {
  const size_t bit = static_cast<size_t>(pos) * static_cast<size_t>(memo_rows_) + static_cast<size_t>(row);
  uint64_t& word = memo_[bit >> 6];
  const uint64_t mask = uint64_t{1} << (bit & 63);
  if (word & mask) return false;
  word |= mask;
  if (!memo_marks_.empty()) memo_log_.push_back(bit);
  return true;
}

// From now on in this search, each state is explored once (memo.h); a program without a memo
// plan, or a text too long for its memo, goes on without.
void Engine::TakeUpMemo() {
  steps_before_memo_ = INT64_MAX;
  const Program& planned = PlannedMemo(prog_);
  const size_t bits = static_cast<size_t>(planned.memo_rows) * (static_cast<size_t>(length_) + 1);
  if (planned.memo_rows == 0 || bits > kMaxMemoBits) return;
  memo_.assign((bits + 63) / 64, 0);
  memo_rows_ = planned.memo_rows;
}

// A run of an atomic group or look-around ended: what its body explored holds no longer.
void Engine::EndBody() {
  const size_t mark = memo_marks_.back();
  memo_marks_.pop_back();
  for (size_t k = mark; k < memo_log_.size(); ++k) {
    memo_[memo_log_[k] >> 6] &= ~(uint64_t{1} << (memo_log_[k] & 63));
  }
  memo_log_.resize(mark);
}

int Engine::NextBranch(const Node& n, int from, int pos) const {
  bool rtl = n.flags & kNodeRightToLeft;
  int c = -1;
  bool have = CharAt(pos, rtl, &c);
  for (int k = from; k < n.branch_count(); ++k) {
    int set = prog_.branch_sets[static_cast<size_t>(n.first_branch() + k)];
    if (set < 0 || (have && sets_[set].Has(c))) return k;
  }
  return -1;
}

bool Engine::TestBoundary(int which, int pos) const {
  using B = regex_internal::Boundary;
  const int L = length_;
  int before = pos > 0 ? text_[pos - 1] : -1;
  int after = pos < L ? text_[pos] : -1;
  switch (static_cast<B>(which)) {
    case B::kTextStart: return pos == 0;
    case B::kLineStart: return pos == 0 || before == '\n' || (before == '\r' && after != '\n');
    case B::kTextEnd: return pos == L;
    case B::kLineEnd: return pos == L || after == '\r' || (after == '\n' && before != '\r');
    case B::kTextEndNewline:
      return pos == L || (L >= 1 && text_[L - 1] == '\n' && pos == L - 1) ||
             (L >= 2 && text_[L - 2] == '\r' && text_[L - 1] == '\n' && pos == L - 2);
    case B::kWord: return IsWordChar(before) != IsWordChar(after);
    case B::kNotWord: return IsWordChar(before) == IsWordChar(after);
    case B::kSearchStart: return pos == begin_;
  }
  return false;
}

void Engine::ExitLoop() {
  size_t top = loops_.size();
  Push(loops_[top - 2], loops_[top - 1], Word(0, kUndoLoopExit));
  loops_.resize(top - kLoopStride);
}

int Engine::Return() {
  size_t f = frames_.size() - kFrameStride;
  int target = frames_[f], ret = frames_[f + 1], old_last = frames_[f + 2], call_pos = frames_[f + 3];
  frames_.resize(f);
  last_call_[static_cast<size_t>(target)] = old_last;
  Push(ret, old_last, call_pos, Word(target, kUndoReturn));
  return ret;
}

void Engine::PopUndo(unsigned tag, int arg) {
  size_t top = bt_.size();
  switch (tag) {
    case kUndoLoopInit:
      loops_.resize(loops_.size() - kLoopStride);
      break;
    case kUndoLoopExit:
      loops_.push_back(bt_[top - 3]);
      loops_.push_back(bt_[top - 2]);
      break;
    case kUndoLoopSet:
      loops_[loops_.size() - 2] = bt_[top - 3];
      loops_[loops_.size() - 1] = bt_[top - 2];
      break;
    case kUndoOpen: {
      int* rec = Capture(arg);
      rec[0] = bt_[top - 3];
      rec[1] = bt_[top - 2];
      break;
    }
    case kUndoOpenNest:
      --Capture(arg)[2];
      break;
    case kUndoClose:
      Capture(arg)[1] = -1;
      break;
    case kUndoCloseNest:
      ++Capture(arg)[2];
      break;
    case kUndoCall:
      last_call_[static_cast<size_t>(arg)] = frames_[frames_.size() - 2];
      frames_.resize(frames_.size() - kFrameStride);
      break;
    case kUndoReturn:
      frames_.push_back(arg);
      frames_.push_back(bt_[top - 4]);
      frames_.push_back(bt_[top - 3]);
      frames_.push_back(bt_[top - 2]);
      last_call_[static_cast<size_t>(arg)] = bt_[top - 2];
      break;
    default:
      break;
  }
  bt_.resize(top - static_cast<size_t>(kEntrySize[tag]));
}

bool Engine::Backtrack(int* pc, int* pos) {
  for (;;) {
    if (bt_.empty()) return false;
    const size_t top = bt_.size();
    const unsigned word = static_cast<unsigned>(bt_[top - 1]);
    const unsigned tag = TagOf(static_cast<int>(word));
    const int arg = ArgOf(static_cast<int>(word));
    switch (tag) {
      case kChoiceAlt: {
        const Node& n = nodes_[arg];
        int at = bt_[top - 3], branch = bt_[top - 2];
        int next = NextBranch(n, branch + 1, at);
        if (next >= 0) {
          bt_[top - 2] = next;
        } else {
          bt_.resize(top - 3);
        }
        *pos = at;
        *pc = prog_.branches[static_cast<size_t>(n.first_branch() + branch)];
        return true;
      }
      case kChoiceLoopExit:
        *pos = bt_[top - 2];
        bt_.resize(top - 2);
        ExitLoop();
        *pc = nodes_[arg].next;
        return true;
      case kChoiceLoopNext: {
        int count = bt_[top - 4], start_pos = bt_[top - 3];
        *pos = bt_[top - 2];
        bt_.resize(top - 4);
        loops_.resize(loops_.size() - kLoopStride);
        Push(count, start_pos, Word(0, kUndoLoopExit));
        *pc = nodes_[arg].next;
        return true;
      }
      case kChoiceLoopMore:
        *pos = bt_[top - 2];
        bt_.resize(top - 2);
        *pc = nodes_[arg].body();
        return true;
      case kChoiceCharGreedy: {
        const int p = GiveBackOne(arg, top);
        if (p == kNoPosition) continue;
        *pos = p;
        *pc = nodes_[arg].next;
        return true;
      }
      case kChoiceCharLazy: {
        const Node& n = nodes_[arg];
        const bool rtl = n.flags & kNodeRightToLeft;
        int from = bt_[top - 3], p = bt_[top - 2], c;
        if (!CharAt(p, rtl, &c) || !sets_[n.set()].Has(c)) {
          bt_.resize(top - 3);
          continue;
        }
        p += rtl ? -1 : 1;
        // Taking this character was explored before (memo.h).
        if (const int row = OptRow(arg, p); row >= 0 && !FirstVisit(row, p)) {
          bt_.resize(top - 3);
          continue;
        }
        int count = rtl ? from - p : p - from;
        if (n.max_count() >= 0 && count >= n.max_count()) {
          bt_.resize(top - 3);
        } else {
          bt_[top - 2] = p;
        }
        *pos = p;
        *pc = n.next;
        return true;
      }
      case kChoiceCharGroup: {
        const Node& n = nodes_[arg];
        const int step = (n.flags & kNodeRightToLeft) ? -1 : 1;
        const int min_pos = bt_[top - 3];
        const int p = GiveBackOne(arg, top);
        if (p == kNoPosition) continue;  // the kUndoOpen below restores the group's old record
        int* rec = Capture(n.capture());
        if (p == min_pos && n.min_count() == 0) {
          // No iteration left: the group's record from before the repeat, kept by the kUndoOpen
          // entry right below this one.
          const size_t below = top - 3;
          rec[0] = bt_[below - 3];
          rec[1] = bt_[below - 2];
        } else {
          rec[0] = p - step;
          rec[1] = p;
        }
        *pos = p;
        *pc = n.next;
        return true;
      }
      case kBarrier: {
        // The sub-pattern of an atomic group or look-around failed.
        int at = bt_[top - 2];
        bt_.resize(top - 2);
        barriers_.pop_back();
        EndBody();
        const Node& n = nodes_[arg];
        if (n.op == Op::kLookBegin && n.on_no_match() >= 0) {
          *pos = at;
          *pc = n.on_no_match();
          return true;
        }
        continue;
      }
      default:
        PopUndo(tag, arg);
        continue;
    }
  }
}

// The sub-pattern above the newest barrier succeeded: drop its choice points and the barrier,
// keep its undo records (moved down over the barrier) so later backtracking still undoes it.
void Engine::Cut() {
  const size_t base = barriers_.back();
  barriers_.pop_back();
  EndBody();
  scratch_.clear();
  size_t top = bt_.size();
  while (top > base) {
    scratch_.push_back(top);  // the end of an entry
    top -= static_cast<size_t>(kEntrySize[TagOf(bt_[top - 1])]);
  }
  size_t write = base - 2;
  for (size_t k = scratch_.size(); k-- > 0;) {
    size_t end = scratch_[k];
    unsigned tag = TagOf(bt_[end - 1]);
    size_t size = static_cast<size_t>(kEntrySize[tag]);
    if (!IsUndo(tag)) continue;
    for (size_t i = end - size; i < end; ++i) bt_[write++] = bt_[i];
  }
  bt_.resize(write);
}

// The sub-pattern above the newest barrier matched but must leave nothing behind: undo it all.
void Engine::Unwind() {
  const size_t base = barriers_.back();
  barriers_.pop_back();
  EndBody();
  while (bt_.size() > base) {
    size_t top = bt_.size();
    unsigned word = static_cast<unsigned>(bt_[top - 1]);
    unsigned tag = TagOf(static_cast<int>(word));
    if (IsUndo(tag)) {
      PopUndo(tag, ArgOf(static_cast<int>(word)));
    } else {
      bt_.resize(top - static_cast<size_t>(kEntrySize[tag]));
    }
  }
  bt_.resize(base - 2);
}

void Engine::Result(PatternMatch* match) const {
  const int max_group = prog_.max_group;
  match->values.resize(2 + 2 * static_cast<size_t>(max_group + 1));
  match->values[0] = 1;
  match->values[1] = max_group;
  for (int g = 0; g <= max_group; ++g) {
    const int* rec = &captures_[static_cast<size_t>(g) * kCaptureStride];
    int s = -1, e = -1;
    if (rec[0] >= 0 && rec[1] >= 0) {
      s = std::min(rec[0], rec[1]);
      e = std::max(rec[0], rec[1]);
    }
    match->values[2 + 2 * static_cast<size_t>(g)] = s;
    match->values[3 + 2 * static_cast<size_t>(g)] = e;
  }
}

}  // namespace

namespace {

// Keeps a match state's stacks for the next call unless they grew large, so one long match does
// not leave its memory with the thread.
template <typename Vector>
void Trim(Vector* v) {
  constexpr size_t kKeep = 1 << 14;
  if (v->capacity() > kKeep) Vector().swap(*v);
}

}  // namespace

PatternMatch Matcher::Search(const Program& program, const ElementTree& tree, std::string_view text, int start,
                             MatchState* state, bool memo_from_start) {
  // Without a state from the caller, each thread reuses one of its own: matching never calls out
  // of the matcher, so one call at a time uses it.
  static thread_local MatchState per_thread;
  MatchState& s = state != nullptr ? *state : per_thread;
  PatternMatch match = Run(program, tree, text, start, &s.stacks_, memo_from_start,
                           state != nullptr ? s.step_limit_ : 0, &s.step_limit_reached_);
  if (state == nullptr) {
    MatchStacks& k = s.stacks_;
    Trim(&k.backtrack);
    Trim(&k.loops);
    Trim(&k.frames);
    Trim(&k.barriers);
    Trim(&k.captures);
    Trim(&k.last_call);
    Trim(&k.scratch);
    Trim(&k.memo);
    Trim(&k.memo_log);
    Trim(&k.memo_marks);
  }
  return match;
}

PatternMatch Matcher::Run(const Program& program, const ElementTree& tree, std::string_view text, int start,
                          MatchStacks* stacks, bool memo_from_start, uint64_t step_limit,
                          bool* limit_reached) {
  Engine engine(program, tree, text, start, *stacks, memo_from_start, step_limit);
  *limit_reached = false;
  const int length = static_cast<int>(text.size());
  const auto* chars = reinterpret_cast<const unsigned char*>(text.data());
  const CharSet* first = program.first_set >= 0 ? &tree.sets[static_cast<size_t>(program.first_set)] : nullptr;
  PatternMatch match;
  int end = 0;
  if (!program.right_to_left) {
    for (int p = start; p <= length; ++p) {
      if (first != nullptr && (p == length || !first->Has(chars[p]))) continue;
      if (engine.Attempt(p, &end)) {
        stacks->captures[1] = end;
        engine.Result(&match);
        return match;
      }
    }
  } else {
    for (int p = start; p >= 0; --p) {
      if (first != nullptr && (p == 0 || !first->Has(chars[p - 1]))) continue;
      if (engine.Attempt(p, &end)) {
        stacks->captures[1] = end;
        engine.Result(&match);
        return match;
      }
    }
  }
  *limit_reached = engine.StepLimitReached();
  return match;
}

}  // namespace larkpost::regex_internal
