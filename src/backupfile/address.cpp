#include "backupfile/address.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/text/text.h"
#include "regex/pattern.h"

namespace larkpost {

namespace address_internal {

namespace {

// A double quote, group 1 (the name, any characters), a double quote, a blank, "<", group 3
// (the address, any characters), ">". `\w|\W` is the matcher's way of saying "any character,
// line breaks included"; groups 2 and 4 are those inner alternatives.
constexpr char kSenderPattern[] = "\"((\\w|\\W)*)\" <((\\w|\\W)*)>";
// The sender form followed by a blank and group 5, the recipient type in decimal digits.
constexpr char kRecipientPattern[] = "\"((\\w|\\W)*)\" <((\\w|\\W)*)> (\\d*)";
static_assert(sizeof(kSenderPattern) - 1 == 25);
static_assert(sizeof(kRecipientPattern) - 1 == 31);

// Entries up to this length go through the matcher. The patterns backtrack, and on unlucky text
// ("\" <" repeated) their cost grows with the cube of the length; longer entries, which only
// long names or crafted files give, take the scan below, which finds the same groups in one pass.
constexpr size_t kMatcherLimit = 1023;

// Both patterns, compiled once per process: a compiled pattern may be matched by several
// threads at once.
struct CompiledPatterns {
  Pattern sender;
  Pattern recipient;
  CompiledPatterns() {
    sender.Compile(kSenderPattern, sizeof(kSenderPattern) - 1, 0);
    recipient.Compile(kRecipientPattern, sizeof(kRecipientPattern) - 1, 0);
  }
};

}  // namespace

bool SplitWithMatcher(const std::string& narrow, bool recipient, Split& split) {
  // Each thread lends the matcher its own backtracking storage, kept from one split to the next.
  static const CompiledPatterns patterns;
  thread_local MatchState state;
  const Pattern& pattern = recipient ? patterns.recipient : patterns.sender;
  const PatternMatch match = pattern.Match(narrow.c_str(), -1, &state);
  if (!match.Matched()) return false;
  split.nameStart = match.GroupStart(1);
  split.nameEnd = match.GroupEnd(1);
  split.addressStart = match.GroupStart(3);
  split.addressEnd = match.GroupEnd(3);
  if (recipient) {
    split.typeStart = match.GroupStart(5);
    split.typeEnd = match.GroupEnd(5);
  }
  return true;
}

// What the greedy, leftmost-first patterns find, worked out directly. The match starts at the
// first double quote. The name runs to the last "\" <" that still leaves room for the rest; the
// address runs from there to the last ">" (for a recipient: the last "> "); the type is the run
// of digits after that blank.
bool SplitByScan(std::string_view narrow, bool recipient, Split& split) {
  narrow = narrow.substr(0, narrow.find('\0'));  // the matcher sees a terminated text
  const size_t n = narrow.size();
  size_t close = std::string_view::npos;  // the ">" that ends the address
  for (size_t i = n; i-- > 0;) {
    if (narrow[i] == '>' && (!recipient || (i + 1 < n && narrow[i + 1] == ' '))) {
      close = i;
      break;
    }
  }
  if (close == std::string_view::npos || close < 3) return false;
  size_t nameEnd = std::string_view::npos;  // the "\" <" that ends the name
  for (size_t i = close - 3 + 1; i-- > 0;) {
    if (narrow[i] == '"' && narrow[i + 1] == ' ' && narrow[i + 2] == '<') {
      nameEnd = i;
      break;
    }
  }
  if (nameEnd == std::string_view::npos) return false;
  const size_t open = narrow.find('"');
  if (open >= nameEnd) return false;
  split.nameStart = static_cast<int>(open + 1);
  split.nameEnd = static_cast<int>(nameEnd);
  split.addressStart = static_cast<int>(nameEnd + 3);
  split.addressEnd = static_cast<int>(close);
  if (recipient) {
    size_t digits = close + 2;
    while (digits < n && narrow[digits] >= '0' && narrow[digits] <= '9') ++digits;
    split.typeStart = static_cast<int>(close + 2);
    split.typeEnd = static_cast<int>(digits);
  }
  return true;
}

}  // namespace address_internal

namespace {

using address_internal::Split;

// The last splits of each thread, by text. A store's messages come from few senders and go to
// few recipients, and a restore splits each sender twice (as the file has it and as the store
// keeps it), so most texts were split a moment ago. Only short texts are kept, which bounds the
// memory to kMemoSlots * kMemoText bytes per thread.
constexpr size_t kMemoSlots = 512;
constexpr size_t kMemoText = 128;

struct Memo {
  std::string text;
  bool recipient = false;
  bool matched = false;
  Split split;
};

bool SplitNarrow(const std::string& narrow, bool recipient, Split& split) {
  // The matcher reads up to the first NUL; so does the limit.
  if (std::strlen(narrow.c_str()) > address_internal::kMatcherLimit) {
    return address_internal::SplitByScan(narrow, recipient, split);
  }
  if (narrow.size() > kMemoText) {
    return address_internal::SplitWithMatcher(narrow, recipient, split);
  }
  thread_local std::vector<Memo> memo(kMemoSlots);
  Memo& slot = memo[(std::hash<std::string>{}(narrow) + recipient) % kMemoSlots];
  if (slot.text != narrow || slot.recipient != recipient) {
    slot.text = narrow;
    slot.recipient = recipient;
    slot.split = Split{};
    slot.matched = address_internal::SplitWithMatcher(narrow, recipient, slot.split);
  }
  split = slot.split;
  return slot.matched;
}

// Group [start, end) of the narrow text as wide text; a group that took no part gives "".
std::u16string Group(const std::string& narrow, int start, int end) {
  if (start < 0 || end < start || static_cast<size_t>(end) > narrow.size()) return {};
  return AnsiToWide(std::string_view(narrow).substr(start, end - start));
}

}  // namespace

bool SplitSenderText(std::u16string_view text, std::u16string& name, std::u16string& address) {
  const std::string narrow = WideToAnsi(text);
  Split split;
  if (!SplitNarrow(narrow, false, split)) return false;
  name = Group(narrow, split.nameStart, split.nameEnd);
  address = Group(narrow, split.addressStart, split.addressEnd);
  return true;
}

bool SplitRecipientText(std::u16string_view text, RecordRecipient& recipient) {
  const std::string narrow = WideToAnsi(text);
  Split split;
  if (!SplitNarrow(narrow, true, split)) return false;
  recipient.displayName = Group(narrow, split.nameStart, split.nameEnd);
  recipient.address = Group(narrow, split.addressStart, split.addressEnd);
  // Digits read as a decimal number, an empty run as 0; a run too long for the type saturates
  // rather than overflowing.
  int64_t type = 0;
  for (int i = split.typeStart; i >= 0 && i < split.typeEnd; ++i) {
    type = type * 10 + (narrow[i] - '0');
    if (type > INT32_MAX) {
      type = INT32_MAX;
      break;
    }
  }
  recipient.type = static_cast<int32_t>(type);
  return true;
}

}  // namespace larkpost
