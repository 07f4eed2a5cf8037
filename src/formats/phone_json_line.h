// One line of messages.ndjson, the file inside the ZIP of the "SMS Import / Export" app
// (phone_zip.h): one JSON object per line with Android's column names and every value a string
// (or null):
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

#include <string>
#include <string_view>

#include "formats/phone_entry.h"

namespace larkpost {

// One line (without its line feed) as an entry; `isMms` tells a multimedia line, which fills
// nothing. False with the reason.
bool EntryFromJsonLine(std::string_view line, PhoneEntry& entry, bool& isMms, std::string& error);

// The line (without its line feed) that stands for one entry: the app's columns and, under
// "larkpost", the whole message or the entry's part number.
std::string JsonLineOf(const PhoneEntry& entry);

}  // namespace larkpost
