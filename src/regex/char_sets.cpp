#include "regex/char_sets.h"

namespace larkpost::regex_internal {
namespace {

CharSet BuildPredefinedSet(Predefined which, bool right_to_left) {
  CharSet s;
  switch (which) {
    case kAny:
      s.Invert();
      break;
    case kAnyButNewline:
      s.Invert();
      s.bits[0] &= ~(uint64_t{1} << '\n');
      break;
    case kWord:
    case kNotWord:
      s.AddSignedRange('A', 'Z');
      s.AddSignedRange('a', 'z');
      s.AddSignedRange('0', '9');
      s.Add('_');
      if (which == kNotWord) s.Invert();
      break;
    case kSpace:
    case kNotSpace:
      s.Add(' ');
      s.Add('\t');
      s.Add('\r');
      s.Add('\n');
      // Right-to-left matching has always counted form feed and vertical tab as white space.
      if (right_to_left) {
        s.Add('\f');
        s.Add('\v');
      }
      if (which == kNotSpace) s.Invert();
      break;
    case kDigit:
    case kNotDigit:
      s.AddSignedRange('0', '9');
      if (which == kNotDigit) s.Invert();
      break;
    default:
      break;
  }
  return s;
}

}  // namespace

const CharSet& PredefinedSet(Predefined which, bool right_to_left) {
  static const auto* const table = [] {
    auto* sets = new CharSet[2][kPredefinedCount];
    for (int dir = 0; dir < 2; ++dir)
      for (int k = 0; k < kPredefinedCount; ++k) sets[dir][k] = BuildPredefinedSet(static_cast<Predefined>(k), dir != 0);
    return sets;
  }();
  return table[right_to_left ? 1 : 0][which];
}

CharSet NamedSet(const std::string& name) {
  CharSet s;
  auto add = [&s](int lo, int hi) { s.AddSignedRange(lo, hi); };
  if (name == "alpha") {
    add('A', 'Z'), add('a', 'z');
  } else if (name == "digit") {
    add('0', '9');
  } else if (name == "alnum") {
    add('A', 'Z'), add('a', 'z'), add('0', '9');
  } else if (name == "word") {
    add('A', 'Z'), add('a', 'z'), add('0', '9'), s.Add('_');
  } else if (name == "upper") {
    add('A', 'Z');
  } else if (name == "lower") {
    add('a', 'z');
  } else if (name == "space") {
    add(9, 13), s.Add(' ');
  } else if (name == "blank") {
    s.Add(' '), s.Add('\t');
  } else if (name == "punct") {
    add('!', '/'), add(':', '@'), add('[', '`'), add('{', '~');
  } else if (name == "print") {
    add(' ', '~');
  } else if (name == "graph") {
    add('!', '~');
  } else if (name == "cntrl") {
    add(0, 31), s.Add(127);
  } else if (name == "xdigit") {
    add('0', '9'), add('A', 'F'), add('a', 'f');
  }
  return s;
}

}  // namespace larkpost::regex_internal
