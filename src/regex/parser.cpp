// The pattern parser: syntax to element tree in one recursive-descent pass. Kept in one file
// (over 500 lines) because every construct's parse, size accounting and nesting bound interlock;
// the tokenizer, the character sets and the program layout already live apart.
#include "regex/parser.h"

#include <algorithm>

#include "regex/char_sets.h"
#include "regex/pattern.h"
#include "regex/tokenizer.h"

namespace larkpost::regex_internal {
namespace {

bool IsQuantifier(const Token& t) {
  return t.control && (t.value == '*' || t.value == '+' || t.value == '?' || t.value == '{');
}
bool IsControl(const Token& t, int value) { return t.control && t.value == value; }

class Parser {
 public:
  Parser(const char* pattern, int length, int flags, ElementTree* tree)
      : p_(pattern),
        n_(length),
        flags_(flags),
        tok_(pattern, length, (flags & kExtended) != 0),
        t_(*tree),
        scratch_(tree->elements.get_allocator()),
        refs_(tree->elements.get_allocator()) {
    for (auto& row : shared_) std::fill(std::begin(row), std::end(row), -1);
    scratch_.reserve(32);
  }

  void Run() {
    t_.Clear();
    t_.groups.push_back(GroupInfo{});  // index 0: the whole pattern
    int flags = flags_;
    t_.root = ParseAlternation(flags);
    // A `)` that closes no group ends the compilation; the rest of the text is ignored.
    Finish();
  }

 private:
  // A name or number a recursion, back-reference or condition refers to, resolved at the end.
  struct Reference {
    enum Kind { kRecursionNumber, kRecursionName, kBackReferenceName, kConditionName } kind;
    int element;
    int number;  // kRecursionNumber
    int pos, len;  // the name in the pattern text
  };

  // Adds `e` under the pattern options `flags` (case and direction); returns its index.
  int Add(Element e, int flags) {
    e.flags = static_cast<uint8_t>(e.flags | ((flags & kIgnoreCase) ? kElemIgnoreCase : 0) |
                                   ((flags & kRightToLeft) ? kElemRightToLeft : 0));
    return t_.Add(e);
  }
  Element& At(int id) { return t_.elements[static_cast<size_t>(id)]; }

  int Empty() {
    if (empty_ < 0) empty_ = Add(Element::Empty(), 0);
    return empty_;
  }

  int AddSet(const CharSet& s) {
    t_.sets.push_back(s);
    return static_cast<int>(t_.sets.size()) - 1;
  }

  [[gnu::noinline]] int Shared(Predefined which, int flags) {
    int dir = (flags & kRightToLeft) ? 1 : 0;
    int& slot = shared_[dir][which];
    if (slot < 0) slot = Add(Element::Class(AddSet(PredefinedSet(which, dir != 0))), flags & kRightToLeft);
    return slot;
  }

  // Makes a sequence or alternation of the child ids pushed on scratch_ since `base`.
  [[gnu::noinline]] int Collect(ElementKind kind, size_t base, int flags) {
    size_t count = scratch_.size() - base;
    if (count == 0) {
      return Empty();
    }
    if (count == 1) {
      int only = scratch_[base];
      scratch_.resize(base);
      return only;
    }
    int first = static_cast<int>(t_.children.size());
    t_.children.insert(t_.children.end(), scratch_.begin() + static_cast<long>(base), scratch_.end());
    scratch_.resize(base);
    return Add(Element::List(kind, first, static_cast<int>(count)), flags & kRightToLeft);
  }

  [[gnu::noinline]] void PushChild(int id) { scratch_.push_back(id); }

  int ParseAlternation(int flags) {
    size_t base = scratch_.size();
    for (;;) {
      int branch = ParseSequence(flags);
      PushChild(branch);
      if (!IsControl(tok_.Peek(), '|')) break;
      tok_.Next();
    }
    return Collect(ElementKind::kAlternation, base, flags);
  }

  // `flags` belongs to the enclosing alternation: inline options change it for what follows.
  int ParseSequence(int& flags) {
    size_t base = scratch_.size();
    for (;;) {
      const Token& t = tok_.Peek();
      if (t.control && (t.value == 0 || t.value == '|' || t.value == ')')) break;
      int e = ParseRepeat(flags);
      PushChild(e);
    }
    return Collect(ElementKind::kSequence, base, flags);
  }

  // Groups are parsed apart from the other atoms so that the frames of the recursion over
  // nested groups stay small. Each group level costs one frame each of ParseGroup,
  // ParseAlternation, ParseSequence and ParseRepeat (the special forms one more); kMaxNesting
  // levels of them must fit the small machine stacks matching threads may have (the stress test
  // compiles on 256 KiB). ParseAtom, with its character-set and escape locals, ParseQuantifier
  // and the helpers marked noinline (Collect, PushChild, NewGroup, AddAtomic, ...) stay off that
  // chain, so the bound holds only as long as no large local moves into the four recursive
  // functions; that includes the Element records, which are made only in the helpers.
  int ParseRepeat(int& flags) {
    int atom;
    if (IsControl(tok_.Peek(), '(')) {
      Token open = tok_.Next();
      atom = ParseGroup(open, flags);
    } else {
      atom = ParseAtom(flags);
    }
    if (!IsQuantifier(tok_.Peek())) return atom;
    return ParseQuantifier(atom, flags);
  }

  // The quantifier after `atom` and its lazy or possessive marker; returns the repeat.
  [[gnu::noinline]] int ParseQuantifier(int atom, int flags) {
    Token t = tok_.Peek();
    int min = 0, max = -1;
    if (t.value == '{') {
      ReadBraces(t.pos + 1, &min, &max);
    } else {
      tok_.Next();
      if (t.value == '+') min = 1;
      if (t.value == '?') max = 1;
    }
    RepeatMode mode = kGreedy;
    const Token& marker = tok_.Peek();
    if (IsControl(marker, '?') || IsControl(marker, '+')) {
      if (min != max) mode = marker.value == '?' ? kLazy : kPossessive;
      tok_.Next();
    }
    if (max == 0) return Empty();
    if (min == 1 && max == 1) return atom;
    return Add(Element::Repeat(atom, min, max, mode), flags);
  }

  // Reads 1 to 3 decimal digits at *i (further digits are skipped); -1 when there are none.
  int ReadNumber(int* i) {
    int value = -1;
    for (int n = 0; *i < n_ && IsDigit(p_[*i]); ++*i, ++n) {
      if (n < 3) value = (value < 0 ? 0 : value * 10) + (p_[*i] - '0');
    }
    return value;
  }
  // Reads at most 3 decimal digits at *i, leaving any further digit; -1 when there are none.
  int ReadDigits(int* i) {
    int value = -1;
    for (int n = 0; n < 3 && *i < n_ && IsDigit(p_[*i]); ++*i, ++n) value = (value < 0 ? 0 : value * 10) + (p_[*i] - '0');
    return value;
  }
  void SkipSpace(int* i) {
    while (*i < n_ && IsPatternSpace(static_cast<unsigned char>(p_[*i]))) ++*i;
  }

  // The text of `{m,n}` from `i` (just after the brace) up to the closing brace.
  [[gnu::noinline]] void ReadBraces(int i, int* min, int* max) {
    int close = i;
    while (close < n_ && p_[close] != '}') ++close;
    tok_.Seek(close + 1);
    *min = *max = 0;
    if (close >= n_) return;  // never closed: swallows the rest, repeats nothing
    SkipSpace(&i);
    int first = ReadNumber(&i);
    if (first < 0) return;
    SkipSpace(&i);
    *min = *max = first;
    if (i < close && p_[i] == ',') {
      ++i;
      SkipSpace(&i);
      int second = ReadNumber(&i);
      *max = second < 0 ? -1 : std::max(second, first);
    }
  }

  // A name ending at `closer` from `i`; returns the offset past the closer (or the end).
  int ReadName(int i, char closer, int* pos, int* len) {
    int j = i;
    while (j < n_ && p_[j] != closer) ++j;
    *pos = i;
    *len = j - i;
    return j < n_ ? j + 1 : n_;
  }

  // A name that is a decimal number (optional white space, digits) gives that number, else -1.
  int DecimalName(int pos, int len) {
    int i = pos, end = pos + len;
    while (i < end && IsPatternSpace(static_cast<unsigned char>(p_[i]))) ++i;
    if (i >= end || !IsDigit(p_[i])) return -1;
    int value = 0;
    for (int n = 0; i < end && IsDigit(p_[i]); ++i, ++n)
      if (n < 3) value = value * 10 + (p_[i] - '0');
    while (i < end && IsPatternSpace(static_cast<unsigned char>(p_[i]))) ++i;
    return i == end ? value : -1;
  }

  [[gnu::noinline]] int ParseAtom(int& flags) {
    Token t = tok_.Peek();
    if (!t.control) return ParseLiteralRun(flags);
    tok_.Next();
    switch (t.value) {
      case '.': return Shared((flags & kSingleLine) ? kAny : kAnyButNewline, flags);
      case 'd': return Shared(kDigit, flags);
      case 'D': return Shared(kNotDigit, flags);
      case 's': return Shared(kSpace, flags);
      case 'S': return Shared(kNotSpace, flags);
      case 'w': return Shared(kWord, flags);
      case 'W': return Shared(kNotWord, flags);
      case '[': return ParseBracket(flags);
      case '^': return Add(Element::Position((flags & kMultiLine) ? Boundary::kLineStart : Boundary::kTextStart), 0);
      case '$': return Add(Element::Position((flags & kMultiLine) ? Boundary::kLineEnd : Boundary::kTextEnd), 0);
      case 'A': return Add(Element::Position(Boundary::kTextStart), 0);
      case 'Z': return Add(Element::Position(Boundary::kTextEndNewline), 0);
      case 'z': return Add(Element::Position(Boundary::kTextEnd), 0);
      case 'b': return Add(Element::Position(Boundary::kWord), 0);
      case 'B': return Add(Element::Position(Boundary::kNotWord), 0);
      case 'G':
        if (!(flags & kGlobal)) return Empty();
        return Add(Element::Position(Boundary::kSearchStart), 0);
      case '\\': {
        int i = t.pos + 1;
        int number = ReadDigits(&i);
        tok_.Seek(i);
        return Add(Element::BackReference(number), flags);
      }
      case 'k':
      case 'g': return ParseNamedBackReference(t, flags);
      default:
        return Literal(t.value, flags);
    }
  }

  [[gnu::noinline]] int Literal(int value, int flags) {
    int offset = static_cast<int>(t_.strings.size());
    t_.strings.push_back(static_cast<char>(value));
    return Add(Element::Literal(offset, 1), flags);
  }

  // Consecutive literal tokens form one string, except that a character followed by a
  // quantifier stands alone so the quantifier binds to it only.
  [[gnu::noinline]] int ParseLiteralRun(int flags) {
    int offset = static_cast<int>(t_.strings.size());
    int count = 0;
    for (;;) {
      const Token& a = tok_.Peek(0);
      if (a.control) break;
      if (IsQuantifier(tok_.Peek(1)) && count > 0) break;
      t_.strings.push_back(static_cast<char>(a.value));
      ++count;
      bool quantified = IsQuantifier(tok_.Peek(1));
      tok_.Next();
      if (quantified) break;
    }
    return Add(Element::Literal(offset, count), flags);
  }

  [[gnu::noinline]] int ParseNamedBackReference(const Token& t, int flags) {
    int i = t.pos + 2;
    int e = Add(Element::BackReference(0), flags);
    if (i < n_ && (p_[i] == '<' || p_[i] == '\'')) {
      int pos, len;
      tok_.Seek(ReadName(i + 1, p_[i] == '<' ? '>' : '\'', &pos, &len));
      int number = DecimalName(pos, len);
      if (number >= 0) {
        At(e).set_reference_number(number);
      } else {
        refs_.push_back(Reference{Reference::kBackReferenceName, e, 0, pos, len});
      }
    } else if (i < n_ && IsDigit(p_[i])) {
      At(e).set_reference_number(ReadDigits(&i));
      tok_.Seek(i);
    }
    return e;
  }

  [[gnu::noinline]] int ParseBracket(int flags) {
    bool rtl = (flags & kRightToLeft) != 0;
    if (IsControl(tok_.Peek(), ':')) return Add(Element::Class(AddSet(ParseNamedClass())), flags & kRightToLeft);
    CharSet chars, nested;
    bool negate = false;
    if (IsControl(tok_.Peek(), '^')) {
      tok_.Next();
      negate = true;
    }
    for (;;) {
      Token t = tok_.Peek();
      if (IsControl(t, 0)) break;
      tok_.Next();
      if (IsControl(t, ']')) break;
      if (t.control) {
        switch (t.value) {
          case 'd': nested.Merge(PredefinedSet(kDigit, rtl)); continue;
          case 'D': nested.Merge(PredefinedSet(kNotDigit, rtl)); continue;
          case 's': nested.Merge(PredefinedSet(kSpace, rtl)); continue;
          case 'S': nested.Merge(PredefinedSet(kNotSpace, rtl)); continue;
          case 'w': nested.Merge(PredefinedSet(kWord, rtl)); continue;
          case 'W': nested.Merge(PredefinedSet(kNotWord, rtl)); continue;
          case '[': nested.Merge(ParseNamedClass()); continue;
          default: break;
        }
      }
      if (IsControl(tok_.Peek(0), '-') && !tok_.Peek(1).control) {
        tok_.Next();
        Token high = tok_.Next();
        chars.AddSignedRange(static_cast<signed char>(t.value), static_cast<signed char>(high.value));
      } else {
        chars.Add(t.value);
      }
    }
    if (flags & kIgnoreCase) {
      for (int c = 'A'; c <= 'Z'; ++c) {
        if (chars.Has(c) || chars.Has(c + 32)) {
          chars.Add(c);
          chars.Add(c + 32);
        }
      }
    }
    chars.Merge(nested);
    if (negate) chars.Invert();
    return Add(Element::Class(AddSet(chars)), flags & kRightToLeft);
  }

  // After a control `[` that is followed by `:`: reads `:^name:]`.
  [[gnu::noinline]] CharSet ParseNamedClass() {
    if (IsControl(tok_.Peek(), ':')) tok_.Next();
    bool negate = false;
    if (IsControl(tok_.Peek(), '^')) {
      tok_.Next();
      negate = true;
    }
    std::string name;
    for (;;) {
      Token t = tok_.Peek();
      if (IsControl(t, 0)) break;
      tok_.Next();
      if (IsControl(t, ']')) break;
      name.push_back(static_cast<char>(t.value));
    }
    if (!name.empty() && name.back() == ':') name.pop_back();
    CharSet s = NamedSet(name);
    if (negate) s.Invert();
    return s;
  }

  void ExpectClose() {
    if (IsControl(tok_.Peek(), ')')) tok_.Next();
  }

  [[gnu::noinline]] int NewGroup(int flags, bool named, int number, int name_pos, int name_len) {
    int e = Add(Element::Group(-1, static_cast<int>(t_.groups.size())), flags & kRightToLeft);
    GroupInfo g;
    g.element = e;
    g.number = number;
    g.named = named;
    g.name_pos = name_pos;
    g.name_len = name_len;
    t_.groups.push_back(g);
    return e;
  }

  [[gnu::noinline]] int AddAtomic(int body, int flags) { return Add(Element::Atomic(body), flags & kRightToLeft); }

  int ParseGroup(const Token& open, int& flags) {
    if (depth_ >= kMaxNesting) return Literal('(', flags);
    ++depth_;
    int i = open.pos + 1;
    int e;
    if (i < n_ && p_[i] == '?') {
      e = ParseSpecialGroup(i + 1, flags);
    } else {
      e = NewGroup(flags, false, ++plain_groups_, -1, 0);
      int body = ParseAlternation(flags);
      At(e).set_child(body);
      ExpectClose();
    }
    --depth_;
    return e;
  }

  [[gnu::noinline]] int ParseLookAround(int i, bool behind, bool negate, int flags) {
    tok_.Seek(i);
    int body_flags = behind ? (flags | kRightToLeft) : (flags & ~kRightToLeft);
    int body = ParseAlternation(body_flags);
    ExpectClose();
    return Add(Element::LookAround(body, negate), body_flags & kRightToLeft);
  }

  // `i` is the offset just after "(?".
  int ParseSpecialGroup(int i, int& flags) {
    char c = i < n_ ? p_[i] : '\0';
    char c1 = i + 1 < n_ ? p_[i + 1] : '\0';
    if (c == ':') {
      tok_.Seek(i + 1);
      int body = ParseAlternation(flags);
      ExpectClose();
      return body;
    }
    if (c == '=' || c == '!') return ParseLookAround(i + 1, false, c == '!', flags);
    if (c == '<' && (c1 == '=' || c1 == '!')) return ParseLookAround(i + 2, true, c1 == '!', flags);
    if (c == '>') {
      tok_.Seek(i + 1);
      int body = ParseAlternation(flags);
      ExpectClose();
      return AddAtomic(body, flags);
    }
    if (c == '<' || c == '\'' || (c == 'P' && c1 == '<')) {
      int start = c == 'P' ? i + 2 : i + 1;
      int pos, len;
      tok_.Seek(ReadName(start, c == '\'' ? '\'' : '>', &pos, &len));
      int number = DecimalName(pos, len);
      int e = number >= 0 ? NewGroup(flags, true, number, -1, 0) : NewGroup(flags, true, -1, pos, len);
      int body = ParseAlternation(flags);
      At(e).set_child(body);
      ExpectClose();
      return e;
    }
    if (c == '(') return ParseConditional(i, flags);
    if (c == 'R' || IsDigit(c)) return ParseRecursion(i, flags);
    return ParseOptions(i, flags);
  }

  [[gnu::noinline]] int ParseOptions(int i, int& flags) {
    int on = 0, off = 0;
    bool negative = false;
    for (; i < n_ && p_[i] != ')' && p_[i] != ':'; ++i) {
      int bit = 0;
      switch (AsciiLower(static_cast<unsigned char>(p_[i]))) {
        case 'i': bit = kIgnoreCase; break;
        case 'm': bit = kMultiLine; break;
        case 's': bit = kSingleLine; break;
        case 'g': bit = kGlobal; break;
        case '-': negative = true; break;
        default: break;
      }
      (negative ? off : on) |= bit;
    }
    int scoped = (flags | on) & ~off;
    if (i < n_ && p_[i] == ':') {
      tok_.Seek(i + 1);
      int body = ParseAlternation(scoped);
      ExpectClose();
      return body;
    }
    tok_.Seek(i + 1);
    flags = scoped;
    return Empty();
  }

  // `i` is the offset of the condition's "(" just after "(?".
  [[gnu::noinline]] int ParseConditional(int i, int& flags) {
    int e = Add(Element::Conditional(), flags & kRightToLeft);
    int condition;
    if (i + 1 < n_ && p_[i + 1] == '?') {
      tok_.Seek(i);
      Token open = tok_.Next();
      int inner = ParseGroup(open, flags);
      if (At(inner).kind == ElementKind::kLookAround) {
        condition = inner;
      } else {
        condition = Add(Element::LookAround(inner, false), 0);
      }
    } else {
      tok_.Seek(i + 1);
      int body = ParseAlternation(flags & ~kRightToLeft);
      int end = tok_.Peek().pos;
      ExpectClose();
      condition = Add(Element::LookAround(body, false), 0);
      int number = DecimalName(i + 1, end - (i + 1));
      if (number >= 0) {
        At(e).set_condition_group(number);
      } else {
        refs_.push_back(Reference{Reference::kConditionName, e, 0, i + 1, end - (i + 1)});
      }
    }
    int branch_flags = flags;
    int yes = ParseSequence(branch_flags);
    int no = Empty();
    if (IsControl(tok_.Peek(), '|')) {
      tok_.Next();
      no = ParseAlternation(branch_flags);
    }
    ExpectClose();
    At(e).set_condition(condition, yes, no);
    return e;
  }

  // `i` is the offset of the "R" or the first digit just after "(?".
  [[gnu::noinline]] int ParseRecursion(int i, int flags) {
    int e = Add(Element::Recursion(-1), flags & kRightToLeft);
    if (p_[i] == 'R') ++i;
    if (i < n_ && (p_[i] == '<' || p_[i] == '\'')) {
      int pos, len;
      i = ReadName(i + 1, p_[i] == '<' ? '>' : '\'', &pos, &len);
      refs_.push_back(Reference{Reference::kRecursionName, e, 0, pos, len});
    } else {
      int number = ReadNumber(&i);
      refs_.push_back(Reference{Reference::kRecursionNumber, e, number < 0 ? 0 : number, 0, 0});
    }
    while (i < n_ && p_[i] != ')') ++i;
    tok_.Seek(i + 1);
    return e;
  }

  bool SameName(int pos_a, int len_a, int pos_b, int len_b) const {
    if (len_a != len_b) return false;
    for (int k = 0; k < len_a; ++k)
      if (AsciiLower(static_cast<unsigned char>(p_[pos_a + k])) != AsciiLower(static_cast<unsigned char>(p_[pos_b + k])))
        return false;
    return true;
  }

  // The first group (in table order) bearing the name, or -1.
  int FindName(int pos, int len) const {
    for (size_t g = 1; g < t_.groups.size(); ++g) {
      const GroupInfo& info = t_.groups[g];
      if (info.name_pos >= 0 && SameName(info.name_pos, info.name_len, pos, len)) return static_cast<int>(g);
    }
    return -1;
  }

  // The first group in table order with the number: plain groups come before named ones.
  int FindNumber(int number) const {
    if (number == 0) return 0;
    if (number > t_.max_group) return -1;
    int named = -1;
    for (size_t g = 1; g < t_.groups.size(); ++g) {
      const GroupInfo& info = t_.groups[g];
      if (info.number != number) continue;
      if (!info.named) return static_cast<int>(g);
      if (named < 0) named = static_cast<int>(g);
    }
    return named;
  }

  void Finish() {
    // Named groups take their numbers after all plain groups.
    int next = plain_groups_;
    for (size_t g = 1; g < t_.groups.size(); ++g) {
      GroupInfo& info = t_.groups[g];
      if (!info.named) continue;
      if (info.name_pos >= 0) {
        int first = FindName(info.name_pos, info.name_len);
        info.number = first >= 0 && first < static_cast<int>(g) ? t_.groups[static_cast<size_t>(first)].number : next + 1;
      }
      next = std::max(next, info.number);
    }
    t_.max_group = next;

    for (const Reference& r : refs_) {
      Element& e = At(r.element);
      switch (r.kind) {
        case Reference::kRecursionNumber:
          e.set_recursion_group(FindNumber(r.number));
          break;
        case Reference::kRecursionName:
          e.set_recursion_group(FindName(r.pos, r.len));
          break;
        case Reference::kBackReferenceName: {
          int g = FindName(r.pos, r.len);
          e.set_reference_number(g < 0 ? -1 : t_.groups[static_cast<size_t>(g)].number);
          break;
        }
        case Reference::kConditionName: {
          int g = FindName(r.pos, r.len);
          if (g >= 0) e.set_condition_group(t_.groups[static_cast<size_t>(g)].number);
          break;
        }
      }
    }
  }

  const char* p_;
  int n_;
  int flags_;
  Tokenizer tok_;
  ElementTree& t_;
  std::pmr::vector<int> scratch_;
  std::pmr::vector<Reference> refs_;
  int plain_groups_ = 0;
  int depth_ = 0;
  int empty_ = -1;
  int shared_[2][kPredefinedCount];  // per direction, the one element of each predefined class
};

}  // namespace

void ParsePattern(const char* pattern, int length, int flags, ElementTree* tree) {
  Parser parser(pattern, length, flags, tree);
  parser.Run();
}

}  // namespace larkpost::regex_internal
