// The pieces of `show --json` lines that every format shares: one JSON object per message, its
// parties as objects, written as exact JSON (its encoder escapes control characters itself).
#pragma once

#include <nlohmann/json.hpp>
#include <cstdint>
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

// Sets "multimediaLeftOut" and "callsLeftOut" of a command's counts, and under their names of
// the last release, "multimedia_left_out" and "calls_left_out", for scripts that read those;
// the old names go in the next release.
inline void AddLeftOutJson(nlohmann::ordered_json& summary, uint64_t multimedia, uint64_t calls) {
  summary["multimediaLeftOut"] = multimedia;
  summary["callsLeftOut"] = calls;
  summary["multimedia_left_out"] = multimedia;
  summary["calls_left_out"] = calls;
}

// A column of the file as JSON: its text, or null.
inline nlohmann::ordered_json ColumnJson(const Column& column) {
  if (!column) return nullptr;
  return WideToUtf8(*column);
}

// The role of a multimedia address: "from", "to", "cc", "bcc", or the file's number for another.
inline nlohmann::ordered_json RoleJson(int role) {
  switch (role) {
    case kRoleFrom:
      return "from";
    case kRoleTo:
      return "to";
    case kRoleCc:
      return "cc";
    case kRoleBcc:
      return "bcc";
  }
  return role;
}

// How many bytes a part holds: its binary content's, else its text's in UTF-8.
inline uint64_t PartByteCount(const MessagePart& part) {
  if (part.data) return part.data->size();
  return part.text ? WideToUtf8(*part.text).size() : 0;
}

// For a multimedia message: "addresses" ([{"address", "role"}...]) and "parts" as metadata
// ([{"seq", "contentType", "name", "fileName", "charset", "bytes"}...]), never their content.
inline void AddMultimediaJson(nlohmann::ordered_json& line, const Multimedia& multimedia) {
  line["addresses"] = nlohmann::ordered_json::array();
  for (const MmsAddress& address : multimedia.addresses) {
    line["addresses"].push_back(
        {{"address", WideToUtf8(address.address)}, {"role", RoleJson(address.role)}});
  }
  line["parts"] = nlohmann::ordered_json::array();
  for (const MessagePart& part : multimedia.parts) {
    line["parts"].push_back({{"seq", ColumnJson(part.seq)},
                             {"contentType", ColumnJson(part.contentType)},
                             {"name", ColumnJson(part.name)},
                             {"fileName", ColumnJson(part.fileName)},
                             {"charset", ColumnJson(part.charset)},
                             {"bytes", PartByteCount(part)}});
  }
}

// The line as `show --json` prints it: one line, invalid UTF-8 replaced.
inline std::string JsonLine(const nlohmann::ordered_json& line) {
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace larkpost
