// The differential test's pattern generator. One file, long on purpose: the generator, its two
// renderings and the list of deliberate differences below must change together, or the engines
// stop being compared on the same language.
//
// Where the two engines differ, and how this test keeps the difference out:
//
//  - `$` without multi-line: ours matches only at the very end; PCRE2 also before a final line
//    feed. PCRE2 runs with PCRE2_DOLLAR_ENDONLY.
//  - `^` under multi-line: ours matches after a final line feed too; PCRE2 with
//    PCRE2_ALT_CIRCUMFLEX. Line ends: ours treats "\r" specially under multi-line and in `\Z`
//    ("a\r\nb" has no line start at 2); PCRE2 runs with PCRE2_NEWLINE_LF, and texts hold no
//    "\r" whenever multi-line or `\Z` can be in force.
//  - `\s`: PCRE2 adds form feed and vertical tab; texts never hold 0x0B or 0x0C. `\v` in a
//    pattern is a class in PCRE2 and a character here: not generated.
//  - Characters compare signed here, so a class range reaching into 0x80-0xFF means something
//    else ([\x01-\xff] is empty here). Range ends are kept in 0x00-0x7F; bytes >= 0x80 appear
//    as single characters and in texts.
//  - An iteration of a repeat that matches without moving the position is not counted here,
//    while PCRE2 counts one (and keeps its captures). Only atoms that always consume are given a
//    variable quantifier; an atom that may match empty gets an exact count at most.
//  - Quantifier spellings: `{,n}`, `{x}` and unclosed `{` are quantifiers with both bounds 0
//    here and literals in PCRE2; `{1000}` is `{100}` here; `{0}` drops its atom (and whether its
//    groups still count is ours to decide); a quantifier after a quantifier is a literal here
//    (`a**`) and an error or a different operator in PCRE2. None is generated; bounds are small.
//    An exact count followed by `+` is plain here and atomic in PCRE2: never generated.
//  - Escapes: `\x` without digits, `\u`, `\x{...}` above 0xFF, `\L`/`\U` quoted runs and
//    `\g<name>` back-references exist here only (or mean something else in PCRE2); they are
//    rendered in PCRE2's spelling of the same meaning. `\0` and unknown letter escapes are
//    not generated.
//  - Brackets: `[:` at the start is a named class here; `[]` is empty here; a reversed range is
//    empty here and an error in PCRE2; `[\A]` is the letter here; PCRE2 reads `[.` and `[=` as
//    POSIX collating syntax. `:` `]` `[` `^` `-` `.` `=` are always escaped inside brackets;
//    ranges are never reversed.
//  - A `)` that closes nothing ends the pattern here; PCRE2 refuses it. Not generated.
//  - Group numbers: named groups are numbered after all plain groups here, in order of opening
//    parenthesis in PCRE2. The test maps each group to both numbers. Names compare without case
//    here: every name in a pattern is distinct ignoring case; numeric names are not generated.
//  - Back-references to a group that is still open use the text so far here; PCRE2 uses the
//    previous iteration. Conditions on an open group: here it has a record, in PCRE2 it is
//    unset. Neither is generated: references only name groups already closed.
//  - Captures inside look-arounds, atomic groups and possessive repeats: what a group reports
//    after backtracking has passed back over such a construct (or after a negative look-around
//    matched) is ours to choose. Those groups are compared softly: a difference is counted and
//    printed, not failed. References and conditions never name them. (A group repeated inside
//    a look-behind differs for a sound reason too: the look-behind runs right to left here, so
//    its last iteration is the leftmost one.)
//  - Recursion: here a recursion that re-enters an open group makes no new record and a group
//    entered afresh by a recursion keeps its record; PCRE2 restores captures when a recursion
//    returns. With recursion in a pattern, only matched/not and the whole match are compared.
//    PCRE2 10.42 also does not always backtrack into a recursion that has returned (it finds
//    0-0 for (?:"(?R)\S\S|) in "\"\"b\"", where full backtracking, ours and Perl's, finds
//    0-3). So PCRE2 is given the recursion spelt out: the called text nested in itself as
//    plain groups, deep enough for any text of the test, then a failing (?!). One recursion per
//    pattern, no inline options with it (spelling out would move the called text under other
//    options), and it is only placed after an element that consumes a character, so it cannot
//    loop.
//  - Look-behind runs right to left here and accepts any length; PCRE2 wants a fixed length.
//    Look-behind bodies are generated with a fixed width.
//  - Conditions with more than two branches, `(?(R)`, `(?(DEFINE)`, and inline letters other
//    than i, m, s are PCRE2 errors or mean something else; `(?g)` and `\G` outside global mode
//    are ours only (`\G` is generated only under the global flag).
//  - Right to left has no PCRE2 counterpart. PCRE2 runs the mirror image instead: every
//    sequence reversed, `^` and `$` (and `\A` and `\z`) swapped, over the reversed text from
//    the mirrored start; offsets are mirrored back. Only constructs whose mirror image is plain
//    PCRE2 are generated for it (no look-arounds, references, conditionals, recursion, inline
//    options or `\Z`).
//  - Extended mode: white space and `#` inside brackets are skipped here but not in PCRE2, and
//    white space between an element and its quantifier or inside a back-reference's digits
//    does not read the same. Under the extended flag, white space and `#` in the pattern's
//    characters are always escaped, and layout (blanks, line feeds, `#` comments) is placed
//    only before whole elements.
//  - PCRE2 10.42 turns `\d+` possessive on its own in `\d+((A)?+)\d` and finds no match in
//    "99" (ours and Perl's find 0-2): PCRE2 runs with PCRE2_NO_AUTO_POSSESS (and without its
//    start-of-match optimisations, which must not change a result anyway).
//  - Anything PCRE2 refuses to compile, or a PCRE2 match that hits its limits, skips the case.
//    Ours has no limit: a pattern that backtracks explosively (nested counts of groups that can
//    match empty in several ways) can run for minutes, so PCRE2's limit is kept low and such
//    counts are kept rare.
#include "differential_generator.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "regex/pattern.h"

namespace larkpost::differential {
namespace {

// A generated piece of pattern in both spellings, with what the generator needs to know about it.
struct Piece {
  std::string ours;
  std::string pcre;
  bool nullable = false;     // may match without consuming a character
  bool quantifiable = true;  // may take a quantifier (not an assertion, option or quoted run)
  int min_width = 0;
  int max_width = 0;         // -1: unbounded or unknown
  int backref_number = 0;    // ours is "\N": rewritten as "\k<N>" when a digit follows
  // Right-to-left cases: PCRE2's spelling of the mirrored pattern (sequences reversed, `^` and
  // `$` swapped, groups named g<number> since mirroring reorders their parentheses).
  std::string rev;
};

}  // namespace

class Generator::Maker {
 public:
  Maker(uint32_t seed, bool extended, bool right_to_left)
      : rng_(seed), extended_(extended), rtl_(right_to_left) {}

  Case Make() {
    Case result;
    if (rtl_) {
      result.flags |= kRightToLeft;
      result.right_to_left = true;
      if (Chance(20)) result.flags |= kIgnoreCase;
      if (Chance(15)) result.flags |= kSingleLine;
      if (Chance(20)) result.flags |= kMultiLine;
      if (Chance(10)) result.flags |= kGlobal;
    } else if (extended_) {
      if (Chance(25)) result.flags |= kIgnoreCase;
      if (Chance(15)) result.flags |= kSingleLine;
      if (Chance(15)) result.flags |= kMultiLine;
      if (Chance(10)) result.flags |= kGlobal;
      if (Chance(12)) result.flags |= kExtended;
    } else {
      if (Chance(15)) result.flags |= kIgnoreCase;
      if (Chance(15)) result.flags |= kSingleLine;
    }
    case_ = &result;
    flags_ = result.flags;
    if (flags_ & kMultiLine) result.no_cr = true;
    Piece root = Alternation(0);
    if (has_recursion_) {
      result.recursion_body =
          recursion_target_ < 0 ? root.pcre : result.groups[recursion_target_].pcre_body;
    }
    case_ = nullptr;
    result.ours = root.ours;
    result.pcre = rtl_ ? root.rev : root.pcre;
    return result;
  }

  std::string MakeText(const Case& c) {
    static const std::string kCommon = std::string("abcAB1_ -\n\t\r\xe9.\"<>") + '\0';
    int length = Uniform(0, 10);
    std::string text;
    for (int i = 0; i < length; ++i) {
      char ch = (!c.alphabet.empty() && Chance(70))
                    ? c.alphabet[Uniform(0, static_cast<int>(c.alphabet.size()) - 1)]
                    : kCommon[Uniform(0, static_cast<int>(kCommon.size()) - 1)];
      if (ch == '\f' || ch == '\v' || (ch == '\r' && c.no_cr)) ch = 'a';
      if (ch == '\0' && !Chance(20)) ch = 'b';
      text.push_back(ch);
    }
    return text;
  }

  int MakeStart(const std::string& text) {
    if (Chance(80)) return -1;
    return Uniform(0, static_cast<int>(text.size()) + 1);
  }

  bool Chance(int percent) { return Uniform(0, 99) < percent; }
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

 private:
  static constexpr int kMaxDepth = 4;

  Piece Alternation(int depth) {
    int branches = Chance(70) ? 1 : Uniform(2, 3);
    Piece result = Sequence(depth);
    for (int i = 1; i < branches; ++i) {
      Piece next = Sequence(depth);
      result.ours += "|" + next.ours;
      result.pcre += "|" + next.pcre;
      result.rev += "|" + next.rev;
      result.nullable = result.nullable || next.nullable;
      if (result.min_width != next.min_width || result.max_width != next.max_width) {
        result.min_width = std::min(result.min_width, next.min_width);
        result.max_width =
            (result.max_width < 0 || next.max_width < 0) ? -1
                                                         : std::max(result.max_width,
                                                                    next.max_width);
      }
      result.backref_number = 0;
    }
    return result;
  }

  // `consumed_before` is true when an earlier element of an enclosing sequence always consumes
  // a character before this one runs, so that a recursion here cannot loop without progress.
  Piece Sequence(int depth) {
    int items = Uniform(depth == 0 ? 1 : 0, depth >= 2 ? 2 : 4);
    Piece result;
    result.nullable = true;
    bool consumed = false;
    std::vector<Piece> pieces;
    for (int i = 0; i < items; ++i) {
      Piece piece = Repeat(depth, consumed);
      consumed = consumed || !piece.nullable;
      pieces.push_back(std::move(piece));
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
      Piece& piece = pieces[i];
      if (piece.backref_number > 0 && i + 1 < pieces.size() && !pieces[i + 1].ours.empty() &&
          std::isdigit(static_cast<unsigned char>(pieces[i + 1].ours[0]))) {
        piece.ours = "\\k<" + std::to_string(piece.backref_number) + ">";
      }
      std::string layout = Layout();
      result.ours += layout + piece.ours;
      result.pcre += layout + piece.pcre;
      result.nullable = result.nullable && piece.nullable;
      result.min_width += piece.min_width;
      result.max_width =
          (result.max_width < 0 || piece.max_width < 0) ? -1 : result.max_width + piece.max_width;
    }
    std::string layout = Layout();
    result.ours += layout;
    result.pcre += layout;
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) result.rev += it->rev;
    result.backref_number = pieces.size() == 1 ? pieces[0].backref_number : 0;
    result.quantifiable = pieces.size() == 1 && pieces[0].quantifiable;
    return result;
  }

  // Ignorable blanks and comments between elements under the extended flag.
  std::string Layout() {
    if (!(flags_ & kExtended) || !Chance(25)) return "";
    static const char* const kLayouts[] = {" ", "  ", "\n", "\t", " # note\n", "#x\n "};
    return kLayouts[Uniform(0, 5)];
  }

  Piece Repeat(int depth, bool consumed_before) {
    enum { kGreedy, kLazy, kPossessive } mode = kGreedy;
    if (extended_ || rtl_) {
      int roll = Uniform(0, 99);
      mode = roll < 20 ? kLazy : roll < 32 ? kPossessive : kGreedy;
    }
    bool was_soft = soft_;
    if (mode == kPossessive) soft_ = true;
    Piece atom = Atom(depth, consumed_before);
    soft_ = was_soft;
    if (!atom.quantifiable || Chance(55)) return atom;

    int low = 0;
    int high = -1;
    std::string quantifier;
    if (atom.nullable) {
      // An atom that may match empty only ever gets an exact count (see the list above), and
      // seldom: nested counts of atoms that match empty in several ways backtrack explosively.
      if (Chance(60)) return atom;
      low = high = Uniform(1, 3);
      quantifier = "{" + std::to_string(low) + "}";
    } else {
      switch (Uniform(0, 5)) {
        case 0: quantifier = "*"; break;
        case 1: quantifier = "+"; low = 1; break;
        case 2: quantifier = "?"; high = 1; break;
        case 3:
          low = high = Uniform(1, 3);
          quantifier = "{" + std::to_string(low) + "}";
          break;
        case 4:
          low = Uniform(0, 2);
          quantifier = "{" + std::to_string(low) + ",}";
          break;
        default:
          low = Uniform(0, 2);
          high = Uniform(std::max(low, 1), 3);
          quantifier = "{" + std::to_string(low) + "," + std::to_string(high) + "}";
          break;
      }
      // An exact count ignores a following "+" here but is atomic in PCRE2: keep it greedy.
      if (mode == kLazy) quantifier += "?";
      if (mode == kPossessive && low != high) quantifier += "+";
    }
    Piece result;
    result.ours = atom.ours + quantifier;
    result.pcre = atom.pcre + quantifier;
    result.rev = atom.rev + quantifier;
    result.nullable = low == 0 || atom.nullable;
    result.quantifiable = false;
    result.min_width = atom.min_width * low;
    result.max_width = (high < 0 || atom.max_width < 0) ? -1 : atom.max_width * high;
    return result;
  }

  Piece Atom(int depth, bool consumed_before) {
    int roll = Uniform(0, 99);
    bool deep = depth >= kMaxDepth;
    if (rtl_) {
      if (roll < 40 || (deep && roll < 60)) return Literal();
      if (roll < 50 || deep) return ShorthandClass();
      if (roll < 68) return Bracket();
      if (roll < 75) return Anchor();
      if (roll < 80) return NonCapturing(depth, consumed_before);
      if (roll < 86) return Atomic(depth, consumed_before);
      return Group(depth, consumed_before);
    }
    if (!extended_ || Chance(50)) {
      if (roll < 40 || (deep && roll < 60)) return Literal();
      if (roll < 55 || deep) return ShorthandClass();
      if (roll < 75) return Bracket();
      return Group(depth, consumed_before);
    }
    // The extended constructs.
    if (roll < 10) return Anchor();
    if (roll < 16) return InlineOptions();
    if (roll < 20) return QuotedRun();
    if (roll < 30) {
      if (auto piece = BackReference()) return *piece;
      return Literal();
    }
    if (roll < 36 && !in_lookbehind_) {
      if (auto piece = Recursion(consumed_before)) return *piece;
    }
    if (deep) return Literal();
    if (roll < 50) return NamedGroup(depth, consumed_before);
    if (roll < 60) return NonCapturing(depth, consumed_before);
    if (roll < 74) return LookAround(depth);
    if (roll < 82) return Atomic(depth, consumed_before);
    if (roll < 92) return Conditional(depth, consumed_before);
    return Group(depth, consumed_before);
  }

  // ---- characters

  // Renders one character as a literal outside brackets; `in_bracket` for inside.
  std::pair<std::string, std::string> CharSpelling(unsigned char ch, bool in_bracket) {
    auto hex2 = [](unsigned value) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "%02x", value & 0xFF);
      return std::string(buffer);
    };
    std::string plain(1, static_cast<char>(ch));
    if ((flags_ & kExtended) && (ch == ' ' || ch == '#' || (ch >= '\t' && ch <= '\r'))) {
      switch (ch) {
        case ' ': return {"\\x20", "\\x20"};
        case '#': return {"\\#", "\\#"};
        case '\t': return {"\\t", "\\t"};
        case '\n': return {"\\n", "\\n"};
        case '\r': return {"\\r", "\\r"};
        case '\f': return {"\\f", "\\f"};
        default: return {"\\x0b", "\\x0b"};
      }
    }
    // PCRE2 reads "[." and "[=" inside a class as POSIX collating syntax.
    if (in_bracket && (ch == '.' || ch == '=')) return {"\\" + plain, "\\" + plain};
    if (std::isalnum(ch) || ch == '_' || ch == '"' || ch == '<' || ch == '>' || ch == ' ' ||
        ch == '\'' || ch == '=' || ch == '!' || ch == '@' || ch == '%' || ch == '&' ||
        ch == ',' || ch == ';' || ch == '/') {
      if (ch == ' ' && Chance(20)) return {"\\x20", "\\x20"};
      return {plain, plain};
    }
    const std::string outside_meta = "$()*+.?[\\]^{|}#-:";
    const std::string inside_meta = "\\]^-[:";
    const std::string& meta = in_bracket ? inside_meta : outside_meta;
    if (ch < 0x80 && ch >= 0x20 && ch != 0x7F) {
      if (meta.find(static_cast<char>(ch)) != std::string::npos || Chance(30)) {
        return {"\\" + plain, "\\" + plain};
      }
      return {plain, plain};
    }
    switch (ch) {
      case '\t': if (Chance(50)) return {"\\t", "\\t"}; break;
      case '\n': if (Chance(50)) return {"\\n", "\\n"}; break;
      case '\r': if (Chance(50)) return {"\\r", "\\r"}; break;
      case '\a': return {"\\a", "\\a"};
      case 0x1B: return {"\\e", "\\e"};
      case '\f': return {"\\f", "\\f"};
      default: break;
    }
    if (ch >= 0x80 && Chance(40)) return {plain, plain};
    std::string pcre = "\\x" + hex2(ch);
    switch (Uniform(0, 4)) {
      case 0: return {"\\x{" + hex2(ch) + "}", "\\x{" + hex2(ch) + "}"};
      case 1: return {"\\u00" + hex2(ch), pcre};
      case 2: {
        // Only the low 8 bits of a wider code count here.
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "\\x{%x%s}", Uniform(1, 0xFF), hex2(ch).c_str());
        return {buffer, pcre};
      }
      default: return {pcre, pcre};
    }
  }

  unsigned char PickChar() {
    static const std::string kPool = "aaabbbcAB1_ -.\"<>*?()[]{}|^$\\+\n\t\xe9\xff\x01";
    return static_cast<unsigned char>(kPool[Uniform(0, static_cast<int>(kPool.size()) - 1)]);
  }

  void Mention(unsigned char ch) {
    if (ch == '\f' || ch == '\v') return;
    case_->alphabet.push_back(static_cast<char>(ch));
    if (flags_ & kIgnoreCase && std::isalpha(ch)) {
      case_->alphabet.push_back(static_cast<char>(std::isupper(ch) ? std::tolower(ch)
                                                                   : std::toupper(ch)));
    }
  }

  Piece Literal() {
    unsigned char ch = PickChar();
    Mention(ch);
    auto [ours, pcre] = CharSpelling(ch, false);
    Piece piece;
    piece.ours = ours;
    piece.pcre = pcre;
    piece.rev = pcre;
    piece.min_width = piece.max_width = 1;
    return piece;
  }

  Piece ShorthandClass() {
    static const char* const kClasses[] = {".", "\\w", "\\W", "\\d", "\\D", "\\s", "\\S"};
    std::string text = kClasses[Uniform(0, 6)];
    Piece piece;
    piece.ours = piece.pcre = piece.rev = text;
    piece.min_width = piece.max_width = 1;
    return piece;
  }

  Piece Bracket() {
    std::string ours = "[";
    std::string pcre = "[";
    if (Chance(25)) {
      ours += "^";
      pcre += "^";
    }
    int items = Uniform(1, 3);
    for (int i = 0; i < items; ++i) {
      int kind = Uniform(0, 9);
      if (kind < 2) {
        static const char* const kNested[] = {"\\w", "\\W", "\\d", "\\D", "\\s", "\\S"};
        std::string nested = kNested[Uniform(0, 5)];
        ours += nested;
        pcre += nested;
      } else if (kind < 6) {
        // A range, both ends in 0x00-0x7F (characters compare signed here).
        unsigned char low, high;
        if (Chance(70)) {
          static const char* const kRanges[] = {"az", "ac", "AZ", "09", "bz", "AC", " /", "Za"};
          const char* range = kRanges[Uniform(0, 7)];
          low = static_cast<unsigned char>(range[0]);
          high = static_cast<unsigned char>(range[1]);
        } else {
          low = static_cast<unsigned char>(Uniform(0x01, 0x7F));
          high = static_cast<unsigned char>(Uniform(low, 0x7F));
        }
        Mention(low);
        Mention(high);
        auto [low_ours, low_pcre] = CharSpelling(low, true);
        auto [high_ours, high_pcre] = CharSpelling(high, true);
        ours += low_ours + "-" + high_ours;
        pcre += low_pcre + "-" + high_pcre;
      } else {
        unsigned char ch = PickChar();
        Mention(ch);
        auto [ch_ours, ch_pcre] = CharSpelling(ch, true);
        ours += ch_ours;
        pcre += ch_pcre;
      }
    }
    if (Chance(10)) {  // a trailing hyphen is the character itself in both
      ours += "-";
      pcre += "-";
    }
    Piece piece;
    piece.ours = ours + "]";
    piece.pcre = pcre + "]";
    piece.rev = piece.pcre;
    piece.min_width = piece.max_width = 1;
    return piece;
  }

  // ---- groups

  Piece Wrap(const std::string& open_ours, const std::string& open_pcre, Piece body,
             const std::string& open_rev = "") {
    body.ours = open_ours + body.ours + ")";
    body.pcre = open_pcre + body.pcre + ")";
    body.rev = (open_rev.empty() ? open_pcre : open_rev) + body.rev + ")";
    body.quantifiable = true;
    body.backref_number = 0;
    return body;
  }

  Piece Group(int depth, bool consumed_before) {
    size_t index = case_->groups.size();
    GroupInfo info;
    info.pcre_number = static_cast<int>(index) + 1;
    info.index = ++plain_groups_;
    info.soft = soft_;
    info.negative = in_negative_;
    case_->groups.push_back(info);
    Piece body = Alternation(depth + 1);
    (void)consumed_before;
    case_->groups[index].closed = true;
    case_->groups[index].pcre_body = body.pcre;
    return Wrap("(", "(", std::move(body), "(?<g" + std::to_string(info.index) + ">");
  }

  Piece NamedGroup(int depth, bool consumed_before) {
    static const char* const kNames[] = {"n", "ab", "q1", "zz", "key", "p"};
    std::vector<std::string> free;
    for (const char* name : kNames) {
      bool used = std::any_of(case_->groups.begin(), case_->groups.end(),
                              [&](const GroupInfo& g) { return g.named && g.name == name; });
      if (!used) free.push_back(name);
    }
    if (free.empty()) return Group(depth, consumed_before);
    size_t index = case_->groups.size();
    GroupInfo info;
    info.named = true;
    info.name = free[Uniform(0, static_cast<int>(free.size()) - 1)];
    info.pcre_number = static_cast<int>(index) + 1;
    info.index = named_groups_++;
    info.soft = soft_;
    info.negative = in_negative_;
    case_->groups.push_back(info);
    Piece body = Alternation(depth + 1);
    case_->groups[index].closed = true;
    case_->groups[index].pcre_body = body.pcre;
    const std::string& name = case_->groups[index].name;
    switch (Uniform(0, 2)) {
      case 0: return Wrap("(?<" + name + ">", "(?<" + name + ">", std::move(body));
      case 1: return Wrap("(?'" + name + "'", "(?'" + name + "'", std::move(body));
      default: return Wrap("(?P<" + name + ">", "(?P<" + name + ">", std::move(body));
    }
  }

  Piece NonCapturing(int depth, bool consumed_before) {
    (void)consumed_before;
    if (!has_recursion_ && !rtl_ && Chance(40)) {
      options_made_ = true;
      std::string options = OptionLetters();
      if (options.find('m') != std::string::npos) case_->no_cr = true;
      return Wrap("(?" + options + ":", "(?" + options + ":", Alternation(depth + 1));
    }
    return Wrap("(?:", "(?:", Alternation(depth + 1));
  }

  Piece Atomic(int depth, bool consumed_before) {
    (void)consumed_before;
    bool was_soft = soft_;
    soft_ = true;
    Piece body = Alternation(depth + 1);
    soft_ = was_soft;
    return Wrap("(?>", "(?>", std::move(body));
  }

  Piece LookAround(int depth) {
    bool behind = Chance(45);
    bool negative = Chance(40);
    bool was_soft = soft_;
    bool was_behind = in_lookbehind_;
    bool was_negative = in_negative_;
    soft_ = true;
    if (behind) in_lookbehind_ = true;
    if (negative) in_negative_ = true;
    std::optional<Piece> body;
    // Look-behind bodies must have one width for PCRE2; try a few times, else a literal.
    size_t groups_before = case_->groups.size();
    int plain_before = plain_groups_;
    int named_before = named_groups_;
    for (int attempt = 0; attempt < 6 && !body; ++attempt) {
      Piece candidate = Alternation(depth + 1);
      if (!behind ||
          (candidate.max_width >= 0 && candidate.min_width == candidate.max_width)) {
        body = std::move(candidate);
      } else {
        case_->groups.resize(groups_before);
        plain_groups_ = plain_before;
        named_groups_ = named_before;
      }
    }
    if (!body) body = Literal();
    soft_ = was_soft;
    in_lookbehind_ = was_behind;
    in_negative_ = was_negative;
    std::string open = std::string("(?") + (behind ? "<" : "") + (negative ? "!" : "=");
    Piece piece = Wrap(open, open, std::move(*body));
    piece.nullable = true;
    piece.quantifiable = false;
    piece.min_width = piece.max_width = 0;
    return piece;
  }

  Piece Conditional(int depth, bool consumed_before) {
    (void)consumed_before;
    std::string cond_ours, cond_pcre;
    std::vector<const GroupInfo*> usable = ReferableGroups();
    if (!usable.empty() && Chance(60)) {
      const GroupInfo& g = *usable[Uniform(0, static_cast<int>(usable.size()) - 1)];
      references_made_ = true;
      if (g.named) {
        cond_ours = "(" + g.name + ")";
        cond_pcre = "(<" + g.name + ">)";
      } else {
        cond_ours = "(" + std::to_string(g.index) + ")";
        cond_pcre = "(" + std::to_string(g.pcre_number) + ")";
      }
    } else {
      Piece look = LookAround(depth);
      cond_ours = look.ours;
      cond_pcre = look.pcre;
    }
    Piece yes = Sequence(depth + 1);
    Piece result;
    result.ours = "(?" + cond_ours + yes.ours;
    result.pcre = "(?" + cond_pcre + yes.pcre;
    result.nullable = yes.nullable;
    result.min_width = yes.min_width;
    result.max_width = yes.max_width;
    if (Chance(70)) {
      Piece no = Sequence(depth + 1);
      result.ours += "|" + no.ours;
      result.pcre += "|" + no.pcre;
      result.nullable = result.nullable || no.nullable;
      if (no.min_width != yes.min_width || no.max_width != yes.max_width) {
        result.min_width = std::min(yes.min_width, no.min_width);
        result.max_width = (yes.max_width < 0 || no.max_width < 0)
                               ? -1
                               : std::max(yes.max_width, no.max_width);
      }
    } else {
      // A missing branch is empty: the conditional may consume nothing.
      result.nullable = true;
      result.min_width = 0;
    }
    result.ours += ")";
    result.pcre += ")";
    return result;
  }

  // ---- the remaining extended atoms

  std::string OptionLetters() {
    std::string on, off;
    for (char letter : std::string("ims")) {
      int roll = Uniform(0, 2);
      if (roll == 1) on += letter;
      if (roll == 2) off += letter;
    }
    if (on.empty() && off.empty()) on = "i";
    return off.empty() ? on : on + "-" + off;
  }

  Piece InlineOptions() {
    // Spelling a recursion out moves the called text under the options of the call's place.
    if (has_recursion_) return Literal();
    options_made_ = true;
    std::string options = OptionLetters();
    // Options switched inline may be in force anywhere later: play safe with line ends.
    if (options.find('m') != std::string::npos) case_->no_cr = true;
    Piece piece;
    piece.ours = piece.pcre = "(?" + options + ")";
    piece.nullable = true;
    piece.quantifiable = false;
    return piece;
  }

  Piece Anchor() {
    static const char* const kAnchors[] = {"^", "$", "\\A", "\\z", "\\Z", "\\b", "\\B", "\\G"};
    std::string anchor = kAnchors[Uniform(0, (flags_ & kGlobal) ? 7 : 6)];
    if (anchor == "\\Z") {
      if (rtl_) anchor = "\\b";  // its mirror image is no PCRE2 anchor
      case_->no_cr = true;
    }
    Piece piece;
    piece.ours = piece.pcre = anchor;
    // A position test mirrored: "at the start / after a line feed" becomes "at the end / before
    // a line feed" and the other way round.
    if (anchor == "^") piece.rev = "$";
    else if (anchor == "$") piece.rev = "^";
    else if (anchor == "\\A") piece.rev = "\\z";
    else if (anchor == "\\z") piece.rev = "\\A";
    else piece.rev = anchor;
    piece.nullable = true;
    piece.quantifiable = false;
    return piece;
  }

  Piece QuotedRun() {
    int length = Uniform(0, 3);
    std::string body;
    for (int i = 0; i < length; ++i) {
      static const std::string kPool = "aB.*\\(x?|";
      body.push_back(kPool[Uniform(0, static_cast<int>(kPool.size()) - 1)]);
    }
    std::string shown = body;
    std::string kind = "Q";
    int roll = Uniform(0, 3);
    if (roll == 1) {
      kind = "L";
      for (char& ch : shown) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    } else if (roll == 2) {
      kind = "U";
      for (char& ch : shown) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    for (char ch : shown) Mention(static_cast<unsigned char>(ch));
    Piece piece;
    piece.ours = "\\" + kind + body + "\\E";
    piece.pcre = "\\Q" + shown + "\\E";
    piece.nullable = length == 0;
    piece.quantifiable = false;
    piece.min_width = piece.max_width = length;
    return piece;
  }

  // Groups that a back-reference or condition may name: closed, and not soft.
  std::vector<const GroupInfo*> ReferableGroups() {
    std::vector<const GroupInfo*> usable;
    if (has_recursion_) return usable;
    for (const GroupInfo& g : case_->groups) {
      if (g.closed && !g.soft) usable.push_back(&g);
    }
    return usable;
  }

  std::optional<Piece> BackReference() {
    if (in_lookbehind_) return std::nullopt;
    std::vector<const GroupInfo*> usable = ReferableGroups();
    if (usable.empty()) return std::nullopt;
    const GroupInfo& g = *usable[Uniform(0, static_cast<int>(usable.size()) - 1)];
    references_made_ = true;
    Piece piece;
    piece.nullable = true;
    piece.quantifiable = false;
    piece.min_width = 0;
    piece.max_width = -1;
    if (g.named) {
      std::string name = g.name;
      if (Chance(30)) {  // names compare without case here
        for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      }
      switch (Uniform(0, 2)) {
        case 0: piece.ours = "\\k<" + name + ">"; break;
        case 1: piece.ours = "\\k'" + name + "'"; break;
        default: piece.ours = "\\g<" + name + ">"; break;
      }
      piece.pcre = "\\k<" + g.name + ">";
    } else {
      std::string number = std::to_string(g.index);
      if (Chance(70)) {
        piece.ours = "\\" + number;
        piece.backref_number = g.index;
      } else {
        piece.ours = Chance(50) ? "\\k<" + number + ">" : "\\k'" + number + "'";
      }
      piece.pcre = "\\g{" + std::to_string(g.pcre_number) + "}";
    }
    return piece;
  }

  std::optional<Piece> Recursion(bool consumed_before) {
    // Only after an element that consumed a character, and with no references anywhere (their
    // captures would differ); once recursion is in, groups are no longer compared.
    if (!consumed_before) return std::nullopt;
    if (references_made_ || options_made_ || has_recursion_) return std::nullopt;
    has_recursion_ = true;
    case_->recursion = true;
    Piece piece;
    piece.nullable = true;
    piece.quantifiable = false;
    piece.min_width = 0;
    piece.max_width = -1;
    std::vector<const GroupInfo*> open;
    for (const GroupInfo& g : case_->groups) {
      if (!g.closed) open.push_back(&g);
    }
    if (open.empty() || Chance(30)) {
      piece.ours = Chance(50) ? "(?R)" : "(?0)";
      piece.pcre = kCallMark;
      recursion_target_ = -1;
      return piece;
    }
    const GroupInfo& g = *open[Uniform(0, static_cast<int>(open.size()) - 1)];
    recursion_target_ = g.pcre_number - 1;
    if (g.named) {
      piece.ours = Chance(50) ? "(?R<" + g.name + ">)" : "(?R'" + g.name + "')";
      piece.pcre = kCallMark;
    } else {
      piece.ours = Chance(50) ? "(?" + std::to_string(g.index) + ")"
                              : "(?R" + std::to_string(g.index) + ")";
      piece.pcre = kCallMark;
    }
    return piece;
  }

  std::mt19937 rng_;
  bool extended_;
  bool rtl_;
  Case* case_ = nullptr;
  int flags_ = 0;
  int plain_groups_ = 0;
  int named_groups_ = 0;
  bool soft_ = false;
  bool in_negative_ = false;
  bool in_lookbehind_ = false;
  bool has_recursion_ = false;
  bool references_made_ = false;
  bool options_made_ = false;
  int recursion_target_ = -1;  // index in the group table, -1 for the whole pattern

 public:
  // A fresh generator state for the next pattern (the random stream goes on).
  void Reset() {
    plain_groups_ = named_groups_ = 0;
    soft_ = in_negative_ = in_lookbehind_ = has_recursion_ = references_made_ = options_made_ = false;
    recursion_target_ = -1;
  }
};

Generator::Generator(uint32_t seed, bool extended, bool right_to_left)
    : maker_(std::make_unique<Maker>(seed, extended, right_to_left)) {}
Generator::~Generator() = default;

Case Generator::Make() {
  maker_->Reset();
  return maker_->Make();
}
std::string Generator::MakeText(const Case& c) { return maker_->MakeText(c); }
int Generator::MakeStart(const std::string& text) { return maker_->MakeStart(text); }

}  // namespace larkpost::differential
