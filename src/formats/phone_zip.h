// The ZIP of the "SMS Import / Export" app: a file messages.ndjson inside it, one JSON object per
// line with Android's column names and every value a string (or null):
//
//   {"address":"+4915112345678","date":"1704103626000","date_sent":"0","type":"1",
//    "body":"Hi","read":"1","status":"-1","__display_name":"Ann", ...}
//
// Lines with "m_type" are multimedia messages: counted and skipped. Besides the app's columns a
// line this program writes carries the whole message under the key "larkpost" (folder path with
// subfolders, exact times, flags, size, sender, recipients with their types), which the app
// ignores on import and which brings the message back unchanged:
//
//   "larkpost":{"folder":"Inbox\\Work","time":"133485...","modified":"133485...","flags":"1",
//               "size":"0","class":"IPM.SMStext","sender_name":"","sender_address":"",
//               "recipients":[{"name":"Ann","address":"+49...","type":"1"}]}
//
// The further entries of a message sent to several recipients carry {"part":"1"}, ... instead.
#pragma once

#include <memory>
#include <string>

#include "formats/message_stream.h"

namespace larkpost {

// Reads messages.ndjson of the ZIP at `path`, or of the ZIP held in `bytes` (which must outlive
// the source), one line at a time. Errors name the line ("messages.ndjson line 7: ...").
std::unique_ptr<EntrySource> ZipEntries(const std::u16string& path);
std::unique_ptr<EntrySource> ZipEntriesInBuffer(std::string_view bytes);

// One NDJSON line (without its line feed) as an entry. False with the reason.
bool EntryFromJsonLine(std::string_view line, PhoneEntry& entry, bool& isMms, std::string& error);

// Writes the ZIP into `file`, open for writing, empty and seekable; the caller closes it. The
// lines go to an unnamed temporary file in the file's folder first, which the archive takes in
// and compresses at Finish. Throws CFileException.
std::unique_ptr<MessageWriter> ZipWriter(CFile& file, DeletedAs deletedAs);

}  // namespace larkpost
