#include "formats/phone_calls.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <vector>

#include "formats/markup.h"
#include "formats/message_stream.h"
#include "formats/phone_entry.h"
#include "platform/file/byte_sink.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr uint32_t kReadFlag = 0x1;  // MSGFLAG_READ
constexpr size_t kChunkBytes = 64 * 1024;
constexpr char kReadableDateColumn[] = "readable_date";

// Names an XML attribute may have; a column from a file may bring any other.
bool IsXmlName(std::string_view name) {
  return !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0])) && name[0] != '-' &&
         name[0] != '.' && std::all_of(name.begin(), name.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
         });
}

// The other app's row ids and looked-up names: they mean nothing in the XML app's files.
bool IsForeignColumn(std::string_view name) { return name == "_id" || name.starts_with("__"); }

void AppendXmlColumn(std::string& out, std::string_view name, const Column& value) {
  if (!IsXmlName(name) || IsForeignColumn(name)) return;
  out += ' ';
  out += name;
  out += "=\"";
  if (value) {
    AppendEscaped(out, *value, Markup::kXmlAttribute);
  } else {
    out += "null";
  }
  out += '"';
}

int64_t CallDate(const MessageRecord& call) {
  return FileTimeToUInt64(call.deliveryTime) == 0 ? 0 : FileTimeToPhoneDate(call.deliveryTime);
}

int64_t ColumnNumber(const MessageRecord& call, std::string_view name) {
  const Column* column = FindColumn(call.phoneColumns, name);
  int64_t number = 0;
  if (column == nullptr || !*column || !ParseInteger(WideToUtf8(**column), number)) return 0;
  return number;
}

// "4:05", "1:02:03".
std::string Duration(int64_t seconds) {
  char text[48];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

// A value of the call log: the app writes strings; numbers and true/false are taken as their
// text, null as no value.
bool ColumnFromJson(const nlohmann::ordered_json& value, Column& column) {
  if (value.is_null()) {
    column.reset();
  } else if (value.is_string()) {
    column = Utf8ToWide(value.get_ref<const std::string&>());
  } else if (value.is_number() || value.is_boolean()) {
    column = Utf8ToWide(value.dump());
  } else {
    return false;
  }
  return true;
}

// The call log's objects one at a time: the array is scanned for the extent of each object
// (strings and nesting followed), and only that object is parsed.
class CallLogSource : public MessageReader {
 public:
  explicit CallLogSource(ByteSource source) : source_(std::move(source)), chunk_(kChunkBytes) {}

  bool Next(MessageRecord& record) override {
    if (!error_.empty() || ended_) return false;
    std::string object;
    if (!NextObject(object)) return false;
    ++number_;
    const std::string where = "call " + std::to_string(number_) + ": ";
    const nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(object, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
      error_ = where + "it is not a JSON object of call columns";
      return false;
    }
    Columns columns;
    for (const auto& [name, value] : parsed.items()) {
      NamedColumn& column = columns.emplace_back();
      column.name = name;
      if (!ColumnFromJson(value, column.value)) {
        error_ = where + "its column \"" + name.substr(0, 40) + "\" is not a value";
        return false;
      }
    }
    record = MessageRecord{};
    std::string problem;
    if (!CallFromColumns(columns, kCallLogNameColumn, record, problem)) {
      error_ = where + problem;
      return false;
    }
    ++counts_.calls;
    return true;
  }

 private:
  // The next byte of the file; false at its end.
  bool Byte(char& c) {
    if (at_ == got_) {
      got_ = source_(chunk_.data(), chunk_.size());
      at_ = 0;
      read_ += got_;
      if (got_ == 0) return false;
    }
    c = chunk_[at_++];
    ++position_;
    if (c == '\n') ++line_;
    return true;
  }

  bool Fail(std::string text) {
    error_ = std::move(text);
    return false;
  }

  std::string Place() const { return " at line " + std::to_string(line_); }

  // The text of the next object of the array; false at its end (ended_) or on an error.
  bool NextObject(std::string& object) {
    char c = 0;
    // Up to the next object: the array's "[" first, then "," between objects, "]" at the end.
    while (true) {
      if (!Byte(c)) {
        if (read_ == 0) return Fail("not a call log: the file is empty");
        return Fail("the call log is cut off" + Place() + "; it holds no complete last call");
      }
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
      if (!begun_) {
        if (position_ <= 3 && static_cast<unsigned char>(c) >= 0x80) continue;  // byte order mark
        if (c != '[') return Fail("not a call log: it does not begin with a JSON array");
        begun_ = true;
        continue;
      }
      if (c == ']' && !expectObject_) {
        ended_ = true;
        return false;
      }
      if (c == ',' && !expectObject_ && number_ > 0) {
        expectObject_ = true;
        continue;
      }
      if (c == '{' && (expectObject_ || number_ == 0)) break;
      return Fail("malformed call log" + Place() + ": \"" + std::string(1, c) +
                  "\" where a call or the end of the array belongs");
    }
    expectObject_ = false;
    object.assign(1, '{');
    int depth = 1;
    bool inString = false, escaped = false;
    while (depth > 0) {
      if (!Byte(c)) {
        return Fail("the call log is cut off" + Place() + ", inside call " +
                    std::to_string(number_ + 1) + "; it holds no complete last call");
      }
      object.push_back(c);
      if (object.size() > kMaxEntryBytes) {
        return Fail("call " + std::to_string(number_ + 1) + " is larger than " +
                    std::to_string(kMaxEntryBytes >> 20) + " MiB; no call is that long");
      }
      if (inString) {
        if (escaped) {
          escaped = false;
        } else if (c == '\\') {
          escaped = true;
        } else if (c == '"') {
          inString = false;
        }
      } else if (c == '"') {
        inString = true;
      } else if (c == '{' || c == '[') {
        // A call's columns are values: anything nested deeper is no call, and is not parsed.
        if (++depth > 2) {
          return Fail("call " + std::to_string(number_ + 1) + " (line " + std::to_string(line_) +
                      "): its columns hold nested JSON, not values");
        }
      } else if (c == '}' || c == ']') {
        --depth;
      }
    }
    return true;
  }

  ByteSource source_;
  std::vector<char> chunk_;
  size_t at_ = 0, got_ = 0;
  uint64_t read_ = 0;
  uint64_t position_ = 0;  // bytes taken
  uint64_t line_ = 1;
  uint64_t number_ = 0;  // calls read so far
  bool begun_ = false;
  bool expectObject_ = false;  // after a ","
  bool ended_ = false;
};

class CallLogFileWriter : public MessageWriter {
 public:
  explicit CallLogFileWriter(ByteSink& sink) : sink_(sink) {}

  bool Write(const MessageRecord& record, std::string& error) override {
    if (record.kind != EntryKind::kCall) {
      error = "a call log holds calls only";
      return false;
    }
    nlohmann::ordered_json object;
    const std::u16string number = CallNumber(record);
    if (!number.empty() || !FindColumn(record.phoneColumns, kCallNumberColumn)) {
      object[kCallNumberColumn] = WideToUtf8(number);
    }
    object[kCallDateColumn] = std::to_string(CallDate(record));
    for (const NamedColumn& column : record.phoneColumns) {
      // A column the XML app wrote without a value has none in the call log either.
      if (column.value && column.name != kCallLogNameColumn && column.name != kCallNumberColumn) {
        object[column.name] = WideToUtf8(*column.value);
      }
    }
    const std::u16string name = CallName(record);
    if (!name.empty()) object[kCallLogNameColumn] = WideToUtf8(name);
    std::string text = entries_ == 0 ? "[\n" : ",\n";
    text += object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    sink_.Write(text.data(), text.size());
    ++entries_;
    sink_.MessageWritten();
    return true;
  }

  void Finish() override {
    const char* end = entries_ == 0 ? "[]\n" : "\n]\n";
    sink_.Write(end, std::char_traits<char>::length(end));
    sink_.Close();
  }

 private:
  ByteSink& sink_;
};

}  // namespace

bool CallFromColumns(const Columns& columns, std::string_view nameColumn, MessageRecord& call,
                     std::string& problem) {
  std::u16string number, name;
  int64_t date = 0;
  bool haveDate = false;
  Columns others;
  for (const NamedColumn& column : columns) {
    if (column.name == kCallNumberColumn) {
      // A number the file wrote as null stays null; an empty one ("") is the field's.
      if (column.value && *column.value != u"null") {
        number = *column.value;
      } else {
        others.push_back(NamedColumn{column.name, std::nullopt});
      }
    } else if (column.name == nameColumn) {
      if (column.value && *column.value != u"(Unknown)") name = *column.value;
    } else if (column.name == kCallDateColumn) {
      const std::string text = column.value ? WideToUtf8(*column.value) : "null";
      if (!ParseInteger(text, date) || date < kMinPhoneDate || date > kMaxPhoneDate) {
        problem = "date \"" + text.substr(0, 40) + "\" " + kPhoneDateRange;
        return false;
      }
      haveDate = true;
    } else if (column.name != kReadableDateColumn) {
      others.push_back(column);
    }
  }
  if (!haveDate) {
    problem = "it has no date";
    return false;
  }
  if (number.find(u'\0') != std::u16string::npos || name.find(u'\0') != std::u16string::npos) {
    problem = "its number or name holds a NUL character";
    return false;
  }
  call = MessageRecord{};
  call.kind = EntryKind::kCall;
  call.phoneColumns = std::move(others);
  call.deliveryTime = PhoneDateToFileTime(date);
  call.lastModified = call.deliveryTime;
  call.flags = kReadFlag;
  if (CallType(call) == kCallOutgoing) {
    call.folderPath = FolderForPhoneType(kPhoneSent);
    call.recipients.push_back(RecordRecipient{std::move(name), std::move(number), 1});
  } else {
    call.folderPath = FolderForPhoneType(kPhoneReceived);
    call.senderName = std::move(name);
    call.senderAddress = std::move(number);
  }
  return true;
}

int CallType(const MessageRecord& call) {
  return static_cast<int>(ColumnNumber(call, "type"));
}

std::u16string CallNumber(const MessageRecord& call) {
  if (!call.recipients.empty()) return call.recipients.front().address;
  return call.senderAddress;
}

std::u16string CallName(const MessageRecord& call) {
  if (!call.recipients.empty()) return call.recipients.front().displayName;
  return call.senderName;
}

void AppendXmlCall(std::string& out, const MessageRecord& call) {
  const int64_t date = CallDate(call);
  out += "  <call";
  const std::u16string number = CallNumber(call);
  const bool nullNumber = number.empty() && FindColumn(call.phoneColumns, kCallNumberColumn);
  AppendXmlColumn(out, kCallNumberColumn, nullNumber ? Column() : Column(number));
  out += " date=\"" + std::to_string(date) + "\"";
  for (const NamedColumn& column : call.phoneColumns) {
    if (column.name != kXmlCallNameColumn && column.name != kCallNumberColumn) {
      AppendXmlColumn(out, column.name, column.value);
    }
  }
  out += " readable_date=\"" + ReadableDate(date) + "\"";
  const std::u16string name = CallName(call);
  AppendXmlColumn(out, kXmlCallNameColumn, name.empty() ? Column(u"(Unknown)") : Column(name));
  out += " />\n";
}

std::string CallSummary(const MessageRecord& call) {
  const int type = CallType(call);
  static const char* const kNames[] = {"Call",          "Incoming call", "Outgoing call",
                                       "Missed call",   "Voicemail",     "Rejected call",
                                       "Blocked call",  "Call answered on another device"};
  std::string text = type >= 1 && type <= 7 ? kNames[type] : kNames[0];
  const int64_t seconds = ColumnNumber(call, "duration");
  if (seconds > 0) text += ", " + Duration(seconds);
  return text;
}

std::string CallLogNameBeside(const std::string& fileName) {
  std::string name = fileName;
  std::string age;
  auto endsWith = [&name](std::string_view ending) {
    if (name.size() < ending.size()) return false;
    for (size_t i = 0; i < ending.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(name[name.size() - ending.size() + i])) !=
          ending[i]) {
        return false;
      }
    }
    return true;
  };
  if (endsWith(".age")) {
    age = name.substr(name.size() - 4);
    name.resize(name.size() - 4);
  }
  if (endsWith(".zip")) name.resize(name.size() - 4);
  constexpr std::string_view kMessages = "messages";
  if (name.starts_with(kMessages) && name.size() > kMessages.size()) {
    name = "calls" + name.substr(kMessages.size());
  } else {
    name = "calls-" + name;
  }
  return name + ".json" + age;
}

std::unique_ptr<MessageReader> CallLogReader(ByteSource source) {
  return std::make_unique<CallLogSource>(std::move(source));
}

std::unique_ptr<MessageWriter> CallLogWriter(ByteSink& sink) {
  return std::make_unique<CallLogFileWriter>(sink);
}

}  // namespace larkpost
