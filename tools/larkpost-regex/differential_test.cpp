// Differential test of the pattern matcher against PCRE2: the runner and the oracle.
//
// A generator builds random patterns from the syntax both engines understand, renders each one
// twice (once in our syntax, once in PCRE2's, which differ in a few spellings), and runs both
// engines over random texts. Both search start positions from the start onwards and report the
// first match in backtracking order, so wherever their rules coincide they must agree on
// matched/not, on the whole match and on every group.
//
// The cases come from differential_generator.h, which keeps out every rule on which the engines
// deliberately differ (the list is at the top of differential_generator.cpp); PCRE2 runs with the
// options that list names. A disagreement is reported with a reproducer for larkpost-regex.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "differential_generator.h"
#include "regex/pattern.h"

namespace larkpost {
namespace {

using differential::Case;
using differential::Generator;
using differential::GroupInfo;
using differential::kCallMark;

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
