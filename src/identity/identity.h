// When two messages are the same: the one rule behind restore's "already present", merge and
// dedupe. Two messages are the same when they agree on everything both sides can hold:
//
//   folder       the standard folder where both sides keep the five of them, else the direction
//                (received, sent, draft, outbox; a deleted message as its source's owner tells
//                it, as the phone writers place it); the subfolders only when both sides keep them
//   time         the delivery time, to 100 ns where both keep it, else to the millisecond
//   text         exactly; through the code page when one side is a backup file, which keeps the
//                text in it (a character the page lacks is "?" on both sides then)
//   parties      the other parties' numbers in one form (phone_number.h), in any order; the own
//                number (sender of a sent message, recipients of a received one) and the
//                recipient types only when both sides keep them
//
//   multimedia   the parts' content types, texts and bytes (streamed and hashed), and the
//                addresses' numbers with their roles, in any order; an SMS is never the same as
//                a multimedia message
//
// Names never decide, nor do flags (a message read since the backup is still that message), the
// size or the time of the last change. Equal messages are still different messages: callers
// count them as a multiset.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "message/message_record.h"
#include "message/own_numbers.h"

namespace larkpost {

// What both sides of a comparison keep, beyond direction, millisecond time, text and the other
// parties' numbers.
struct IdentityFields {
  bool standardFolders = true;  // all five standard folders, Deleted among them
  bool subfolders = true;
  bool ownNumber = true;
  bool recipientTypes = true;
  bool exactTimes = true;
  bool codePageText = false;    // one side keeps the text in the code page only
  bool folder = true;           // false: the caller compares within one folder, so it is left out
};

// Everything: two stores, or a store and a backup file but for the code page.
inline constexpr IdentityFields kAllFields{};
// A restore of a backup file, which looks for each record in its own folder.
inline constexpr IdentityFields kBackupInFolder{true, true, true, true, true, true, false};
// A phone's file on either side: direction, millisecond, text and the other parties.
inline constexpr IdentityFields kPhoneFields{false, false, false, false, false, false};

// What both keep when one side keeps `a` and the other `b`.
IdentityFields CommonFields(const IdentityFields& a, const IdentityFields& b);

// How numbers go into a key: normalised for the rule, as written (to tell which matches needed
// the normalisation, and to find most matches without normalising), left out, or without
// country code and trunk prefix (RegionFreeNumberView: to count, when no region is known, what
// one would have made the same).
enum class NumberForm { kNormalised, kAsWritten, kLeftOut, kRegionFree };

// The bytes two messages agree on exactly when they are the same under `fields`.
// A message of Deleted Items takes its direction as `own` tells it (message/own_numbers.h);
// without `own`, by its recipients (received without any).
std::string IdentityKey(const MessageRecord& message, const IdentityFields& fields,
                        NumberForm numbers = NumberForm::kNormalised,
                        const OwnNumbers* own = nullptr);
// The parties' part of a key alone. For an SMS, the key with the parties left out followed by
// this is the whole key: a caller may make the first once and the parties in either form.
std::string PartiesKey(const MessageRecord& message, const IdentityFields& fields,
                       NumberForm numbers, const OwnNumbers* own = nullptr);

// A 128-bit hash of a key: a merge of a million messages keeps this instead of the keys.
struct IdentityHash {
  uint64_t high = 0;
  uint64_t low = 0;
  friend bool operator==(const IdentityHash&, const IdentityHash&) = default;
  friend auto operator<=>(const IdentityHash&, const IdentityHash&) = default;
};
IdentityHash HashIdentityKey(const std::string& key);
// A 64-bit hash of any bytes (the one the keys' hashes are made of).
uint64_t HashBytes(std::string_view bytes, uint64_t seed = 0);

// How much a copy holds, to keep the richest of equal copies: a larger value holds more. First
// a text with fewer "?" (another copy kept the real characters), then a subfolder over the bare
// standard folder, then names over none, then the own number, then a time finer than a
// millisecond.
uint32_t Richness(const MessageRecord& message);

}  // namespace larkpost
