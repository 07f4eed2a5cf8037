// The plain-text export: one labelled block per message, for reading, never restored.
#pragma once

#include <string>

#include "platform/file/file.h"
#include "platform/time/filetime.h"

namespace larkpost {

struct BackupJob;
struct SmsMessage;

// Appends the block of one message, flushes it to storage and counts it in the job. False
// (nothing written) when the message's recipients cannot be read.
bool WriteTextRecord(BackupJob& job, CFile& file, SmsMessage& message);

// The bytes of that block, in the ANSI code page. False as for WriteTextRecord.
bool EncodeTextRecord(SmsMessage& message, std::string& bytes);

// The delivery time as local "year-month-day hour:minute:second" without padding; empty when
// the time cannot be converted.
std::u16string FormatMessageTime(const FILETIME& time);

}  // namespace larkpost
