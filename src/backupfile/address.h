// Splitting of address text: a display name in double quotes, a blank and an address in angle
// brackets ("\"Ann\" <+4915112345678>"); a recipient entry adds a blank and the recipient type
// in decimal. Value-typed and store-free: text in, parts out. The store's ParseSenderText and
// ParseRecipientText (store/message.h) fill its own types from these.
//
// Matching works on the text converted to the ANSI code page (up to a NUL character, if any);
// the parts are converted back, so characters outside the code page come back as its default
// character. The patterns are compiled anew on every call; no state is shared.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "message/message_record.h"

namespace larkpost {

// The sender form "\"name\" <address>": false (outputs unchanged) when the text is not of it.
// Text before the first double quote and after the last ">" is ignored.
bool SplitSenderText(std::u16string_view text, std::u16string& name, std::u16string& address);

// One recipient entry "\"name\" <address> type": false (output unchanged) when the entry is not
// of the form. Empty digits give type 0; too many saturate.
bool SplitRecipientText(std::u16string_view text, RecordRecipient& recipient);

// Splits at every occurrence of the separator; the stretch after the last occurrence is always a
// piece, so an empty text gives one empty piece.
template <class String>
std::vector<String> SplitText(const String& text, const String& separator) {
  std::vector<String> pieces;
  size_t start = 0;
  for (size_t at; !separator.empty() && (at = text.find(separator, start)) != String::npos;
       start = at + separator.size()) {
    pieces.push_back(text.substr(start, at - start));
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

namespace address_internal {
// Byte offsets of the groups in the narrow text: name [nameStart, nameEnd), address
// [addressStart, addressEnd), type digits [typeStart, typeEnd) (recipients only).
struct Split {
  int nameStart = -1, nameEnd = -1, addressStart = -1, addressEnd = -1, typeStart = -1,
      typeEnd = -1;
};
// The two ways of finding the groups, exposed so tests can hold them against each other.
bool SplitWithMatcher(const std::string& narrow, bool recipient, Split& split);
bool SplitByScan(std::string_view narrow, bool recipient, Split& split);
}  // namespace address_internal

}  // namespace larkpost
