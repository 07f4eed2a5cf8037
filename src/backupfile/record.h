// One message record of a backup file: the writer, the line reader, and the reader that puts a
// record's message back into the store. All of it runs on the worker thread of one run.
//
// A record, fields back to back, integers unsigned 32-bit little-endian, times FILETIME as a
// 64-bit little-endian integer (low word first), text in the ANSI code page, lines ended by one
// line feed (0x0A) and never by a carriage return:
//
//   message class    line      "IPM.SMStext"
//   folder path      line      "Inbox" or "Inbox\Work\Old": the standard folder's file name, then
//                              the display names of the subfolders below it, joined by "\"
//   last modified    8 bytes   FILETIME
//   delivery time    8 bytes   FILETIME
//   flags            4 bytes
//   size             4 bytes
//   recipients       line      "\"name\" <address> type" entries joined by ";" (no ";" after the
//                              last one); an empty line for none
//   sender           line      "\"name\" <address>"
//   text length      4 bytes   N, the byte count of the next field
//   text             N bytes   the message text followed by one line feed, which the reader
//                              drops again; a text may hold line feeds of its own
//
// The writer replaces line feeds and carriage returns in names and addresses with blanks, so a
// line never ends early. The reader joins a recipient entry that does not parse with the next
// one (a ";" inside a name or address splits an entry in two when written).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "message/message_record.h"
#include "backupfile/record_codec.h"
#include "platform/file/file.h"
#include "platform/time/filetime.h"

namespace larkpost {

// The longest line a record may hold; a longer one marks the record as broken.
inline constexpr size_t kMaxLineBytes = size_t{1} << 20;

// How ReadTextLine's line ended.
enum class LineEnd {
  kLineFeed,   // at a line feed, which is consumed and not kept
  kEndOfFile,  // at the end of the file (a record's lines never end this way)
  kTooLong,    // the line passed kMaxLineBytes; the file stays inside it
};

// Reads one text line into `line` (narrow, unconverted), dropping carriage returns.
LineEnd ReadTextLine(CFile& file, std::string& line);

// Reads every field of the next record, without any check of their content. False with an
// error text when the record is broken: "Read folder line error!" for an empty folder line (also
// at the end of the file), "Text line too long error!", "Record truncated error!" when the file
// ends inside the record, "Message text length error!" when the text length passes the end of
// the file. The file position is then somewhere inside the record.
bool ReadRecordFields(CFile& file, RecordFields& fields, std::u16string& error);

// The byte count of the record `bytes` begins with, found by its line ends and its text length
// alone; 0 when `bytes` ends before the record does. For a record ReadRecordFields read: a run
// may copy it as it is.
size_t RecordSize(std::string_view bytes);

// Reads the next record and checks it (CheckRecordFields): what restore, verify, show and
// salvage read. False with the record's error text.
bool ReadRecord(CFile& file, MessageRecord& record, std::u16string& error);

}  // namespace larkpost
