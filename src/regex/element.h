// The element tree a pattern compiles to, and the character sets its classes use.
//
// Elements live in one table (ElementTree) owned by the compiled Pattern and refer to each other
// by index; the tables take their memory from the Pattern's arena, so compiling a typical pattern
// allocates once. The tree is
// built by the parser (parser.h) and lowered into the matcher's program (program.h); nothing
// walks it while matching.
#pragma once

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
  kLiteral,        // a run of characters: a = offset in strings, b = length
  kClass,          // one character of a set: a = set index
  kSequence,       // children matched in order: a = first index in children, b = count
  kAlternation,    // children tried left to right: a = first index in children, b = count
  kRepeat,         // a = child, b = minimum, c = maximum (-1 unbounded), mode greedy/lazy/possessive
  kGroup,          // a capturing group: a = child, b = index in the group table
  kBoundary,       // a position test: a = Boundary
  kLookAround,     // a = child run ahead (left to right) or behind (right to left), maybe negated
  kAtomic,         // a = child, matched once; its other ways of matching are forgotten
  kConditional,    // a = condition look-around (-1 none), b = yes, c = no, d = condition group
  kRecursion,      // re-enters a group: a = group-table index (0 the whole pattern, -1 nothing)
  kBackReference,  // the text a group captured: a = group number (-1 never matches)
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

struct Element {
  ElementKind kind = ElementKind::kEmpty;
  uint8_t flags = 0;
  uint8_t mode = kGreedy;  // repeats only
  int a = 0, b = 0, c = 0, d = -1;
};

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
