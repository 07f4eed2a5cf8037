// The entries of a phone's call log, as the two apps write them, and the call log file of the
// "SMS Import / Export" app:
//
//   XML   <call number="+15550001111" duration="245" date="1699550400000" type="1"
//               presentation="1" subscription_id="-1" readable_date="Nov 9, 2023 2:00:00 PM"
//               contact_name="Mom" />
//         among the messages of <smses>, or in the app's calls-<date>.xml under <calls count="N">
//   JSON  calls-<date>.json: one array of objects, Android's call_log columns with every value a
//         string: [{"_id":"7","number":"+15550001111","date":"1699550400000","duration":"245",
//         "type":"1","presentation":"1","subscription_id":"1","name":"Mom", ...}, ...]
//
// Both use Android's column names, so a call's columns go from one file to the other as they are;
// the party's name is contact_name in the XML and name in the call log. `date` is milliseconds
// since 1970 UTC, `type` Android's call type: 1 incoming, 2 outgoing, 3 missed, 4 voicemail,
// 5 rejected, 6 blocked, 7 answered on another device. How a call sits in a MessageRecord:
// message/message_record.h, next to EntryKind.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "message/message_stream.h"
#include "message/multimedia.h"

namespace larkpost {

class ByteSink;  // platform/file/byte_sink.h

inline constexpr int kCallOutgoing = 2;

// The names of a call's columns that fields hold (the name's column is the file's own).
inline constexpr char kCallNumberColumn[] = "number";
inline constexpr char kCallDateColumn[] = "date";
inline constexpr char kXmlCallNameColumn[] = "contact_name";
inline constexpr char kCallLogNameColumn[] = "name";

// A call from the columns of one entry in file order, the party's name under `nameColumn`;
// readable_date is dropped (it follows from the date). False with the problem ("it has no date",
// "date "x" is not ...").
bool CallFromColumns(const Columns& columns, std::string_view nameColumn, MessageRecord& call,
                     std::string& problem);

// The call's type column as a number; 0 when it has none.
int CallType(const MessageRecord& call);
// The other party's number and name as the file wrote them (empty when it wrote none).
std::u16string CallNumber(const MessageRecord& call);
std::u16string CallName(const MessageRecord& call);

// Appends the call as one line of the XML: "  <call number=... />\n", its columns in their order,
// a column whose name XML cannot hold and the other app's row ids ("_id", "__...") left out.
void AppendXmlCall(std::string& out, const MessageRecord& call);

// "Incoming call, 4:05", "Missed call", "Outgoing call, 1:02:03": what the page shows of a call.
std::string CallSummary(const MessageRecord& call);

// The call log beside a ZIP of the app, named as the app names it:
// "messages-2024-05-01.zip" -> "calls-2024-05-01.json", "archive.zip" -> "calls-archive.json",
// and "archive.zip.age" -> "calls-archive.json.age".
std::string CallLogNameBeside(const std::string& fileName);

// Reads a call log from `source` one call at a time (ReadCounts::calls), never more than one
// entry's text in memory. Errors name the entry ("call 7: it has no date") or the place of
// malformed JSON.
std::unique_ptr<MessageReader> CallLogReader(ByteSource source);

// Writes a call log into `sink` (Finish closes it). It holds calls only: a message handed to it
// is refused (message_files.h leaves messages out in front of it). Throws CFileException.
std::unique_ptr<MessageWriter> CallLogWriter(ByteSink& sink);

}  // namespace larkpost
