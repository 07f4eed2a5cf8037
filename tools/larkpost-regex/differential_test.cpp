// Differential test of the pattern matcher against PCRE2. One file, long on purpose: the pattern
// generator, its two renderings and the list of deliberate differences below must change
// together, or the engines stop being compared on the same language.
//
// A generator builds random patterns from the syntax both engines understand, renders each one
// twice (once in our syntax, once in PCRE2's, which differ in a few spellings), and runs both
// engines over random texts. Both search start positions from the start onwards and report the
// first match in backtracking order, so wherever their rules coincide they must agree on
// matched/not, on the whole match and on every group.
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
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "regex/pattern.h"

namespace larkpost {
namespace {

// ---------------------------------------------------------------------------------------------
// PCRE2 as the oracle.

struct OracleResult {
  enum Status { kMatched, kNotMatched, kSkip } status = kSkip;
  std::vector<int> offsets;  // start, end of each group by PCRE2 number; -1 when unset
  std::vector<int> numbers;  // the numbers of the groups asked for by name
  std::string why;           // for kSkip
};

class Oracle {
 public:
  Oracle() {
    compile_context_ = pcre2_compile_context_create(nullptr);
    pcre2_set_newline(compile_context_, PCRE2_NEWLINE_LF);
    pcre2_set_parens_nest_limit(compile_context_, 1000);
    match_context_ = pcre2_match_context_create(nullptr);
    // Low enough that a pattern which backtracks explosively is skipped before our engine, which
    // has no such limit, spends minutes on it.
    pcre2_set_match_limit(match_context_, 200'000);
    pcre2_set_depth_limit(match_context_, 5'000);
    pcre2_set_heap_limit(match_context_, 64 * 1024);
  }
  ~Oracle() {
    pcre2_match_context_free(match_context_);
    pcre2_compile_context_free(compile_context_);
  }
  Oracle(const Oracle&) = delete;
  Oracle& operator=(const Oracle&) = delete;

  // `flags` are PatternFlag bits (right to left and extended are not supported).
  OracleResult Run(const std::string& pattern, int flags, const std::string& text, int start,
                   bool duplicate_names = false, const std::vector<std::string>& names = {}) {
    OracleResult result;
    uint32_t options = PCRE2_DOLLAR_ENDONLY | PCRE2_ALT_CIRCUMFLEX | PCRE2_NO_START_OPTIMIZE |
                       PCRE2_NO_AUTO_POSSESS;
    if (duplicate_names) options |= PCRE2_DUPNAMES;
    if (flags & kSingleLine) options |= PCRE2_DOTALL;
    if (flags & kMultiLine) options |= PCRE2_MULTILINE;
    if (flags & kIgnoreCase) options |= PCRE2_CASELESS;
    if (flags & kExtended) options |= PCRE2_EXTENDED;
    int error = 0;
    PCRE2_SIZE error_offset = 0;
    pcre2_code* code =
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options,
                      &error, &error_offset, compile_context_);
    if (code == nullptr) {
      PCRE2_UCHAR message[256];
      pcre2_get_error_message(error, message, sizeof message);
      result.why = "PCRE2 compile error: " + std::string(reinterpret_cast<char*>(message));
      return result;
    }
    for (const std::string& name : names) {
      result.numbers.push_back(
          pcre2_substring_number_from_name(code, reinterpret_cast<PCRE2_SPTR>(name.c_str())));
    }
    uint32_t capture_count = 0;
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &capture_count);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    PCRE2_SIZE offset = start < 0 ? 0 : static_cast<PCRE2_SIZE>(start);
    int rc = offset > text.size()
                 ? PCRE2_ERROR_NOMATCH  // ours: a start beyond the end gives no match
                 : pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                               offset, 0, data, match_context_);
    if (rc == PCRE2_ERROR_NOMATCH) {
      result.status = OracleResult::kNotMatched;
    } else if (rc < 0) {
      result.why = "PCRE2 match error " + std::to_string(rc);
    } else {
      result.status = OracleResult::kMatched;
      PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
      for (uint32_t i = 0; i <= capture_count; ++i) {
        bool set = i < static_cast<uint32_t>(rc) && ovector[2 * i] != PCRE2_UNSET;
        result.offsets.push_back(set ? static_cast<int>(ovector[2 * i]) : -1);
        result.offsets.push_back(set ? static_cast<int>(ovector[2 * i + 1]) : -1);
      }
    }
    pcre2_match_data_free(data);
    pcre2_code_free(code);
    return result;
  }

 private:
  pcre2_compile_context* compile_context_ = nullptr;
  pcre2_match_context* match_context_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// The generator.

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

struct GroupInfo {
  bool named = false;
  std::string name;
  int pcre_number = 0;  // order of opening parenthesis
  int index = 0;        // plain: its number; named: position among the named groups (0-based)
  bool closed = false;
  bool soft = false;    // inside a look-around, atomic group or possessive repeat
  std::string pcre_body;  // what is between its parentheses, in PCRE2's spelling
  bool negative = false;  // inside a negative look-around (PCRE2 never reports those)
};

// Where the recursion stands in the PCRE2 spelling until it is spelt out.
constexpr char kCallMark = '\x01';

struct Case {
  std::string ours;
  std::string pcre;
  int flags = 0;
  bool no_cr = false;       // texts must not hold "\r" (multi-line or \Z may be in force)
  bool recursion = false;   // compare matched/not and group 0 only
  bool right_to_left = false;  // `pcre` is the mirrored pattern, run over the reversed text
  std::string recursion_body;  // the called text in PCRE2's spelling, holding the call mark
  std::vector<GroupInfo> groups;
  std::string alphabet;     // characters the pattern mentions, to bias the texts
};

class Generator {
 public:
  Generator(uint32_t seed, bool extended, bool right_to_left = false)
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

// ---------------------------------------------------------------------------------------------
// Running and comparing.

std::string Quoted(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char ch : bytes) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch >= 0x20 && ch < 0x7F) {
      out += static_cast<char>(ch);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", ch);
      out += buffer;
    }
  }
  return out + "\"";
}

std::string Join(const std::vector<int>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + std::to_string(values[i]);
  return out + "]";
}

struct Tally {
  int cases = 0;
  int compared = 0;
  int matched = 0;
  int skipped = 0;
  int soft_differences = 0;
  int soft_outside_negative = 0;  // of those, groups not inside a negative look-around
  std::vector<std::string> failures;  // shortest first when reported
  std::vector<std::string> soft_samples;
};

// The PCRE2 pattern of a case for one text: a recursion is spelt out (see the list above) as
// deep as the text allows, since each level consumes a character before the next call.
std::string PcreSpelling(const Case& c, const std::string& text, int start) {
  if (!c.recursion) return c.pcre;
  int levels = static_cast<int>(text.size()) - std::max(start, 0) + 1;
  std::string pattern = c.pcre;
  for (int level = 0; level < levels; ++level) {
    size_t at = pattern.find(kCallMark);
    if (at == std::string::npos) break;
    pattern.replace(at, 1, "(?:" + c.recursion_body + ")");
  }
  for (size_t at; (at = pattern.find(kCallMark)) != std::string::npos;) {
    pattern.replace(at, 1, "(?!)");
  }
  return pattern;
}

// A right-to-left case: the mirrored pattern runs left to right over the reversed text, from the
// mirrored start, and its offsets are mirrored back (x becomes L - x, start and end swap). The
// result comes back indexed by our group numbers.
OracleResult RunMirrored(const Case& c, const std::string& text, int start, Oracle& oracle) {
  const int length = static_cast<int>(text.size());
  std::string reversed(text.rbegin(), text.rend());
  int mirrored_start = (start < 0 || start > length) ? 0 : length - start;
  std::vector<std::string> names;
  for (size_t g = 1; g <= c.groups.size(); ++g) names.push_back("g" + std::to_string(g));
  OracleResult mirrored = oracle.Run(c.pcre, c.flags, reversed, mirrored_start, false, names);
  if (mirrored.status != OracleResult::kMatched) return mirrored;
  OracleResult result = mirrored;
  result.offsets.assign(2 * (c.groups.size() + 1), -1);
  for (size_t g = 0; g <= c.groups.size(); ++g) {
    int number = g == 0 ? 0 : mirrored.numbers[g - 1];
    if (number < 0 || mirrored.offsets[2 * number] < 0) continue;
    result.offsets[2 * g] = length - mirrored.offsets[2 * number + 1];
    result.offsets[2 * g + 1] = length - mirrored.offsets[2 * number];
  }
  return result;
}

// Engine numbers of each group of the case, in PCRE2 order.
std::vector<int> OurNumbers(const Case& c) {
  int plain = 0;
  for (const GroupInfo& g : c.groups) plain += g.named ? 0 : 1;
  std::vector<int> numbers;
  for (const GroupInfo& g : c.groups) numbers.push_back(g.named ? plain + 1 + g.index : g.index);
  return numbers;
}

// What a campaign keeps from one case to the next: a match state to lend and a Pattern that is
// compiled again for every case. Neither may carry anything over into a result.
struct Reused {
  MatchState state;
  Pattern pattern;
};

void CompareOnce(const Case& c, const std::string& text, int start, Oracle& oracle,
                 Reused& reused, Tally& tally) {
  ++tally.cases;
  OracleResult expected;
  if (c.right_to_left) {
    expected = RunMirrored(c, text, start, oracle);
  } else {
    expected = oracle.Run(PcreSpelling(c, text, start), c.flags, text, start, c.recursion);
  }
  if (expected.status == OracleResult::kSkip) {
    ++tally.skipped;
    return;
  }
  Pattern pattern;
  pattern.Compile(c.ours.data(), static_cast<int>(c.ours.size()), c.flags);
  PatternMatch actual = pattern.Match(std::string_view(text), start);
  ++tally.compared;
  // A lent match state (last used by another pattern), a Pattern object compiled before with
  // another pattern, and the zero-terminated form of the same text must not change the result.
  PatternMatch with_state = pattern.Match(std::string_view(text), start, &reused.state);
  reused.pattern.Compile(c.ours.data(), static_cast<int>(c.ours.size()), c.flags);
  PatternMatch recompiled = reused.pattern.Match(std::string_view(text), start);
  std::optional<PatternMatch> terminated;
  if (text.find('\0') == std::string::npos) terminated = pattern.Match(text.c_str(), start);

  std::string reproducer = "{\"pattern\": " + Quoted(c.ours) + ", \"text\": " + Quoted(text) +
                           ", \"flags\": " + std::to_string(c.flags) +
                           ", \"start\": " + std::to_string(start) + "}";
  auto fail = [&](const std::string& what) {
    tally.failures.push_back(what + "\n    reproducer (larkpost-regex --batch): " + reproducer +
                             "\n    PCRE2 pattern: " + Quoted(PcreSpelling(c, text, start)) +
                             "\n    ours:  " + Join(actual.values) +
                             "\n    PCRE2: " + (expected.status == OracleResult::kMatched
                                                    ? Join(expected.offsets)
                                                    : "no match"));
  };

  if (with_state.values != actual.values) {
    fail("result with a reused match state differs: " + Join(with_state.values));
    return;
  }
  if (recompiled.values != actual.values) {
    fail("result after compiling a used Pattern object again differs: " +
         Join(recompiled.values));
    return;
  }
  if (terminated && terminated->values != actual.values) {
    fail("result on the zero-terminated text differs: " + Join(terminated->values));
    return;
  }
  bool expect_match = expected.status == OracleResult::kMatched;
  if (actual.Matched() != expect_match) {
    fail(expect_match ? "PCRE2 matches, ours does not" : "ours matches, PCRE2 does not");
    return;
  }
  if (!expect_match) {
    if (!actual.values.empty()) fail("a failed match must give the empty list");
    return;
  }
  ++tally.matched;
  int groups = static_cast<int>(c.groups.size());
  if (actual.values.size() != static_cast<size_t>(2 + 2 * (groups + 1)) ||
      actual.MaxGroup() != groups) {
    fail("result list has the wrong size or largest group number");
    return;
  }
  if (actual.GroupStart(0) != expected.offsets[0] || actual.GroupEnd(0) != expected.offsets[1]) {
    fail("whole match differs");
    return;
  }
  if (c.recursion) return;
  std::vector<int> numbers = OurNumbers(c);
  for (int i = 0; i < groups; ++i) {
    int ours_number = numbers[i];
    int pcre_number = c.groups[i].pcre_number;
    bool same = actual.GroupStart(ours_number) == expected.offsets[2 * pcre_number] &&
                actual.GroupEnd(ours_number) == expected.offsets[2 * pcre_number + 1];
    if (same) continue;
    std::string what = "group " + std::to_string(ours_number) + " (PCRE2 group " +
                       std::to_string(pcre_number) + ") differs";
    if (c.groups[i].soft) {
      ++tally.soft_differences;
      if (!c.groups[i].negative) ++tally.soft_outside_negative;
      if (!c.groups[i].negative && tally.soft_samples.size() < 3) {
        tally.soft_samples.push_back(what + ": " + reproducer + " ours " + Join(actual.values) +
                                     " PCRE2 " + Join(expected.offsets));
      }
      continue;
    }
    fail(what);
    return;
  }
}

// Compares one case; on a disagreement, drops text characters one at a time while the engines
// still disagree, so that the reported reproducer is short.
void CompareOne(const Case& c, std::string text, int start, Oracle& oracle, Reused& reused,
                Tally& tally) {
  size_t failures_before = tally.failures.size();
  CompareOnce(c, text, start, oracle, reused, tally);
  if (tally.failures.size() == failures_before) return;
  for (size_t i = 0; i < text.size();) {
    std::string shorter = text;
    shorter.erase(i, 1);
    int shorter_start = start > static_cast<int>(i) ? start - 1 : start;
    Tally probe;
    CompareOnce(c, shorter, shorter_start, oracle, reused, probe);
    if (probe.failures.empty()) {
      ++i;
      continue;
    }
    text = shorter;
    start = shorter_start;
    tally.failures.back() = probe.failures.front();
  }
}

// LARKPOST_REGEX_DIFF_ROUNDS=n runs n times as many patterns (for hunting faults by hand).
int Rounds() {
  const char* value = std::getenv("LARKPOST_REGEX_DIFF_ROUNDS");
  int rounds = value ? std::atoi(value) : 1;
  return rounds > 0 ? rounds : 1;
}

void RunCampaign(uint32_t seed, int patterns, int texts_per_pattern, bool extended,
                 bool right_to_left = false) {
  patterns *= Rounds();
  Oracle oracle;
  Generator generator(seed, extended, right_to_left);
  Reused reused;
  Tally tally;
  for (int p = 0; p < patterns; ++p) {
    generator.Reset();
    Case c = generator.Make();
    for (int t = 0; t < texts_per_pattern; ++t) {
      std::string text = generator.MakeText(c);
      CompareOne(c, text, generator.MakeStart(text), oracle, reused, tally);
    }
    if (tally.failures.size() >= 200) break;
  }
  std::printf("seed %u: %d cases, %d compared (%d matched), %d skipped, %d soft differences "
              "(%d outside negative look-arounds)\n",
              seed, tally.cases, tally.compared, tally.matched, tally.skipped,
              tally.soft_differences, tally.soft_outside_negative);
  for (const std::string& sample : tally.soft_samples) std::printf("  soft: %s\n", sample.c_str());
  // Enough comparisons must really happen, or the test proves nothing.
  EXPECT_GT(tally.compared, tally.cases / 2);
  EXPECT_GT(tally.matched, tally.compared / 5);
  if (!tally.failures.empty()) {
    std::stable_sort(tally.failures.begin(), tally.failures.end(),
                     [](const std::string& a, const std::string& b) {
                       return a.size() < b.size();
                     });
    std::string report;
    for (size_t i = 0; i < tally.failures.size() && i < 8; ++i) {
      report += "\n" + tally.failures[i];
    }
    ADD_FAILURE() << tally.failures.size() << " disagreements with PCRE2 (shortest first):"
                  << report;
  }
}

// Literals, escapes, classes, brackets, groups, alternation and greedy quantifiers.
TEST(AgreesWithPcre2, CoreSyntax) {
  RunCampaign(20261207, 3000, 4, false);
}

TEST(AgreesWithPcre2, CoreSyntaxSecondSeed) {
  RunCampaign(4242, 3000, 4, false);
}

// Anchors, inline options, look-arounds, atomic groups, lazy and possessive quantifiers,
// back-references, conditionals, named groups, quoted runs and recursion, mixed with the core.
TEST(AgreesWithPcre2, ExtendedSyntax) {
  RunCampaign(7, 3000, 4, true);
}

TEST(AgreesWithPcre2, ExtendedSyntaxSecondSeed) {
  RunCampaign(99, 3000, 4, true);
}

// Right to left against PCRE2 running the mirrored pattern over the reversed text: literals,
// classes, brackets, groups, alternation, greedy, lazy and possessive quantifiers, atomic and
// non-capturing groups, and the position tests.
TEST(AgreesWithPcre2, RightToLeft) {
  RunCampaign(515, 3000, 4, false, true);
}

// Repetition runs on the match state's stacks, not on the call stack: the address pattern over
// a text of hundreds of thousands of characters must neither overflow the stack nor go wrong.
TEST(LongText, AddressPatternOverAHugeName) {
  const int n = 300000;
  std::string text = "\"" + std::string(n, 'x') + "\" <" + std::string(n, '1') + ">";
  const std::string address = R"re("((\w|\W)*)" <((\w|\W)*)>)re";
  Pattern pattern;
  pattern.Compile(address.data(), static_cast<int>(address.size()), 0);
  PatternMatch match = pattern.Match(text.c_str());
  std::vector<int> expected = {1, 4, 0, 2 * n + 5, 1, n + 1, n, n + 1, n + 4, 2 * n + 4,
                               2 * n + 3, 2 * n + 4};
  EXPECT_EQ(match.values, expected);
}

}  // namespace
}  // namespace larkpost
