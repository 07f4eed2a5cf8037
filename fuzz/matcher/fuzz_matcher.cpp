// The matcher on any pattern, flags, start and text. Input: flags byte, start byte, pattern
// length byte, pattern, text. The result must be well formed; sanitizers catch the rest.
// Lengths stay small, and the text tiny for patterns that are not memoized (back-references,
// conditions on groups, recursion): they keep plain backtracking, exponential by design, and a
// longer text would only report that. Backtracking can be exponential in the pattern too (a
// recursion, or a repeat too large for the memo such as `(|){512}x`), so every match runs under
// a step limit that matching a memoized pattern over such short texts stays far below.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "regex/pattern.h"

namespace {

constexpr size_t kMaxPattern = 48;
constexpr size_t kMaxText = 96;
constexpr size_t kMaxTextUnmemoized = 4;
constexpr uint64_t kStepLimit = uint64_t{1} << 20;

void Check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int flags = data[0] & 0x3F;
  const int start = static_cast<int>(data[1]) - 2;  // -2 .. 253: before, at and past the text
  const size_t pattern_length = std::min<size_t>({data[2], kMaxPattern, size - 3});
  const std::string_view pattern(reinterpret_cast<const char*>(data) + 3, pattern_length);
  std::string_view text(reinterpret_cast<const char*>(data) + 3 + pattern_length, size - 3 - pattern_length);
  larkpost::Pattern compiled;
  compiled.Compile(pattern.data(), static_cast<int>(pattern.size()), flags);
  text = text.substr(0, compiled.Memoized() ? kMaxText : kMaxTextUnmemoized);
  larkpost::MatchState state;
  state.SetStepLimit(kStepLimit);
  const larkpost::PatternMatch match = compiled.Match(text, start, &state);
  if (state.StepLimitReached()) {
    Check(!match.Matched());
    return 0;
  }
  // With or without a lent state, the same result.
  Check(compiled.Match(text, start).values == match.values);
  if (!match.Matched()) return 0;
  const int max = match.MaxGroup();
  Check(max >= 0 && match.values.size() == 2 + 2 * static_cast<size_t>(max + 1));
  for (int g = 0; g <= max; ++g) {
    const int s = match.GroupStart(g), e = match.GroupEnd(g);
    Check((s == -1 && e == -1) || (s >= 0 && s <= e && e <= static_cast<int>(text.size())));
  }
  Check(match.GroupStart(0) >= 0);
  return 0;
}
