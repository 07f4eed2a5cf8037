// What the store's NDJSON dump and load share: the keys of a line and the properties they stand
// for, and how failures are worded.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/mapi/mapi.h"
#include "platform/text/text.h"
#include "store/media_and_calls.h"

namespace larkpost::storejson {

using Json = nlohmann::ordered_json;

// The message properties of a line, in the order they are written.
// kColumns: a call's columns (PR_LARKPOST_COLUMNS) as [["duration","245"],["type","1"],...],
// a null value as null.
enum class Kind { kLong, kText, kTime, kColumns };
struct Field {
  const char* key;
  ULONG tag;
  Kind kind;
};
constexpr Field kFields[] = {
    {"flags", PR_MESSAGE_FLAGS, Kind::kLong},
    {"subject", PR_SUBJECT, Kind::kText},
    {"lastModified", PR_LAST_MODIFICATION_TIME, Kind::kTime},
    {"deliveryTime", PR_MESSAGE_DELIVERY_TIME, Kind::kTime},
    {"messageClass", PR_MESSAGE_CLASS, Kind::kText},
    {"senderEmailAddress", PR_SENDER_EMAIL_ADDRESS, Kind::kText},
    {"senderName", PR_SENDER_NAME, Kind::kText},
    {"size", PR_MESSAGE_SIZE, Kind::kLong},
    {"callFolder", PR_LARKPOST_FOLDER, Kind::kText},
    {"columns", PR_LARKPOST_COLUMNS, Kind::kColumns},
};
constexpr size_t kFieldCount = sizeof(kFields) / sizeof(kFields[0]);

// Recipient properties: key, tag.
struct RecipientField {
  const char* key;
  ULONG tag;
};
constexpr RecipientField kRecipientFields[] = {
    {"name", PR_DISPLAY_NAME},
    {"address", PR_EMAIL_ADDRESS},
    {"type", PR_RECIPIENT_TYPE},
};

inline std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

inline std::string Utf8(std::u16string_view text) { return WideToUtf8(text); }

}  // namespace larkpost::storejson
