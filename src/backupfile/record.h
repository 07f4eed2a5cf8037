// One message record of a backup file, and the line reader and splitter the restore uses.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file/file.h"
#include "platform/time/filetime.h"

namespace larkpost {

struct BackupJob;
struct RestoreJob;
struct SmsMessage;

// Appends the record of one message at the file's current position, flushes it to storage and
// counts it in the job. False when the message has no folder.
bool WriteMessageRecord(BackupJob& job, CFile& file, SmsMessage& message);

// Reads one text line (up to a line feed, which is not kept; carriage returns are dropped).
// At end of file returns what was read, possibly nothing.
std::string ReadTextLine(CFile& file);

// The fields of one record as read from the file, before anything is made of them. Text
// fields are converted from the ANSI code page; `text` has the line feed appended on writing
// removed.
struct RecordFields {
  std::u16string messageClass;
  std::u16string folderPath;
  FILETIME lastModified{0, 0};
  FILETIME deliveryTime{0, 0};
  uint32_t flags = 0;
  uint32_t size = 0;
  std::u16string recipients;  // the whole recipient line
  std::u16string sender;      // the whole sender line
  std::u16string text;
};

// Reads every field of the next record without touching any store (for verifying and listing
// a file, and as the first step of ReadMessageRecord). False with an error text when the record
// is broken (an empty folder line, a line or text that runs past its limits or the file's end).
bool ReadRecordFields(CFile& file, RecordFields& fields, std::u16string& error);

// Reads the next record and, unless its message is already in its folder, creates it in the
// job's store. False with the record's error text in `error` on failure.
bool ReadMessageRecord(RestoreJob& job, CFile& file, std::u16string& error);

}  // namespace larkpost
