// One message record of a backup file, and the line reader and splitter the restore uses.
#pragma once

#include <string>

#include "platform/file/file.h"

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

// Reads the next record and, unless its message is already in its folder, creates it in the
// job's store. False with the record's error text in `error` on failure.
bool ReadMessageRecord(RestoreJob& job, CFile& file, std::u16string& error);

}  // namespace larkpost
