#include "backupfile/address.h"

#include <cstdint>
#include <string>

#include "platform/text/text.h"
#include "regex/pattern.h"

namespace larkpost {

namespace {

// A double quote, group 1 (the name, any characters), a double quote, a blank, "<", group 3
// (the address, any characters), ">". `\w|\W` is the matcher's way of saying "any character,
// line breaks included"; groups 2 and 4 are those inner alternatives.
constexpr char kSenderPattern[] = "\"((\\w|\\W)*)\" <((\\w|\\W)*)>";
// The sender form followed by a blank and group 5, the recipient type in decimal digits.
constexpr char kRecipientPattern[] = "\"((\\w|\\W)*)\" <((\\w|\\W)*)> (\\d*)";
static_assert(sizeof(kSenderPattern) - 1 == 25);
static_assert(sizeof(kRecipientPattern) - 1 == 31);

// Group n of the match as wide text; a group that took no part gives "".
std::u16string Group(const std::string& narrow, const PatternMatch& match, int n) {
  const int start = match.GroupStart(n);
  const int end = match.GroupEnd(n);
  if (start < 0 || end < start || static_cast<size_t>(end) > narrow.size()) return {};
  return AnsiToWide(std::string_view(narrow).substr(start, end - start));
}

// Matches the pattern against the text converted to the ANSI code page; the narrow text is left
// in `narrow` because the group offsets point into it.
PatternMatch MatchNarrow(const char* pattern, int length, std::u16string_view text,
                         std::string& narrow) {
  Pattern compiled;
  compiled.Compile(pattern, length, 0);
  narrow = WideToAnsi(text);
  return compiled.Match(narrow.c_str(), -1);
}

}  // namespace

bool ParseSenderText(SmsMessage& message, std::u16string_view text) {
  std::string narrow;
  const PatternMatch match =
      MatchNarrow(kSenderPattern, sizeof(kSenderPattern) - 1, text, narrow);
  if (!match.Matched()) return false;
  message.senderName = Group(narrow, match, 1);
  message.senderAddress = Group(narrow, match, 3);
  return true;
}

std::unique_ptr<SmsRecipient> ParseRecipientText(std::u16string_view text) {
  std::string narrow;
  const PatternMatch match =
      MatchNarrow(kRecipientPattern, sizeof(kRecipientPattern) - 1, text, narrow);
  if (!match.Matched()) return nullptr;
  auto recipient = std::make_unique<SmsRecipient>();
  recipient->displayName = Group(narrow, match, 1);
  recipient->address = Group(narrow, match, 3);
  // Digits read as a decimal number, an empty run as 0; a run too long for the type saturates
  // rather than overflowing.
  int64_t type = 0;
  for (char16_t digit : Group(narrow, match, 5)) {
    if (digit < u'0' || digit > u'9') break;
    type = type * 10 + (digit - u'0');
    if (type > INT32_MAX) {
      type = INT32_MAX;
      break;
    }
  }
  recipient->type = static_cast<int32_t>(type);
  return recipient;
}

}  // namespace larkpost
