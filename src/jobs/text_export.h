// The plain-text export: one labelled block per message, for reading, never restored.
#pragma once

#include <string>

#include "platform/time/filetime.h"

namespace larkpost {

struct SmsMessage;

// The bytes of one message's block, in the ANSI code page. False when the message's recipients
// cannot be read. The export's walk writes the blocks (WriteSelectedFolders, store_backup.h).
// `replaced`, when given, is set when a character the code page lacks was written as "?".
bool EncodeTextRecord(SmsMessage& message, std::string& bytes, bool* replaced = nullptr);

// The delivery time as local "year-month-day hour:minute:second" without padding; empty when
// the time cannot be converted.
std::u16string FormatMessageTime(const FILETIME& time);

}  // namespace larkpost
