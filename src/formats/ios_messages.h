// The messages of an iPhone's message database (sms.db) or a Mac's (chat.db, the same schema),
// one at a time, as MessageRecord values like the phone files' readers yield them.
//
//   message ⋈ handle      the other party's address (a number or an e-mail address, kept as
//                          written); is_from_me: sent messages to Sent Items, received to Inbox
//   chat (style 43)        a group: every member (chat_handle_join) is a party
//   date                   since 2001-01-01 UTC, in seconds (older iOS) or nanoseconds (newer),
//                          told apart by size
//   text / attributedBody  the text, from the archived attributed string when `text` is empty
//                          (ios_typedstream.h), without the placeholders (U+FFFC) of attachments;
//                          an edited message holds its last text there
//   attachment             parts of a multimedia message, bytes as they are (HEIC, MOV, CAF, VCF)
//   service                SMS, iMessage or RCS: a column "service" of the phones' files (an SMS's
//                          phoneColumns, a multimedia message's extras), which both apps pass
//                          over as they do every column their phone's tables lack; the page
//                          shows it. A backup file has no place for it and stays as it was.
//
// A one-to-one message without attachments becomes an SMS; a group message or one with
// attachments a multimedia message with every member (the sender From 137, the others To 151)
// and its parts. Tapbacks (associated_message_type 2000-3007), unsent messages, group events
// (item_type other than 0) and stickers are no messages: counted in ReadCounts and left out.
// The rows are read in the database's order (ROWID); memory holds the chats and the handles, not
// the messages.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "formats/message_stream.h"
#include "formats/ios_sqlite.h"

namespace larkpost {

// The column of the phones' files that keeps the service a message went by.
inline constexpr char kServiceColumn[] = "service";

struct IosSource {
  ios::Database messages;  // sms.db / chat.db, opened immutable
  std::u16string name;     // for errors: the database's or the backup's path
  // The bytes of an attachment from its `attachment.filename` ("~/Library/SMS/Attachments/ab/12/
  // GUID/IMG_1.HEIC"); null when they are not there.
  std::function<std::shared_ptr<const PartBytes>(const std::string& filename)> attachment;
  // The name of a party from its address; empty when no one is known by it.
  std::function<std::u16string(const std::u16string& address)> nameOf;
};

// True when the database holds a `message` and a `handle` table: an iPhone's or a Mac's.
bool IsIosMessageDatabase(sqlite3* db);

// A reader of the source's messages; one whose error() says why when the database's tables are
// not those of a message database.
std::unique_ptr<MessageReader> IosMessageReader(IosSource source);

// The bytes of a file on disk, opened each time they are read; null when there is no such
// regular file.
std::shared_ptr<const PartBytes> BytesOnDisk(const std::string& path);

}  // namespace larkpost
