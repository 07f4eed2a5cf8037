#include "regex/program.h"

#include "regex/tokenizer.h"

namespace larkpost::regex_internal {
namespace {

class Builder {
 public:
  Builder(ElementTree* tree, Program* program)
      : t_(*tree), p_(*program), recursions_(program->nodes.get_allocator()) {}

  void Run(bool right_to_left) {
    p_.Clear();
    p_.right_to_left = right_to_left;
    p_.max_group = t_.max_group;
    p_.group_entry.assign(t_.groups.size(), -1);
    int end = NewNode(Op::kMatchEnd, 0);
    p_.start = t_.root < 0 ? end : Emit(t_.root, end);
    if (t_.root >= 0) {
      CharSet first;
      if (FirstSet(t_.root, &first)) p_.first_set = AddSet(first);
    }
    // Recursions may name groups that were emitted later, or never (a group repeated {0}
    // times); the latter are emitted on their own, reachable only by recursion.
    int fail = -1;
    for (size_t k = 0; k < recursions_.size(); ++k) {
      Node& r = p_.nodes[static_cast<size_t>(recursions_[k])];
      int target = r.b;
      if (target == 0) {
        r.a = p_.start;
        continue;
      }
      if (p_.group_entry[static_cast<size_t>(target)] < 0) {
        if (fail < 0) fail = NewNode(Op::kFail, 0);
        Emit(t_.groups[static_cast<size_t>(target)].element, fail);
      }
      p_.nodes[static_cast<size_t>(recursions_[k])].a = p_.group_entry[static_cast<size_t>(target)];
    }
    if (p_.nodes.size() > kMaxProgramNodes || static_cast<size_t>(p_.max_group) > kMaxProgramNodes) {
      p_.Clear();
      p_.nodes.push_back(Node{});  // kFail
      p_.group_entry.assign(t_.groups.size(), -1);
      p_.max_group = t_.max_group;
    }
    FindFollowSets();
  }

 private:
  int NewNode(Op op, int next, int a = 0, int b = 0, int c = 0, uint8_t flags = 0) {
    Node n;
    n.op = op;
    n.next = next;
    n.a = a, n.b = b, n.c = c;
    n.flags = flags;
    p_.nodes.push_back(n);
    return static_cast<int>(p_.nodes.size()) - 1;
  }
  Node& At(int k) { return p_.nodes[static_cast<size_t>(k)]; }

  int AddSet(const CharSet& s) {
    t_.sets.push_back(s);
    return static_cast<int>(t_.sets.size()) - 1;
  }

  // Child k of a sequence or alternation.
  int Child(const Element& e, int k) const { return t_.children[static_cast<size_t>(e.first_child() + k)]; }

  static uint8_t Direction(const Element& e) { return (e.flags & kElemRightToLeft) ? kNodeRightToLeft : 0; }

  // The set of characters a match of element `id` must begin with (in its direction);
  // false when there is no such set (the element may match empty, or is too complex).
  bool FirstSet(int id, CharSet* out) {
    const Element& e = t_.elements[static_cast<size_t>(id)];
    switch (e.kind) {
      case ElementKind::kLiteral: {
        bool rtl = e.flags & kElemRightToLeft;
        int c = static_cast<unsigned char>(
            t_.strings[static_cast<size_t>(rtl ? e.literal_offset() + e.literal_length() - 1 : e.literal_offset())]);
        out->Add(c);
        if (e.flags & kElemIgnoreCase) {
          out->Add(AsciiLower(c));
          out->Add(AsciiUpper(c));
        }
        return true;
      }
      case ElementKind::kClass:
        out->Merge(t_.sets[static_cast<size_t>(e.set())]);
        return true;
      case ElementKind::kGroup:
      case ElementKind::kAtomic:
        return FirstSet(e.child(), out);
      case ElementKind::kRepeat:
        return e.min_count() >= 1 && FirstSet(e.child(), out);
      case ElementKind::kSequence: {
        bool rtl = e.flags & kElemRightToLeft;
        return FirstSet(Child(e, rtl ? e.child_count() - 1 : 0), out);
      }
      case ElementKind::kAlternation:
        for (int k = 0; k < e.child_count(); ++k)
          if (!FirstSet(Child(e, k), out)) return false;
        return true;
      default:
        return false;
    }
  }

  // For each greedy character repeat, the set of characters that what follows it must begin
  // with, looking past capture brackets (which a recursion may turn into returns: none then).
  void FindFollowSets() {
    p_.follow.assign(p_.nodes.size(), -1);
    for (const Node& n : p_.nodes)
      if (n.op == Op::kRecurse) return;
    for (size_t k = 0; k < p_.nodes.size(); ++k) {
      const Node& n = p_.nodes[k];
      const bool greedy = n.op == Op::kCharLoopGroup || (n.op == Op::kCharLoop && !(n.flags & kNodeLazy));
      if (!greedy || n.min_count() == n.max_count()) continue;
      int q = n.next;
      while (q >= 0 && (At(q).op == Op::kOpen || At(q).op == Op::kClose)) q = At(q).next;
      if (q < 0 || (At(q).flags & kNodeRightToLeft) != (n.flags & kNodeRightToLeft)) continue;
      const Node& after = At(q);
      if (after.op == Op::kLiteral) {
        const bool rtl = after.flags & kNodeRightToLeft;
        const int first = rtl ? after.literal_offset() + after.literal_length() - 1 : after.literal_offset();
        int c = static_cast<unsigned char>(t_.strings[static_cast<size_t>(first)]);
        CharSet s;
        s.Add(c);
        if (after.flags & kNodeIgnoreCase) {
          s.Add(AsciiLower(c));
          s.Add(AsciiUpper(c));
        }
        p_.follow[k] = AddSet(s);
      } else if (after.op == Op::kClass) {
        p_.follow[k] = after.set();
      } else if ((after.op == Op::kCharLoop || after.op == Op::kCharLoopGroup) && after.min_count() >= 1) {
        p_.follow[k] = after.set();
      }
    }
  }

  // Whether element `id` may match the empty string (true when unsure).
  bool CanMatchEmpty(int id) const {
    const Element& e = t_.elements[static_cast<size_t>(id)];
    switch (e.kind) {
      case ElementKind::kLiteral:
        return e.literal_length() == 0;
      case ElementKind::kClass:
        return false;
      case ElementKind::kSequence:
        for (int k = 0; k < e.child_count(); ++k)
          if (!CanMatchEmpty(Child(e, k))) return false;
        return true;
      case ElementKind::kAlternation:
        for (int k = 0; k < e.child_count(); ++k)
          if (CanMatchEmpty(Child(e, k))) return true;
        return false;
      case ElementKind::kRepeat:
        return e.min_count() == 0 || e.max_count() == 0 || CanMatchEmpty(e.child());
      case ElementKind::kGroup:
      case ElementKind::kAtomic:
        return CanMatchEmpty(e.child());
      default:
        return true;
    }
  }

  // The set of an element that always matches exactly one character and nothing else (no
  // captures, no choices), or -1.
  int SingleCharSet(int id) {
    const Element& e = t_.elements[static_cast<size_t>(id)];
    if (e.kind == ElementKind::kClass) return e.set();
    if (e.kind == ElementKind::kLiteral && e.literal_length() == 1) {
      CharSet s;
      int c = static_cast<unsigned char>(t_.strings[static_cast<size_t>(e.literal_offset())]);
      s.Add(c);
      if (e.flags & kElemIgnoreCase) {
        s.Add(AsciiLower(c));
        s.Add(AsciiUpper(c));
      }
      return AddSet(s);
    }
    if (e.kind == ElementKind::kAlternation) {
      CharSet s;
      for (int k = 0; k < e.child_count(); ++k) {
        const Element& branch = t_.elements[static_cast<size_t>(Child(e, k))];
        if (branch.kind == ElementKind::kClass) {
          s.Merge(t_.sets[static_cast<size_t>(branch.set())]);
        } else if (branch.kind == ElementKind::kLiteral && branch.literal_length() == 1) {
          int c = static_cast<unsigned char>(t_.strings[static_cast<size_t>(branch.literal_offset())]);
          s.Add(c);
          if (branch.flags & kElemIgnoreCase) {
            s.Add(AsciiLower(c));
            s.Add(AsciiUpper(c));
          }
        } else {
          return -1;
        }
      }
      return AddSet(s);
    }
    return -1;
  }

  // Emits element `id` so that a match of it continues at node `next`; returns its entry node.
  int Emit(int id, int next) {
    const Element e = t_.elements[static_cast<size_t>(id)];
    uint8_t dir = Direction(e);
    switch (e.kind) {
      case ElementKind::kEmpty:
        return next;
      case ElementKind::kLiteral:
        return NewNode(Op::kLiteral, next, e.literal_offset(), e.literal_length(), 0,
                       static_cast<uint8_t>(dir | ((e.flags & kElemIgnoreCase) ? kNodeIgnoreCase : 0)));
      case ElementKind::kClass:
        return NewNode(Op::kClass, next, e.set(), 0, 0, dir);
      case ElementKind::kSequence: {
        int entry = next;
        if (dir) {
          for (int k = 0; k < e.child_count(); ++k) entry = Emit(Child(e, k), entry);
        } else {
          for (int k = e.child_count() - 1; k >= 0; --k) entry = Emit(Child(e, k), entry);
        }
        return entry;
      }
      case ElementKind::kAlternation: {
        // Branches of one character each match exactly what one class of their union matches,
        // in the same order of outcomes (a later branch can only repeat an earlier one's state).
        int single = SingleCharSet(id);
        if (single >= 0) return NewNode(Op::kClass, next, single, 0, 0, dir);
        int first = static_cast<int>(p_.branches.size());
        p_.branches.resize(p_.branches.size() + static_cast<size_t>(e.child_count()));
        p_.branch_sets.resize(p_.branches.size());
        for (int k = 0; k < e.child_count(); ++k) {
          int child = Child(e, k);
          int entry = Emit(child, next);
          CharSet s;
          int set = FirstSet(child, &s) ? AddSet(s) : -1;
          p_.branches[static_cast<size_t>(first + k)] = entry;
          p_.branch_sets[static_cast<size_t>(first + k)] = set;
        }
        return NewNode(Op::kAlternation, next, first, e.child_count(), 0, dir);
      }
      case ElementKind::kRepeat:
        return EmitRepeat(e, next);
      case ElementKind::kGroup: {
        int number = t_.groups[static_cast<size_t>(e.group_index())].number;
        int close = NewNode(Op::kClose, next, number, e.group_index(), 0, dir);
        int body = Emit(e.child(), close);
        int open = NewNode(Op::kOpen, body, number, e.group_index(), 0, dir);
        p_.group_entry[static_cast<size_t>(e.group_index())] = open;
        return open;
      }
      case ElementKind::kBoundary:
        return NewNode(Op::kBoundary, next, static_cast<int>(e.boundary()));
      case ElementKind::kLookAround: {
        bool negate = e.flags & kElemNegate;
        int end = NewNode(Op::kLookEnd, -1);
        int body = Emit(e.child(), end);
        int begin = NewNode(Op::kLookBegin, body, negate ? -1 : next, negate ? next : -1, 0,
                            negate ? kNodeNegate : 0);
        At(end).a = begin;
        return begin;
      }
      case ElementKind::kAtomic: {
        int end = NewNode(Op::kAtomicEnd, next);
        int body = Emit(e.child(), end);
        return NewNode(Op::kAtomicBegin, body);
      }
      case ElementKind::kConditional: {
        int yes = Emit(e.yes_branch(), next);
        int no = Emit(e.no_branch(), next);
        if (e.condition_group() >= 0) return NewNode(Op::kCondGroup, -1, e.condition_group(), yes, no);
        const Element look = t_.elements[static_cast<size_t>(e.condition())];
        bool negate = look.flags & kElemNegate;
        int end = NewNode(Op::kLookEnd, -1);
        int body = Emit(look.child(), end);
        int begin = NewNode(Op::kLookBegin, body, negate ? no : yes, negate ? yes : no, 0, negate ? kNodeNegate : 0);
        At(end).a = begin;
        return begin;
      }
      case ElementKind::kRecursion: {
        if (e.recursion_group() < 0) return next;  // names no group: matches the empty string
        int r = NewNode(Op::kRecurse, next, -1, e.recursion_group());
        recursions_.push_back(r);
        return r;
      }
      case ElementKind::kBackReference:
        if (e.reference_number() < 0) return NewNode(Op::kFail, -1);
        return NewNode(Op::kBackReference, next, e.reference_number(), 0, 0,
                       static_cast<uint8_t>(dir | ((e.flags & kElemIgnoreCase) ? kNodeIgnoreCase : 0)));
    }
    return next;
  }

  int EmitRepeat(const Element& e, int next) {
    int min = e.min_count(), max = e.max_count();
    const RepeatMode mode = e.repeat_mode();
    uint8_t dir = Direction(e);
    uint8_t lazy = mode == kLazy ? kNodeLazy : 0;
    int after = next;
    if (mode == kPossessive) after = NewNode(Op::kAtomicEnd, next);
    int entry;
    // A repeat of one character keeps one choice point however many characters it takes;
    // so does a greedy repeat of a capturing group around one character, which then records
    // the last character taken as the group's capture.
    const Element& child = t_.elements[static_cast<size_t>(e.child())];
    int set = SingleCharSet(e.child());
    int group_set = -1;
    if (set < 0 && child.kind == ElementKind::kGroup && mode != kLazy) group_set = SingleCharSet(child.child());
    if (set >= 0) {
      entry = NewNode(Op::kCharLoop, after, min, max, set, static_cast<uint8_t>(dir | lazy));
    } else if (group_set >= 0) {
      // The group keeps no entry node here; a recursion into it gets a copy of its own.
      entry = NewNode(Op::kCharLoopGroup, after, min, max, group_set, dir);
      At(entry).d = t_.groups[static_cast<size_t>(child.group_index())].number;
    } else {
      const uint8_t nullable = CanMatchEmpty(e.child()) ? kNodeNullableBody : 0;
      int head = NewNode(Op::kLoopHead, after, min, max, 0, static_cast<uint8_t>(lazy | nullable));
      int tail = NewNode(Op::kLoopTail, -1, head);
      At(head).c = Emit(e.child(), tail);
      entry = NewNode(Op::kLoopInit, head);
    }
    if (mode == kPossessive) entry = NewNode(Op::kAtomicBegin, entry);
    return entry;
  }

  ElementTree& t_;
  Program& p_;
  std::pmr::vector<int> recursions_;
};

}  // namespace

void BuildProgram(ElementTree* tree, bool right_to_left, Program* program) {
  Builder builder(tree, program);
  builder.Run(right_to_left);
}

}  // namespace larkpost::regex_internal
