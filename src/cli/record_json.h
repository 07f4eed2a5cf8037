// The pieces of `show --json` lines that every format shares: one JSON object per message, its
// parties as objects, written as exact JSON (its encoder escapes control characters itself).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "message/message_record.h"
#include "platform/text/text.h"

namespace larkpost {

// Sets "sender" ({"name", "address"}) and "recipients" ([{"name", "address", "type"}...]).
inline void AddPartiesJson(nlohmann::ordered_json& line, const MessageRecord& message) {
  line["sender"] = {{"name", WideToUtf8(message.senderName)},
                    {"address", WideToUtf8(message.senderAddress)}};
  line["recipients"] = nlohmann::ordered_json::array();
  for (const RecordRecipient& r : message.recipients) {
    line["recipients"].push_back(
        {{"name", WideToUtf8(r.displayName)}, {"address", WideToUtf8(r.address)}, {"type", r.type}});
  }
}

// The line as `show --json` prints it: one line, invalid UTF-8 replaced.
inline std::string JsonLine(const nlohmann::ordered_json& line) {
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace larkpost
