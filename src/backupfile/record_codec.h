// The value side of backup records, store-free: encoding a MessageRecord into the bytes of one
// record, and the one checker that turns the fields read from a file into a MessageRecord with
// every check a restore makes. The record reader and writer (record.h) add the file around it;
// restore, verify, show and salvage all decide through CheckRecordFields, so they cannot
// disagree, and everything EncodeRecord writes passes it.
//
// The byte layout is drawn in record.h.
#pragma once

#include <cstdint>
#include <string>

#include "message/message_record.h"
#include "message/restore_errors.h"
#include "platform/time/filetime.h"

namespace larkpost {

// The record error texts a user sees after "No.%d, ", beside the restore step's own
// (message/restore_errors.h).
inline constexpr char16_t kReadFolderLineError[] = u"Read folder line error!";
inline constexpr char16_t kUnknownClassError[] = u"Unknow message class name!";
inline constexpr char16_t kParseRecipientError[] = u"Parse recipient error!";
inline constexpr char16_t kParseSenderError[] = u"Parse sender info error!";
inline constexpr char16_t kLineTooLongError[] = u"Text line too long error!";
inline constexpr char16_t kTruncatedError[] = u"Record truncated error!";
inline constexpr char16_t kTextLengthError[] = u"Message text length error!";
inline constexpr char16_t kFolderTooDeepError[] = u"Folder path too deep error!";
inline constexpr char16_t kSmsClass[] = u"IPM.SMStext";

// The fields of one record as read from a file, before anything is made of them. Text fields
// are converted from the ANSI code page; `text` has the line feed appended on writing removed
// and ends at a NUL byte, if the file holds one.
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

// Every check a restore makes of a record, in the order it reports them: the folder path names
// a standard folder ("Create folder '%s' error!") and is not deeper than kMaxFolderDepth
// ("Folder path too deep error!"), the class is "IPM.SMStext", each recipient entry and the
// sender parse. On success fills `record` (folder path as in the file); otherwise false with the
// error text.
bool CheckRecordFields(const RecordFields& fields, MessageRecord& record, std::u16string& error);

// The bytes of one record. Line feeds and carriage returns in names and addresses become blanks,
// so a line never ends early. `replaced` (may be null) is set when a character had no place in
// the ANSI code page and was written as its default character "?".
std::string EncodeRecord(const MessageRecord& record, bool* replaced = nullptr);

}  // namespace larkpost
