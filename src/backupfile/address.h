// Splitting of address text: a display name in double quotes, a blank and an address in angle
// brackets ("\"Ann\" <+4915112345678>"); a recipient entry adds a blank and the recipient type
// in decimal. Both parsers compile their pattern anew on every call and share no state.
//
// Matching works on the text converted to the ANSI code page; the groups are converted back, so
// characters outside the code page come back as its default character.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/message.h"

namespace larkpost {

// Sets the message's senderName and senderAddress from the text; false (nothing changed) when
// the text is not of the sender form.
bool ParseSenderText(SmsMessage& message, std::u16string_view text);

// A new recipient from one recipient entry, or null when the entry is not of the recipient form.
std::unique_ptr<SmsRecipient> ParseRecipientText(std::u16string_view text);

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

}  // namespace larkpost
