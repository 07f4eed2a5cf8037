// How a message of a backup maps onto the phones' formats, which keep one entry per message and
// other party (Android's SMS columns), and back:
//
//   folder root          type      Inbox 1, Sentedbox 2, Draft 3, Outbox 4 (5 failed and 6 queued
//                                  come back as Outbox); Wastebox as the user chooses, by default
//                                  by direction (sent when the owner sent it, own_numbers.h)
//   other party          address   the sender of a received message; each recipient of a sent one,
//                                  one entry per recipient, joined again on import only where the
//                                  file marks the entries as one message (below)
//   party's name         contact_name / __display_name
//   delivery time        date      milliseconds since 1970 UTC; a zero time is date 0 both ways
//   read flag            read      bit 0 of the message flags (MSGFLAG_READ)
//   text                 body
//
// Subfolders, the own number, recipient types and the exact 100 ns times have no place in the
// phones' columns; an entry may carry the whole message beside them (`whole`), as the ZIP does.
// The entry's other columns (date_sent, service_center, thread_id, ...) travel as the message's
// phoneColumns, so that a conversion between the phones' files keeps them.
//
// Entries that follow each other are one message sent to several recipients only where the file
// says so: the app's own grouping (the same thread_id on entries of the same time, text and sent
// type, each for a party the message does not have yet), or this program's marks (the ZIP's
// "larkpost" part, the XML's kPartAttribute). Equal time and text alone join nothing: two
// messages of one millisecond and text to two people stay two.
//
// A multimedia message (<mms>, an NDJSON line with "m_type") is one entry whatever its number of
// parties, never joined with another: its box is msg_box (the same numbers as `type`), its
// parties are its addresses with their roles (From 137 the sender, To 151, Cc 130 and Bcc 129
// the recipients of types 1, 2 and 3), and its text the texts of its text/plain parts.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message/message_record.h"
#include "message/own_numbers.h"
#include "platform/time/filetime.h"

namespace larkpost {

// Android's SMS types.
enum PhoneType : int {
  kPhoneReceived = 1,
  kPhoneSent = 2,
  kPhoneDraft = 3,
  kPhoneOutbox = 4,
  kPhoneFailed = 5,
  kPhoneQueued = 6,
};

// What a message in the Deleted folder becomes on a phone, which has no such folder.
enum class DeletedAs { kByDirection, kReceived, kSent };

struct PhoneEntry {
  std::u16string address;      // empty when the file holds none ("null")
  std::u16string contactName;  // empty when the file holds none
  int64_t date = 0;            // milliseconds since 1970 UTC
  int64_t dateSent = 0;
  int type = kPhoneReceived;
  std::u16string body;
  bool read = true;
  // The entry's columns that no field above holds, in the file's order (MessageRecord's
  // phoneColumns); empty for an entry of a message that came from no phone file.
  Columns columns;
  // The whole message, when the file carries it beside the phone columns (the first entry of a
  // message); `part` counts the further entries of a message sent to several recipients. A
  // multimedia entry always comes whole (its multimedia in whole->multimedia, its text also in
  // `body`, `part` zero) and is never joined with another.
  std::optional<MessageRecord> whole;
  int part = 0;
  // The file marks the entry as the first of a message: never joined to the entry before it.
  bool startsMessage = false;
};

// The XML attribute with which this program marks the entries of one message sent to several
// recipients: "1", "2", ... on the further entries, "0" on a first entry that the app's grouping
// would otherwise join to the entry before it. The app ignores attributes it does not know.
inline constexpr char kPartAttribute[] = "larkpost_part";

// The column that groups a phone's messages into conversations.
inline constexpr char kThreadColumn[] = "thread_id";

// A message joined from several entries keeps its first entry's columns, and the values of
// further entries that differ from them under "name#N", N the entry's number from 0
// ("status#2"). EntryColumns gives the columns of entry N as the file held them.
inline constexpr char kEntryColumnMark = '#';
std::string EntryColumnName(std::string_view name, size_t entry);
bool IsEntryColumn(std::string_view name);
Columns EntryColumns(const Columns& columns, size_t entry);

// The dates a file may name: every time a backup can hold, in whole milliseconds, from
// 1601-01-01 (before 1970 the date is negative) to the largest count of 100 ns ticks. So every
// file written is read back; a date outside is not a time at all. The very first millisecond of
// 1601 is left out: its tick count 0 is what a backup keeps for "no time" (date 0 here).
inline constexpr int64_t kMsFrom1601To1970 = 11644473600000;
inline constexpr int64_t kMinPhoneDate = -kMsFrom1601To1970 + 1;
inline constexpr int64_t kMaxPhoneDate =
    static_cast<int64_t>(UINT64_MAX / kFileTimeTicksPerMs) - kMsFrom1601To1970;
inline constexpr char kPhoneDateRange[] = "is not a time in milliseconds a backup can hold";

// What one entry may hold, checked by every reader as it takes the entry in, after all
// expansion: a text of at most kMaxTextChars UTF-16 units (message_record.h), and no NUL
// character anywhere, which the store cannot keep (it would cut the text there, and
// each rerun of a restore would add the message again). A message is joined from at most
// kMaxJoinedEntries entries. False with the problem ("its body holds a NUL character ...").
inline constexpr size_t kMaxJoinedEntries = 1000;
bool EntryWithinLimits(const PhoneEntry& entry, std::string& problem);

// A whole decimal number of the files' columns: digits (a minus sign first for a signed type)
// and nothing else, within the type's range.
template <class Integer>
bool ParseInteger(std::string_view text, Integer& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

int64_t FileTimeToPhoneDate(FILETIME time);  // zero stays zero
FILETIME PhoneDateToFileTime(int64_t date);  // kMinPhoneDate .. kMaxPhoneDate
// "Jan 1, 2024 11:07:06 AM" in local time, as the XML app shows a date ("null" when it has none).
std::string ReadableDate(int64_t date);

// The phone type of a message from its folder's root; 0 when the root is not a standard folder.
// A deleted message goes by its direction as `own` tells it (own_numbers.h), unless the user
// chose one for all.
int PhoneTypeOf(const MessageRecord& record, DeletedAs deletedAs, const OwnNumbers& own = {});

// The entries of one message, one per recipient for a sent one. False with a description when
// the folder path does not start with a standard folder's name.
bool EntriesOf(const MessageRecord& record, DeletedAs deletedAs, std::vector<PhoneEntry>& entries,
               std::string& error, const OwnNumbers& own = {});

// The folder root for a phone type: "Inbox", "Sentedbox", "Draft" or "Outbox"; empty for a type
// that is not a message type.
std::u16string FolderForPhoneType(int type);

// Fills the fields every format reads of a multimedia message from its box, date (ms), read flag
// and multimedia: folder, times, flags, sender, recipients and text (multimedia.h). False with a
// description when the box is no message box.
// A sent message without To, Cc or Bcc addresses has its From addresses as its recipients: a
// message sent to no one would name no party, and such files put the party's number there.
bool FillMultimediaRecord(int box, int64_t date, bool read, MultimediaRef multimedia,
                          MessageRecord& record, std::string& error);

// The text of a multimedia message: the texts of its text/plain parts joined by line feeds.
std::u16string MultimediaText(const Multimedia& multimedia);

// Gives the parties of `record` their names from a file's list of names ("Ann, Bob": XML's
// contact_name, the ZIP's __display_name), matched in order to `members` (XML's "~"-joined
// address). Without members the other parties are the sender of a received message, else the
// recipients. A list that does not match the members in number names no one, unless there is
// one member: then the whole list is that member's name. Returns false for such a list
// ("Weber, Ann, Bob" for two members), which a reader of multimedia keeps whole (KeepNames).
bool NamePartiesFrom(std::u16string_view members, std::u16string_view names,
                     MessageRecord& record);

// The columns of Multimedia::extras that keep a file's lists of the other parties where the
// message's fields would list others (names no party could be given, members without the owner
// whom a received message's recipients include), with the members they went with (XML's
// address): written back as the file's lists, so that a reader meets the same lists again.
inline constexpr const char* kKeptNamesColumn = "contact_name";
inline constexpr const char* kKeptMembersColumn = "address";
void KeepNames(std::u16string_view members, std::u16string_view names, Multimedia& multimedia);

// The members of XML's address list ("+1~+2").
std::vector<std::u16string_view> SplitMembers(std::u16string_view members);

// The other parties of a multimedia message as the phone files list them: their addresses
// joined by "~" (the sender of a received message first, then the recipients) and their names
// joined by ", " (a party without one by its address); `names` empty when no party has a name.
// A message that keeps lists of its own (kKeptNamesColumn) gives those.
void PartyLists(const MessageRecord& record, std::u16string& members, std::u16string& names);

// Builds messages from entries in file order: the entries the file marks as one message sent to
// several recipients (above) become one message again, which keeps its first entry's columns.
class EntryJoiner {
 public:
  // Takes the next entry. True when it completed the message before it, which is then in `done`.
  bool Add(PhoneEntry entry, MessageRecord& done);
  // The last message, if any.
  bool Finish(MessageRecord& done);
  // Entries the message being built was joined from so far.
  size_t pendingEntries() const { return pending_ ? pendingEntries_ : 0; }

 private:
  bool Continues(const PhoneEntry& entry) const;
  std::optional<MessageRecord> pending_;
  int64_t pendingDate_ = 0;
  int pendingType_ = 0;
  bool pendingWhole_ = false;
  size_t pendingEntries_ = 0;
};

}  // namespace larkpost
