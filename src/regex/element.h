// The element tree a pattern compiles to, and the character sets its classes use.
//
// Elements live in one table (ElementTree) owned by the compiled Pattern and refer to each other
// by index; the tables take their memory from the Pattern's arena, so compiling a typical pattern
// allocates once. The tree is
// built by the parser (parser.h) and lowered into the matcher's program (program.h); nothing
// walks it while matching.
#pragma once

#include <cassert>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <vector>

namespace larkpost::regex_internal {

// A set of 8-bit characters, indexed by the unsigned byte value.
struct CharSet {
  uint64_t bits[4] = {0, 0, 0, 0};

  bool Has(int c) const { return (bits[(c & 0xFF) >> 6] >> (c & 63)) & 1; }
  void Add(int c) { bits[(c & 0xFF) >> 6] |= uint64_t{1} << (c & 63); }
  // Adds every character from lo to hi inclusive, comparing as signed values.
  void AddSignedRange(int lo, int hi) {
    for (int v = lo; v <= hi; ++v) Add(v);
  }
  void Merge(const CharSet& o) {
    for (int i = 0; i < 4; ++i) bits[i] |= o.bits[i];
  }
  void Invert() {
    for (auto& b : bits) b = ~b;
  }
  bool Empty() const { return (bits[0] | bits[1] | bits[2] | bits[3]) == 0; }
};

enum class ElementKind : uint8_t {
  kEmpty,          // matches the empty string
  kLiteral,        // a run of characters (literal_offset, literal_length)
  kClass,          // one character of a set (set)
  kSequence,       // children matched in order (first_child, child_count)
  kAlternation,    // children tried left to right (first_child, child_count)
  kRepeat,         // child repeated min_count to max_count times, greedy, lazy or possessive
  kGroup,          // a capturing group (child, group_index)
  kBoundary,       // a position test (boundary)
  kLookAround,     // child run ahead (left to right) or behind (right to left), maybe negated
  kAtomic,         // child matched once; its other ways of matching are forgotten
  kConditional,    // condition, yes_branch, no_branch, condition_group
  kRecursion,      // re-enters a group (recursion_group)
  kBackReference,  // the text a group captured (reference_number)
};

enum class Boundary : uint8_t {
  kTextStart,      // `\A`, and `^` without multi-line
  kLineStart,      // `^` under multi-line
  kTextEnd,        // `\z`, and `$` without multi-line
  kLineEnd,        // `$` under multi-line
  kTextEndNewline, // `\Z`: the end, or before a final "\n" or "\r\n"
  kWord,           // `\b`
  kNotWord,        // `\B`
  kSearchStart,    // `\G` under the global flag
};

enum RepeatMode : uint8_t { kGreedy, kLazy, kPossessive };

// Element flag bits.
enum : uint8_t {
  kElemIgnoreCase = 1,   // literal or back-reference compares without case
  kElemRightToLeft = 2,  // consumes leftwards
  kElemNegate = 4,       // negative look-around
};

// One element of the tree. Its four operands mean different things for different kinds: make
// it with the builder named for the kind and read it through the accessors named for the kind,
// which check the kind in debug builds. The operands stay four plain ints, so an element is a
// 20-byte record: a compiled pattern keeps one per construct in its arena.
class Element {
 public:
  ElementKind kind = ElementKind::kEmpty;
  uint8_t flags = 0;  // kElem... bits

  static Element Empty() { return Element(ElementKind::kEmpty); }
  static Element Literal(int offset, int length) { return Element(ElementKind::kLiteral, offset, length); }
  static Element Class(int set) { return Element(ElementKind::kClass, set); }
  // kSequence or kAlternation over children[first, first + count).
  static Element List(ElementKind kind, int first, int count) {
    assert(kind == ElementKind::kSequence || kind == ElementKind::kAlternation);
    return Element(kind, first, count);
  }
  // `max` -1: unbounded.
  static Element Repeat(int child, int min, int max, RepeatMode mode) {
    Element e(ElementKind::kRepeat, child, min, max);
    e.mode_ = mode;
    return e;
  }
  // The child may be set later (set_child), once the group's body is parsed.
  static Element Group(int child, int group_index) { return Element(ElementKind::kGroup, child, group_index); }
  static Element Position(Boundary which) { return Element(ElementKind::kBoundary, static_cast<int>(which)); }
  static Element LookAround(int child, bool negate) {
    Element e(ElementKind::kLookAround, child);
    if (negate) e.flags |= kElemNegate;
    return e;
  }
  static Element Atomic(int child) { return Element(ElementKind::kAtomic, child); }
  // Branches and condition are set later (set_condition, set_condition_group).
  static Element Conditional() { return Element(ElementKind::kConditional, -1); }
  // `group` -1: names no group (set_recursion_group resolves a name or number later).
  static Element Recursion(int group) { return Element(ElementKind::kRecursion, group); }
  // `number` -1: never matches (set_reference_number resolves a name later).
  static Element BackReference(int number) { return Element(ElementKind::kBackReference, number); }

  // kLiteral: the characters in the tree's strings.
  int literal_offset() const { return Is(kind == ElementKind::kLiteral, a_); }
  int literal_length() const { return Is(kind == ElementKind::kLiteral, b_); }
  // kClass: its set in the tree's sets.
  int set() const { return Is(kind == ElementKind::kClass, a_); }
  // kSequence, kAlternation: the children in the tree's child lists.
  int first_child() const { return Is(IsList(), a_); }
  int child_count() const { return Is(IsList(), b_); }
  // kRepeat, kGroup, kLookAround, kAtomic: the one child.
  int child() const { return Is(HasChild(), a_); }
  // kRepeat: the bounds (max -1: unbounded) and the mode.
  int min_count() const { return Is(kind == ElementKind::kRepeat, b_); }
  int max_count() const { return Is(kind == ElementKind::kRepeat, c_); }
  RepeatMode repeat_mode() const { return static_cast<RepeatMode>(Is(kind == ElementKind::kRepeat, mode_)); }
  // kGroup: its index in the group table.
  int group_index() const { return Is(kind == ElementKind::kGroup, b_); }
  // kBoundary: which position test.
  Boundary boundary() const { return static_cast<Boundary>(Is(kind == ElementKind::kBoundary, a_)); }
  // kConditional: the look-around tested (-1: none), the branch taken when the condition holds
  // and when it does not, and the capture number tested instead of the look-around (-1: none).
  int condition() const { return Is(kind == ElementKind::kConditional, a_); }
  int yes_branch() const { return Is(kind == ElementKind::kConditional, b_); }
  int no_branch() const { return Is(kind == ElementKind::kConditional, c_); }
  int condition_group() const { return Is(kind == ElementKind::kConditional, d_); }
  // kRecursion: the group-table index re-entered (0: the whole pattern, -1: nothing).
  int recursion_group() const { return Is(kind == ElementKind::kRecursion, a_); }
  // kBackReference: the capture number (-1: never matches).
  int reference_number() const { return Is(kind == ElementKind::kBackReference, a_); }

  // What the parser learns only after making the element.
  void set_child(int child) { a_ = Is(kind == ElementKind::kGroup, child); }
  void set_condition(int look_around, int yes, int no) {
    a_ = Is(kind == ElementKind::kConditional, look_around);
    b_ = yes;
    c_ = no;
  }
  void set_condition_group(int number) { d_ = Is(kind == ElementKind::kConditional, number); }
  void set_recursion_group(int group) { a_ = Is(kind == ElementKind::kRecursion, group); }
  void set_reference_number(int number) { a_ = Is(kind == ElementKind::kBackReference, number); }

 private:
  explicit Element(ElementKind k, int a = 0, int b = 0, int c = 0) : kind(k), a_(a), b_(b), c_(c) {}
  bool IsList() const { return kind == ElementKind::kSequence || kind == ElementKind::kAlternation; }
  bool HasChild() const {
    return kind == ElementKind::kRepeat || kind == ElementKind::kGroup || kind == ElementKind::kLookAround ||
           kind == ElementKind::kAtomic;
  }
  static int Is(bool kind_fits, int operand) {
    assert(kind_fits && "operand of another kind of element");
    (void)kind_fits;
    return operand;
  }

  uint8_t mode_ = kGreedy;  // kRepeat: a RepeatMode
  int a_ = 0, b_ = 0, c_ = 0, d_ = -1;
};
static_assert(sizeof(Element) == 20, "the parser's tree keeps one compact record per element");

// One group of the group table. Index 0 is the whole pattern.
struct GroupInfo {
  int element = -1;      // the kGroup element (-1 for the whole pattern)
  int number = 0;        // capture number; named groups get theirs when compiling finishes
  int name_pos = -1;     // name's offset in the pattern text, -1 for a plain or numbered group
  int name_len = 0;
  bool named = false;    // appeared as (?<...>), (?'...') or (?P<...>)
};

// All tables take their memory from one resource: the compiled Pattern's arena.
struct ElementTree {
  explicit ElementTree(std::pmr::memory_resource* arena)
      : elements(arena), children(arena), strings(arena), sets(arena), groups(arena) {}

  std::pmr::vector<Element> elements;
  std::pmr::vector<int> children;   // child lists of sequences and alternations
  std::pmr::string strings;         // characters of literal elements
  std::pmr::vector<CharSet> sets;   // character sets of classes
  std::pmr::vector<GroupInfo> groups;
  int root = -1;
  int max_group = 0;

  int Add(const Element& e) {
    elements.push_back(e);
    return static_cast<int>(elements.size()) - 1;
  }
  void Clear() {
    elements.clear();
    children.clear();
    strings.clear();
    sets.clear();
    groups.clear();
    root = -1;
    max_group = 0;
  }
};

}  // namespace larkpost::regex_internal
