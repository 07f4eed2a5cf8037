#include "formats/phone_json_line.h"

#include <nlohmann/json.hpp>
#include <cstdint>
#include <optional>
#include <unordered_map>

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
      error = "\"larkpost\" names part number " + std::to_string(*part);
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

template <class AnyJson>
bool ToColumn(const AnyJson& value, Column& column, std::string& error);

// ---- Text message lines.

// Keys of a text message's line that a field takes; every other is one of the entry's columns.
bool IsMappedSmsKey(std::string_view key) {
  return key == "address" || key == "__display_name" || key == "body" || key == "read" ||
         key == "date" || key == "type" || key == "larkpost";
}

// Columns a line keeps out of the app's sight, listed under "larkpost" as [index, name, value]
// and put back in their places on reading: those without a value (the app would read the text
// "null") and the thread_id, which the app keeps for every later line of the same id, so that
// ids of two phones meeting in one file (a merge) would join strangers' conversations.
bool IsHiddenSmsColumn(const NamedColumn& column) {
  return !column.value || column.name == kThreadColumn;
}

bool RestoreHiddenSmsColumns(const ParsedJson& extra, Columns& columns, std::string& error) {
  const auto hidden = extra.find("hidden");
  if (hidden == extra.end()) return true;
  const auto line = hidden->find("line");
  if (!hidden->is_object() || line == hidden->end() || !line->is_array()) {
    error = "\"larkpost\": \"hidden\" is not a list of columns";
    return false;
  }
  for (const ParsedJson& item : *line) {
    if (!item.is_array() || item.size() != 3 || !item[0].is_number_unsigned() ||
        !item[1].is_string() || item[0].get<size_t>() > columns.size() ||
        !(item[2].is_null() || item[2].is_string())) {
      error = "\"larkpost\": \"hidden\" lists a column that cannot be";
      return false;
    }
    Column value;
    if (item[2].is_string()) value = Utf8ToWide(item[2].get<std::string>());
    columns.insert(columns.begin() + static_cast<std::ptrdiff_t>(item[0].get<size_t>()),
                   NamedColumn{item[1].get<std::string>(), std::move(value)});
  }
  return true;
}

// ---- Multimedia lines.

// Keys of a multimedia line that a field takes; every other is one of Multimedia::extras.
bool IsMappedMmsKey(std::string_view key) {
  return key == "date" || key == "msg_box" || key == "read" || key == "__sender_address" ||
         key == "__recipient_addresses" || key == "__parts" || key == "__display_name" ||
         key == "larkpost";
}

// A value as a column: text as it is, numbers and booleans in their JSON form, null as null.
template <class AnyJson>
bool ToColumn(const AnyJson& value, Column& column, std::string& error) {
  if (value.is_null()) {
    column.reset();
  } else if (value.is_string()) {
    column = Utf8ToWide(value.template get<std::string>());
  } else if (value.is_number() || value.is_boolean()) {
    column = Utf8ToWide(value.dump());
  } else {
    error = std::string("is ") + (value.is_array() ? "a list" : "an object") + ", not text";
    return false;
  }
  return true;
}

bool AddressFrom(const Json& object, int defaultRole, MmsAddress& address, std::string& error) {
  if (!object.is_object()) {
    error = "is not an object";
    return false;
  }
  Column text, role, charset;
  for (const auto& [key, value] : object.items()) {
    Column* field = key == "address" ? &text : key == "type" ? &role : key == "charset" ? &charset : nullptr;
    if (field == nullptr) field = &address.extras.emplace_back(NamedColumn{key, {}}).value;
    if (!ToColumn(value, *field, error)) {
      error = "\"" + key + "\" " + error;
      return false;
    }
  }
  address.address = text.value_or(u"");
  address.charset = charset;
  address.role = defaultRole;
  if (role && !ParseInteger(WideToUtf8(*role), address.role)) {
    error = "type \"" + WideToUtf8(role->substr(0, 40)) + "\" is not a number";
    return false;
  }
  return true;
}

// The app reads every value of a line with getString, which turns a JSON null into the text
// "null": an absent value is an absent key, as in the app's own export.
void PutColumn(Json& object, const std::string& key, const Column& column) {
  if (column) object[key] = WideToUtf8(*column);
}

// An address as the app reads it; with `nulls`, for this program's own copy, the columns
// without a value too.
Json AddressJson(const MmsAddress& address, bool nulls = false) {
  Json json{{"address", WideToUtf8(address.address)}, {"type", std::to_string(address.role)}};
  auto put = [&](const std::string& key, const Column& column) {
    if (column) {
      json[key] = WideToUtf8(*column);
    } else if (nulls) {
      json[key] = nullptr;
    }
  };
  put("charset", address.charset);
  for (const NamedColumn& column : address.extras) {
    if (!json.contains(column.name)) put(column.name, column.value);
  }
  return json;
}

// The part columns that MessagePart fields take, in the order they are written.
constexpr std::pair<const char*, Column MessagePart::*> kPartFields[] = {
    {"seq", &MessagePart::seq},
    {"ct", &MessagePart::contentType},
    {"name", &MessagePart::name},
    {"chset", &MessagePart::charset},
    {"cd", &MessagePart::contentDisposition},
    {"fn", &MessagePart::fileName},
    {"cid", &MessagePart::contentId},
    {"cl", &MessagePart::contentLocation}};

bool PartFrom(const Json& object, const PartFileLookup& partFile, MessagePart& part,
              std::string& error) {
  if (!object.is_object()) {
    error = "is not an object";
    return false;
  }
  for (const auto& [key, value] : object.items()) {
    Column column;
    if (!ToColumn(value, column, error)) {
      error = "\"" + key + "\" " + error;
      return false;
    }
    if (key == "_data") {
      if (!column) continue;
      // The app's path on the phone; the archive keeps the file under its last component.
      const std::string path = WideToUtf8(*column);
      const std::string name = path.substr(path.rfind('/') + 1);
      if (name.empty() || name == "." || name == "..") {
        error = "_data \"" + path.substr(0, 80) + "\" names no file";
        return false;
      }
      if (!partFile(name, part.data, error)) return false;
      continue;
    }
    if (key == "text") {
      part.text = std::move(column);
      continue;
    }
    bool mapped = false;
    for (const auto& [field, member] : kPartFields) {
      if (key == field) {
        part.*member = std::move(column);
        mapped = true;
        break;
      }
    }
    if (!mapped) part.extras.push_back(NamedColumn{key, std::move(column)});
  }
  return true;
}

// Columns a line keeps out of the app's sight: those without a value (the app would read the
// text "null") and the line's thread_id (see MmsLineOf). The "larkpost" object lists them with
// their places, [index, name, value] for the line's and [part, index, name] for the parts', so
// that the message reads back with every column it had, in its order.
bool IsHiddenLineColumn(const NamedColumn& column) {
  return !column.value || column.name == "thread_id";
}

Json HiddenColumns(const Multimedia& multimedia) {
  Json hidden = Json::object();
  Json line = Json::array();
  for (size_t i = 0; i < multimedia.extras.size(); ++i) {
    const NamedColumn& column = multimedia.extras[i];
    if (IsHiddenLineColumn(column) && !IsMappedMmsKey(column.name)) {
      line.push_back(Json::array({i, column.name, column.value ? Json(WideToUtf8(*column.value)) : Json()}));
    }
  }
  Json parts = Json::array();
  for (size_t p = 0; p < multimedia.parts.size(); ++p) {
    const Columns& extras = multimedia.parts[p].extras;
    for (size_t i = 0; i < extras.size(); ++i) {
      if (!extras[i].value) parts.push_back(Json::array({p, i, extras[i].name}));
    }
  }
  if (!line.empty()) hidden["line"] = std::move(line);
  if (!parts.empty()) hidden["parts"] = std::move(parts);
  return hidden;
}

bool RestoreHiddenColumns(const Json& extra, Multimedia& multimedia, std::string& error) {
  const auto hidden = extra.find("hidden");
  if (hidden == extra.end()) return true;
  auto place = [&](const Json& item, size_t fields, size_t& at) {
    if (!item.is_array() || item.size() != fields || !item[0].is_number_unsigned()) return false;
    at = item[0].get<size_t>();
    return true;
  };
  error = "\"hidden\" lists a column that cannot be";
  if (const auto line = hidden->find("line"); line != hidden->end()) {
    if (!line->is_array()) return false;
    for (const Json& item : *line) {
      size_t at = 0;
      if (!place(item, 3, at) || !item[1].is_string() || at > multimedia.extras.size()) return false;
      Column value;
      if (!item[2].is_null()) {
        if (!item[2].is_string()) return false;
        value = Utf8ToWide(item[2].get<std::string>());
      }
      multimedia.extras.insert(multimedia.extras.begin() + static_cast<std::ptrdiff_t>(at),
                               NamedColumn{item[1].get<std::string>(), std::move(value)});
    }
  }
  if (const auto parts = hidden->find("parts"); parts != hidden->end()) {
    if (!parts->is_array()) return false;
    for (const Json& item : *parts) {
      size_t part = 0;
      if (!place(item, 3, part) || part >= multimedia.parts.size() || !item[1].is_number_unsigned() ||
          !item[2].is_string()) {
        return false;
      }
      Columns& extras = multimedia.parts[part].extras;
      const size_t at = item[1].get<size_t>();
      if (at > extras.size()) return false;
      extras.insert(extras.begin() + static_cast<std::ptrdiff_t>(at),
                    NamedColumn{item[2].get<std::string>(), std::nullopt});
    }
  }
  error.clear();
  return true;
}

// A multimedia line, its columns in the file's order (`json` is the same line).
bool MmsEntryFrom(std::string_view line, const ParsedJson& json, const PartFileLookup& partFile,
                  const OwnerLookup& owner, PhoneEntry& entry, std::string& error) {
  const Json ordered = Json::parse(line, nullptr, false);
  if (!ordered.is_object()) {
    error = "not a JSON object";
    return false;
  }
  std::optional<int64_t> date, box;
  std::optional<std::string> read, names;
  if (!ColumnNumber(json, "date", date, error) || !ColumnNumber(json, "msg_box", box, error) ||
      !ColumnText(json, "read", read, error) ||
      !ColumnText(json, "__display_name", names, error)) {
    return false;
  }
  // The app's mms dates are seconds.
  if (!date) {
    error = "it has no date";
    return false;
  }
  if (*date < kMinPhoneDate / 1000 || *date > kMaxPhoneDate / 1000) {
    error = "date \"" + std::to_string(*date) + "\" is not a time in seconds a backup can hold";
    return false;
  }
  if (!box) {
    error = "it has no msg_box";
    return false;
  }
  auto multimedia = std::make_shared<Multimedia>();
  for (const auto& [key, value] : ordered.items()) {
    if (IsMappedMmsKey(key)) continue;
    Column column;
    if (!ToColumn(value, column, error)) {
      error = "\"" + key + "\" " + error;
      return false;
    }
    multimedia->extras.push_back(NamedColumn{key, std::move(column)});
  }
  const auto extra = ordered.find("larkpost");
  const Json* kept = extra != ordered.end() && extra->is_object() && extra->contains("addresses")
                         ? &(*extra)["addresses"]
                         : nullptr;
  if (kept != nullptr && kept->is_array()) {
    for (const Json& item : *kept) {
      if (!AddressFrom(item, kRoleTo, multimedia->addresses.emplace_back(), error)) {
        error = "\"larkpost\": an address " + error;
        return false;
      }
    }
  } else {
    const auto sender = ordered.find("__sender_address");
    if (sender != ordered.end() && !sender->is_null() &&
        !AddressFrom(*sender, kRoleFrom, multimedia->addresses.emplace_back(), error)) {
      error = "\"__sender_address\" " + error;
      return false;
    }
    const auto recipients = ordered.find("__recipient_addresses");
    if (recipients != ordered.end() && !recipients->is_null()) {
      if (!recipients->is_array()) {
        error = "\"__recipient_addresses\" is not a list";
        return false;
      }
      for (const Json& item : *recipients) {
        if (!AddressFrom(item, kRoleTo, multimedia->addresses.emplace_back(), error)) {
          error = "\"__recipient_addresses\": an address " + error;
          return false;
        }
      }
    }
  }
  const auto parts = ordered.find("__parts");
  if (parts != ordered.end() && !parts->is_null()) {
    if (!parts->is_array()) {
      error = "\"__parts\" is not a list";
      return false;
    }
    for (const Json& item : *parts) {
      if (!PartFrom(item, partFile, multimedia->parts.emplace_back(), error)) {
        error = "part number " + std::to_string(multimedia->parts.size()) + ": " + error;
        return false;
      }
    }
  }
  if (extra != ordered.end() && extra->is_object() && !RestoreHiddenColumns(*extra, *multimedia, error)) {
    error = "\"larkpost\": " + error;
    return false;
  }
  const bool isRead = !read || *read != "0";
  const int64_t dateMs = *date * 1000;
  MessageRecord& record = entry.whole.emplace();
  if (!FillMultimediaRecord(box >= INT32_MIN && *box <= INT32_MAX ? static_cast<int>(*box) : 0,
                            dateMs, isRead, MultimediaRef{multimedia}, record, error)) {
    return false;
  }
  const std::u16string list = names ? Utf8ToWide(*names) : std::u16string();
  const auto whole = json.find("larkpost");
  if (whole != json.end() && !whole->is_null()) {
    // Written by this program: the message exactly as it was (times, subfolder, names).
    PhoneEntry kept;
    if (!WholeFromJson(*whole, kept, error)) return false;
    if (!kept.whole) {
      error = "\"larkpost\" of a multimedia message names a part";
      return false;
    }
    kept.whole->text = record.text;
    kept.whole->multimedia = record.multimedia;
    record = std::move(*kept.whole);
    // Its names are the parties' own; lists the fields would make otherwise are the line's,
    // with the members they went with.
    std::u16string members, named;
    PartyLists(record, members, named);
    std::optional<std::string> keptMembers;
    if (!ColumnText(*whole, "members", keptMembers, error)) {
      error = "\"larkpost\": " + error;
      return false;
    }
    if (named != list || keptMembers) {
      KeepNames(keptMembers ? Utf8ToWide(*keptMembers) : u"", list, *multimedia);
    }
  } else if (!NamePartiesFrom(u"", list, record)) {
    KeepNames(u"", list, *multimedia);
  } else if (owner && *box == kPhoneReceived && !record.recipients.empty()) {
    // The other parties as the app lists them: the owner, among the recipients, is none.
    const std::unordered_set<std::u16string>& numbers = owner();
    std::u16string members, named, others, othersNamed;
    PartyLists(record, members, named);
    MessageRecord without = record;
    std::erase_if(without.recipients, [&numbers](const RecordRecipient& recipient) {
      return numbers.count(recipient.address) != 0;
    });
    without.multimedia = {};
    PartyLists(without, others, othersNamed);
    if (others != members) KeepNames(others, othersNamed, *multimedia);
  }
  entry.date = FileTimeToPhoneDate(record.deliveryTime);
  entry.type = static_cast<int>(*box);
  entry.read = isRead;
  entry.body = record.text;
  entry.contactName = names ? Utf8ToWide(*names) : std::u16string();
  return true;
}

std::string MmsLineOf(const PhoneEntry& entry, const PartFileNamer& namer) {
  const MessageRecord& record = *entry.whole;
  const Multimedia& multimedia = *record.multimedia;
  Json line = Json::object();
  // The app keeps a line's thread_id for every later line of the same id: ids of two phones
  // would meet in one file (a merge) and join strangers' conversations. Without one, the app
  // files each message under the conversation of its addresses.
  for (const NamedColumn& column : multimedia.extras) {
    if (!IsMappedMmsKey(column.name) && column.name != kKeptNamesColumn &&
        column.name != kKeptMembersColumn && column.name != "thread_id") {
      PutColumn(line, column.name, column.value);
    }
  }
  // Seconds, rounded down also before 1970; "larkpost" keeps the exact time.
  const int64_t seconds = entry.date >= 0 ? entry.date / 1000 : -((-entry.date + 999) / 1000);
  line["date"] = std::to_string(seconds);
  line["msg_box"] = std::to_string(entry.type);
  line["read"] = entry.read ? "1" : "0";
  if (!entry.contactName.empty()) line["__display_name"] = WideToUtf8(entry.contactName);
  Json sender;
  Json recipients = Json::array();
  Json addresses = Json::array();
  for (const MmsAddress& address : multimedia.addresses) {
    addresses.push_back(AddressJson(address, true));
    if (address.role == kRoleFrom && sender.is_null()) {
      sender = AddressJson(address);
    } else {
      recipients.push_back(AddressJson(address));
    }
  }
  if (!sender.is_null()) line["__sender_address"] = std::move(sender);
  if (!recipients.empty()) line["__recipient_addresses"] = std::move(recipients);
  Json parts = Json::array();
  for (const MessagePart& part : multimedia.parts) {
    Json object = Json::object();
    for (const auto& [field, member] : kPartFields) PutColumn(object, field, part.*member);
    for (const NamedColumn& column : part.extras) {
      if (column.name != "_data" && column.name != "text") {
        PutColumn(object, column.name, column.value);
      }
    }
    // The phone keeps a text or SMIL part in its text column and has no file for it: the app
    // would fail to copy data into one. Other parts name their file in the archive, once each.
    if (IsTextPart(part)) {
      PutColumn(object, "text", TextOfTextPart(part));
    } else {
      if (part.data != nullptr) object["_data"] = "app_parts/" + namer(part);
      PutColumn(object, "text", part.text);
    }
    parts.push_back(std::move(object));
  }
  line["__parts"] = std::move(parts);
  Json extra = WholeJson(entry);
  extra["addresses"] = std::move(addresses);
  if (Json hidden = HiddenColumns(multimedia); !hidden.empty()) extra["hidden"] = std::move(hidden);
  if (const Column* members = FindColumn(multimedia.extras, kKeptMembersColumn); members && *members) {
    extra["members"] = WideToUtf8(**members);
  }
  line["larkpost"] = std::move(extra);
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string JsonLineOf(const PhoneEntry& entry, const PartFileNamer& namer) {
  if (entry.whole && entry.whole->multimedia) return MmsLineOf(entry, namer);
  Json line = Json::object();
  // The columns the message kept from a phone's file, in their order, those the app would
  // misread (see IsHiddenSmsColumn) aside; the app's defaults for a message from no phone file.
  Json hidden = Json::array();
  if (entry.columns.empty()) {
    line["date_sent"] = "0";
    line["locked"] = "0";
    line["protocol"] = "0";
    line["seen"] = "1";
    line["status"] = "-1";
  }
  for (size_t i = 0; i < entry.columns.size(); ++i) {
    const NamedColumn& column = entry.columns[i];
    if (IsMappedSmsKey(column.name)) continue;
    if (IsHiddenSmsColumn(column)) {
      hidden.push_back(Json::array({i, column.name, column.value ? Json(WideToUtf8(*column.value)) : Json()}));
    } else {
      line[column.name] = WideToUtf8(*column.value);
    }
  }
  if (!entry.address.empty()) line["address"] = WideToUtf8(entry.address);
  line["body"] = WideToUtf8(entry.body);
  // A draft without a delivery time is dated, as the phone dates a draft, when it was last
  // saved: not in 1970. "larkpost" keeps its real time.
  int64_t date = entry.date;
  if (date == 0 && entry.type == kPhoneDraft && entry.whole) {
    date = FileTimeToPhoneDate(entry.whole->lastModified);
  }
  line["date"] = std::to_string(date);
  line["read"] = entry.read ? "1" : "0";
  line["type"] = std::to_string(entry.type);
  if (!entry.contactName.empty()) line["__display_name"] = WideToUtf8(entry.contactName);
  Json extra = WholeJson(entry);
  if (entry.whole && !hidden.empty()) extra["hidden"] = Json{{"line", std::move(hidden)}};
  // The app's defaults are no columns of the message: it comes back without any, as it was.
  if (entry.whole && entry.columns.empty()) extra["columns"] = "none";
  line["larkpost"] = std::move(extra);
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void OwnerFinder::Take(std::string_view line) {
  // Only multimedia lines of sent messages name the owner: the others are not parsed.
  if (line.find("\"m_type\"") == std::string_view::npos ||
      line.find("\"__sender_address\"") == std::string_view::npos) {
    return;
  }
  const ParsedJson json = ParsedJson::parse(line, nullptr, false);
  if (!json.is_object()) return;
  std::optional<int64_t> box;
  std::string error;
  if (!ColumnNumber(json, "msg_box", box, error) || !box || *box == kPhoneReceived ||
      *box == kPhoneDraft) {
    return;
  }
  const auto sender = json.find("__sender_address");
  if (sender == json.end() || !sender->is_object()) return;
  std::optional<std::string> address;
  if (ColumnText(*sender, "address", address, error) && address && !address->empty()) {
    numbers_.insert(Utf8ToWide(*address));
  }
}

bool EntryFromJsonLine(std::string_view line, PhoneEntry& entry, const PartFileLookup& partFile,
                       std::string& error, const OwnerLookup& owner) {
  size_t keys = 0;
  ParsedJson json;
  // The columns an SMS keeps, taken as the parser meets them, in the line's order: each
  // top-level key with a plain value (text, number, true or false, null) that no field takes.
  Columns columns;
  size_t topKeys = 0;
  std::string key;
  try {
    json = ParsedJson::parse(
        line,
        [&](int depth, ParsedJson::parse_event_t event, ParsedJson& parsed) {
          if (event == ParsedJson::parse_event_t::key) {
            if (++keys > kMaxKeys) throw TooManyKeys{};
            if (depth == 1) {
              ++topKeys;
              key = parsed.get_ref<const std::string&>();
            }
          } else if (event == ParsedJson::parse_event_t::value && depth == 1 && !parsed.is_structured() &&
                     !IsMappedSmsKey(key)) {
            Column column;
            std::string ignored;
            ToColumn(parsed, column, ignored);
            columns.push_back(NamedColumn{key, std::move(column)});
          }
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
  if (json.contains("m_type")) return MmsEntryFrom(line, json, partFile, owner, entry, error);
  std::optional<std::string> address, name, body, read;
  std::optional<int64_t> date, type;
  if (!ColumnText(json, "address", address, error) ||
      !ColumnText(json, "__display_name", name, error) ||
      !ColumnText(json, "body", body, error) || !ColumnText(json, "read", read, error) ||
      !ColumnNumber(json, "date", date, error) || !ColumnNumber(json, "type", type, error)) {
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
  entry.type = static_cast<int>(*type);
  entry.read = !read || *read != "0";
  // A key given twice is one column, with the value the parser keeps: the last.
  if (topKeys != json.size()) {
    std::unordered_map<std::string_view, size_t> last;
    for (size_t i = 0; i < columns.size(); ++i) last[columns[i].name] = i;
    Columns once;
    for (size_t i = 0; i < columns.size(); ++i) {
      if (last[columns[i].name] == i) once.push_back(columns[i]);
    }
    columns = std::move(once);
  }
  entry.columns = std::move(columns);
  const auto extra = json.find("larkpost");
  if (extra != json.end() && !extra->is_null()) {
    if (!WholeFromJson(*extra, entry, error) || !RestoreHiddenSmsColumns(*extra, entry.columns, error)) {
      return false;
    }
    if (const auto columns = extra->find("columns"); columns != extra->end() && *columns == "none") {
      entry.columns.clear();
    }
  }
  return true;
}

}  // namespace larkpost
