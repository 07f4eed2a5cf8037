// A message as one backup record holds it, as plain values and without any store: what the
// record reader yields after its checks, what the record writer encodes, and what the file
// converters (phone formats, pages) read and write. The store side fills an SmsMessage from it on
// restore and builds it from an SmsMessage on backup.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "message/multimedia.h"
#include "platform/time/filetime.h"

namespace larkpost {

// The longest text a message may have, in UTF-16 units, in every file read and written: a text
// this long fits every format's limits (a backup record's 2 MiB text field in any code page, an
// XML element, an NDJSON line), so every message read is written again and every message written
// is read back.
inline constexpr size_t kMaxTextChars = size_t{512} << 10;

// One recipient of a record: "\"displayName\" <address> type" in the file.
struct RecordRecipient {
  std::u16string displayName;
  std::u16string address;
  int32_t type = 1;  // MAPI_TO 1, MAPI_CC 2, MAPI_BCC 3
  bool operator==(const RecordRecipient&) const = default;
};

// What a phone file's entry is: a message, or an entry of the phone's call log, which travels
// beside the messages between phone files and pages (formats that hold no calls count it as left
// out, as they do multimedia).
//
// A call (kCall) sits in the fields as a message with the same party would:
//
//   number        the other party: the sender of an incoming call (folder "Inbox"), the one
//                 recipient of an outgoing one (folder "Sentedbox", call type 2)
//   name          that party's name (XML's contact_name, the call log's name column)
//   date          deliveryTime and lastModified, from milliseconds since 1970 UTC
//   flags         read; text empty; no multimedia
//
// Every other column of the entry (type, duration, presentation, subscription_id, unknown ones)
// stays in phoneColumns under the file's name; readable_date follows from the date and is made
// anew when written (formats/phone_calls.h).
enum class EntryKind : uint8_t { kMessage, kCall };

struct MessageRecord {
  EntryKind kind = EntryKind::kMessage;
  std::u16string messageClass = u"IPM.SMStext";
  // "Inbox" or "Inbox\Work\Old": the standard folder's file name ("Draft", "Inbox", "Outbox",
  // "Sentedbox", "Wastebox"), then the display names of the subfolders below it, joined by "\".
  std::u16string folderPath;
  FILETIME lastModified{0, 0};
  FILETIME deliveryTime{0, 0};  // zero for a message never delivered (a draft)
  uint32_t flags = 0;
  uint32_t size = 0;
  std::vector<RecordRecipient> recipients;
  std::u16string senderName;
  std::u16string senderAddress;
  std::u16string text;  // without the line feed the file appends to it
  MultimediaRef multimedia;  // set only for a multimedia message of a phone file (multimedia.h)
  // The columns of a phone file's entry that no field above holds (an SMS's date_sent,
  // service_center, thread_id, ...; a call's duration, ...), under the names the file gave them
  // and in its order, so that a conversion between the phones' files loses none. Empty for a
  // message of the store or a backup file.
  Columns phoneColumns;
  // Every field, so a comparison cannot miss one added later.
  bool operator==(const MessageRecord&) const = default;
};

}  // namespace larkpost
