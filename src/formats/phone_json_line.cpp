#include "formats/phone_json_line.h"

#include <nlohmann/json.hpp>
#include <cstdint>
#include <optional>

#include "message/folder_path.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

using Json = nlohmann::ordered_json;  // written lines keep their keys in the app's order
// Read lines: a tree map, as an ordered one finds a key by searching all before it, which made
// a line of many keys take time in the square of their number.
using ParsedJson = nlohmann::json;

// More keys than any message line has: the line is refused before it is parsed further.
constexpr size_t kMaxKeys = 10000;
struct TooManyKeys {};

std::string TypeName(const ParsedJson& value) {
  return std::string(value.is_array() ? "a list" : value.is_object() ? "an object" : "not text");
}

// A column's value as text: strings as they are, numbers and booleans in their JSON form (the
// app writes strings, but a hand-made file may not); null and a missing key are absent.
bool ColumnText(const ParsedJson& line, const char* key, std::optional<std::string>& text,
                std::string& error) {
  text.reset();
  const auto found = line.find(key);
  if (found == line.end() || found->is_null()) return true;
  if (found->is_string()) {
    text = found->get<std::string>();
  } else if (found->is_number() || found->is_boolean()) {
    text = found->dump();
  } else {
    error = std::string("\"") + key + "\" is " + TypeName(*found) + ", not text";
    return false;
  }
  return true;
}

bool ColumnNumber(const ParsedJson& line, const char* key, std::optional<int64_t>& number,
                  std::string& error) {
  std::optional<std::string> text;
  if (!ColumnText(line, key, text, error)) return false;
  number.reset();
  if (!text) return true;
  int64_t value = 0;
  if (!ParseInteger(*text, value)) {
    error = std::string("\"") + key + "\" is \"" + text->substr(0, 40) + "\", not a number";
    return false;
  }
  number = value;
  return true;
}

std::u16string Wide(const std::optional<std::string>& text) {
  return text ? Utf8ToWide(*text) : std::u16string();
}

// The whole message under "larkpost", as written by WholeJson.
bool WholeFromJson(const ParsedJson& extra, PhoneEntry& entry, std::string& error) {
  if (!extra.is_object()) {
    error = "\"larkpost\" is " + TypeName(extra) + ", not an object";
    return false;
  }
  std::optional<int64_t> part;
  if (!ColumnNumber(extra, "part", part, error)) return false;
  if (part) {
    if (*part < 1 || *part > 1000000) {
      error = "\"larkpost\" names part " + std::to_string(*part);
      return false;
    }
    entry.part = static_cast<int>(*part);
    return true;
  }
  MessageRecord& record = entry.whole.emplace();
  std::optional<std::string> text;
  std::optional<int64_t> number;
  auto textOf = [&](const char* key, std::u16string& field) {
    if (!ColumnText(extra, key, text, error)) return false;
    if (text) field = Utf8ToWide(*text);
    return true;
  };
  // Times are the backup's 100 ns counts, unsigned and up to 2^64 - 1.
  auto timeOf = [&](const char* key, FILETIME& field) {
    if (!ColumnText(extra, key, text, error)) return false;
    if (!text) return true;
    uint64_t ticks = 0;
    if (!ParseInteger(*text, ticks)) {
      error = std::string("\"") + key + "\" is \"" + text->substr(0, 40) + "\", not a time";
      return false;
    }
    field = UInt64ToFileTime(ticks);
    return true;
  };
  auto wordOf = [&](const char* key, uint32_t& field) {
    if (!ColumnNumber(extra, key, number, error)) return false;
    if (number) field = static_cast<uint32_t>(*number);
    return true;
  };
  if (!textOf("folder", record.folderPath) || !textOf("class", record.messageClass) ||
      !textOf("sender_name", record.senderName) ||
      !textOf("sender_address", record.senderAddress) || !timeOf("time", record.deliveryTime) ||
      !timeOf("modified", record.lastModified) || !wordOf("flags", record.flags) ||
      !wordOf("size", record.size)) {
    error = "\"larkpost\": " + error;
    return false;
  }
  FolderPath folder;
  if (ParseFolderPath(record.folderPath, folder) != FolderPathResult::kOk) {
    error = "\"larkpost\": folder \"" + WideToUtf8(record.folderPath) +
            "\" is not a path below a standard folder";
    return false;
  }
  if (record.messageClass != u"IPM.SMStext") {
    error = "\"larkpost\": class \"" + WideToUtf8(record.messageClass) + "\" is not a text message";
    return false;
  }
  const auto recipients = extra.find("recipients");
  if (recipients != extra.end() && !recipients->is_null()) {
    if (!recipients->is_array()) {
      error = "\"larkpost\": \"recipients\" is " + TypeName(*recipients) + ", not a list";
      return false;
    }
    for (const ParsedJson& item : *recipients) {
      if (!item.is_object()) {
        error = "\"larkpost\": a recipient is " + TypeName(item) + ", not an object";
        return false;
      }
      RecordRecipient& recipient = record.recipients.emplace_back();
      std::optional<std::string> name, address;
      std::optional<int64_t> type;
      if (!ColumnText(item, "name", name, error) || !ColumnText(item, "address", address, error) ||
          !ColumnNumber(item, "type", type, error)) {
        error = "\"larkpost\": recipient: " + error;
        return false;
      }
      recipient.displayName = Wide(name);
      recipient.address = Wide(address);
      if (type) {
        if (*type < INT32_MIN || *type > INT32_MAX) {
          error = "\"larkpost\": recipient type \"" + std::to_string(*type) +
                  "\" is not a 32-bit number";
          return false;
        }
        recipient.type = static_cast<int32_t>(*type);
      }
    }
  }
  return true;
}

std::string Number(uint64_t value) { return std::to_string(value); }

Json WholeJson(const PhoneEntry& entry) {
  Json extra = Json::object();
  if (!entry.whole) {
    extra["part"] = Number(static_cast<uint64_t>(entry.part));
    return extra;
  }
  const MessageRecord& record = *entry.whole;
  extra["folder"] = WideToUtf8(record.folderPath);
  extra["time"] = Number(FileTimeToUInt64(record.deliveryTime));
  extra["modified"] = Number(FileTimeToUInt64(record.lastModified));
  extra["flags"] = Number(record.flags);
  extra["size"] = Number(record.size);
  extra["class"] = WideToUtf8(record.messageClass);
  extra["sender_name"] = WideToUtf8(record.senderName);
  extra["sender_address"] = WideToUtf8(record.senderAddress);
  Json recipients = Json::array();
  for (const RecordRecipient& recipient : record.recipients) {
    recipients.push_back(Json{{"name", WideToUtf8(recipient.displayName)},
                              {"address", WideToUtf8(recipient.address)},
                              {"type", std::to_string(recipient.type)}});
  }
  extra["recipients"] = std::move(recipients);
  return extra;
}

}  // namespace

std::string JsonLineOf(const PhoneEntry& entry) {
  Json line = Json::object();
  line["address"] = entry.address.empty() ? Json() : Json(WideToUtf8(entry.address));
  line["body"] = WideToUtf8(entry.body);
  line["date"] = std::to_string(entry.date);
  line["date_sent"] = std::to_string(entry.dateSent);
  line["locked"] = "0";
  line["protocol"] = "0";
  line["read"] = entry.read ? "1" : "0";
  line["seen"] = "1";
  line["status"] = std::to_string(entry.status);
  line["type"] = std::to_string(entry.type);
  line["__display_name"] =
      entry.contactName.empty() ? Json() : Json(WideToUtf8(entry.contactName));
  line["larkpost"] = WholeJson(entry);
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool EntryFromJsonLine(std::string_view line, PhoneEntry& entry, bool& isMms, std::string& error) {
  size_t keys = 0;
  ParsedJson json;
  try {
    json = ParsedJson::parse(
        line,
        [&keys](int, ParsedJson::parse_event_t event, ParsedJson&) {
          if (event == ParsedJson::parse_event_t::key && ++keys > kMaxKeys) throw TooManyKeys{};
          return true;
        },
        false);
  } catch (const TooManyKeys&) {
    error = "it holds more than " + std::to_string(kMaxKeys) + " keys; no message has that many";
    return false;
  }
  if (json.is_discarded() || !json.is_object()) {
    error = "not a JSON object";
    return false;
  }
  isMms = json.contains("m_type");
  if (isMms) return true;
  std::optional<std::string> address, name, body, read;
  std::optional<int64_t> date, dateSent, type, status;
  if (!ColumnText(json, "address", address, error) ||
      !ColumnText(json, "__display_name", name, error) ||
      !ColumnText(json, "body", body, error) || !ColumnText(json, "read", read, error) ||
      !ColumnNumber(json, "date", date, error) || !ColumnNumber(json, "date_sent", dateSent, error) ||
      !ColumnNumber(json, "type", type, error) || !ColumnNumber(json, "status", status, error)) {
    return false;
  }
  if (!date) {
    error = "it has no date";
    return false;
  }
  if (*date < kMinPhoneDate || *date > kMaxPhoneDate) {
    error = "date \"" + std::to_string(*date) + "\" " + kPhoneDateRange;
    return false;
  }
  if (!type || *type < kPhoneReceived || *type > kPhoneQueued) {
    error = type ? "type \"" + std::to_string(*type) + "\" is not a message type (1 to 6)"
                 : "it has no type";
    return false;
  }
  entry.address = Wide(address);
  entry.contactName = Wide(name);
  entry.body = Wide(body);
  entry.date = *date;
  entry.dateSent = dateSent.value_or(0);
  entry.type = static_cast<int>(*type);
  entry.read = !read || *read != "0";
  if (status && *status >= -1 && *status <= 255) entry.status = static_cast<int>(*status);
  const auto extra = json.find("larkpost");
  if (extra != json.end() && !extra->is_null() && !WholeFromJson(*extra, entry, error)) {
    return false;
  }
  return true;
}

}  // namespace larkpost
