#include "formats/phone_zip.h"

#include <zip.h>

#include <cerrno>
#include <exception>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "backupfile/folder_path.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

using Json = nlohmann::ordered_json;

constexpr char kEntryName[] = "messages.ndjson";
constexpr size_t kChunkBytes = 64 * 1024;

std::string TypeName(const Json& value) {
  return std::string(value.is_array() ? "a list" : value.is_object() ? "an object" : "not text");
}

// A column's value as text: strings as they are, numbers and booleans in their JSON form (the
// app writes strings, but a hand-made file may not); null and a missing key are absent.
bool ColumnText(const Json& line, const char* key, std::optional<std::string>& text,
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

bool ColumnNumber(const Json& line, const char* key, std::optional<int64_t>& number,
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
bool WholeFromJson(const Json& extra, PhoneEntry& entry, std::string& error) {
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
    for (const Json& item : *recipients) {
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
      if (type) recipient.type = static_cast<int32_t>(*type);
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

std::string ZipErrorText(zip_error_t* error) { return zip_error_strerror(error); }

class ZipSource : public EntrySource {
 public:
  // Takes the archive; `opened` describes why it could not be opened when it is null.
  ZipSource(zip_t* archive, std::string openError)
      : archive_(archive), error_(std::move(openError)), chunk_(kChunkBytes) {
    if (archive_ == nullptr) return;
    const zip_int64_t index = zip_name_locate(archive_, kEntryName, 0);
    if (index < 0) {
      error_ = "the ZIP holds no messages.ndjson: not an SMS Import / Export archive";
      return;
    }
    file_ = zip_fopen_index(archive_, static_cast<zip_uint64_t>(index), 0);
    if (file_ == nullptr) {
      error_ = std::string("messages.ndjson cannot be read: ") + zip_strerror(archive_);
    }
  }
  ~ZipSource() override {
    if (file_ != nullptr) zip_fclose(file_);
    if (archive_ != nullptr) zip_discard(archive_);
  }
  ZipSource(const ZipSource&) = delete;
  ZipSource& operator=(const ZipSource&) = delete;

  bool NextEntry(PhoneEntry& entry, std::string& error) override {
    std::string line;
    while (error_.empty() && NextLine(line)) {
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      bool isMms = false;
      std::string why;
      entry = PhoneEntry{};
      if (!EntryFromJsonLine(line, entry, isMms, why)) {
        error_ = "messages.ndjson line " + std::to_string(lineNumber_) + ": " + why;
        break;
      }
      if (isMms) {
        ++mmsSkipped;
        continue;
      }
      return true;
    }
    error = error_;
    return false;
  }

 private:
  // The next line of messages.ndjson, without its line feed; false at the end or on an error.
  bool NextLine(std::string& line) {
    line.clear();
    while (true) {
      const size_t feed = buffer_.find('\n', at_);
      if (feed != std::string::npos) {
        line.append(buffer_, at_, feed - at_);
        at_ = feed + 1;
        ++lineNumber_;
        return CheckLength(line);
      }
      line.append(buffer_, at_, std::string::npos);
      buffer_.clear();
      at_ = 0;
      if (!CheckLength(line)) return false;
      if (ended_) {
        if (line.empty()) return false;
        ++lineNumber_;
        return true;
      }
      const zip_int64_t got = zip_fread(file_, chunk_.data(), chunk_.size());
      if (got < 0) {
        error_ = "messages.ndjson line " + std::to_string(lineNumber_ + 1) +
                 " cannot be read: " + zip_file_strerror(file_);
        return false;
      }
      if (got == 0) ended_ = true;
      buffer_.assign(chunk_.data(), static_cast<size_t>(got));
    }
  }

  bool CheckLength(const std::string& line) {
    if (line.size() <= kMaxEntryBytes) return true;
    error_ = "messages.ndjson line " + std::to_string(lineNumber_ + 1) + " is larger than " +
             std::to_string(kMaxEntryBytes >> 20) + " MiB; no message is that long";
    return false;
  }

  zip_t* archive_;
  zip_file_t* file_ = nullptr;
  std::string error_;
  std::vector<char> chunk_;
  std::string buffer_;
  size_t at_ = 0;
  bool ended_ = false;
  uint64_t lineNumber_ = 0;
};

// The archive's destination for the ZIP library: the caller's open file. File errors are kept
// and raised again once the library has returned.
class FileSink {
 public:
  explicit FileSink(CFile& file) : file_(file) { zip_error_init(&error_); }
  ~FileSink() { zip_error_fini(&error_); }
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  static zip_int64_t Callback(void* self, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    return static_cast<FileSink*>(self)->Handle(data, length, command);
  }

  void RaiseKeptError() {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  zip_int64_t Handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    try {
      switch (command) {
        case ZIP_SOURCE_SUPPORTS:
          return ZIP_SOURCE_SUPPORTS_WRITABLE;
        case ZIP_SOURCE_STAT: {  // a new, empty archive
          zip_stat_t* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
          if (stat == nullptr) return -1;
          zip_stat_init(stat);
          stat->valid |= ZIP_STAT_SIZE;
          stat->size = 0;
          return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_ERROR:
          return zip_error_to_data(&error_, data, length);
        case ZIP_SOURCE_OPEN:
        case ZIP_SOURCE_READ:
        case ZIP_SOURCE_CLOSE:
        case ZIP_SOURCE_SEEK:
        case ZIP_SOURCE_TELL:
        case ZIP_SOURCE_FREE:
        case ZIP_SOURCE_BEGIN_WRITE:
        case ZIP_SOURCE_ROLLBACK_WRITE:
        case ZIP_SOURCE_REMOVE:
          return 0;
        case ZIP_SOURCE_WRITE:
          file_.Write(data, static_cast<unsigned>(length));
          return static_cast<zip_int64_t>(length);
        case ZIP_SOURCE_SEEK_WRITE: {
          auto* seek = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &error_);
          if (seek == nullptr) return -1;
          const unsigned from = seek->whence == SEEK_SET   ? CFile::begin
                                : seek->whence == SEEK_CUR ? CFile::current
                                                           : CFile::end;
          file_.Seek(seek->offset, from);
          return 0;
        }
        case ZIP_SOURCE_TELL_WRITE:
          return static_cast<zip_int64_t>(file_.GetPosition());
        case ZIP_SOURCE_COMMIT_WRITE:
          file_.Flush();
          return 0;
        default:
          zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
          return -1;
      }
    } catch (const CFileException& failure) {
      failure_ = std::current_exception();
      zip_error_set(&error_, ZIP_ER_WRITE, failure.m_lOsError);
      return -1;
    }
  }

  CFile& file_;
  zip_error_t error_;
  std::exception_ptr failure_;
};

class Writer : public MessageWriter {
 public:
  Writer(CFile& file, DeletedAs deletedAs)
      : file_(file), deletedAs_(deletedAs), lines_(OpenUnnamedFileBeside(file.GetFilePath())) {}
  ~Writer() override {
    if (lines_ != nullptr) std::fclose(lines_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  bool Write(const MessageRecord& record, std::string& error) override {
    if (!EntriesOf(record, deletedAs_, entries_list_, error)) return false;
    for (const PhoneEntry& entry : entries_list_) {
      std::string line = JsonLineOf(entry);
      line.push_back('\n');
      if (std::fwrite(line.data(), 1, line.size(), lines_) != line.size()) Throw(errno);
      ++entries_;
    }
    return true;
  }

  void Finish() override {
    if (std::fflush(lines_) != 0 || std::fseek(lines_, 0, SEEK_SET) != 0) Throw(errno);
    FileSink sink(file_);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* target = zip_source_function_create(&FileSink::Callback, &sink, &error);
    zip_t* archive =
        target != nullptr ? zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr;
    if (archive == nullptr) {
      if (target != nullptr) zip_source_free(target);
      zip_error_fini(&error);
      Throw(EIO);
    }
    zip_error_fini(&error);
    zip_source_t* source = zip_source_filep(archive, lines_, 0, -1);
    if (source != nullptr) lines_ = nullptr;  // the archive closes it
    bool added = false;
    if (source != nullptr) {
      const zip_int64_t index = zip_file_add(archive, kEntryName, source, ZIP_FL_ENC_UTF_8);
      added = index >= 0;
      if (!added) zip_source_free(source);
      // zlib's default level: the library's own default (the highest) is several times slower
      // for a file of many similar lines and gains little.
      added = added && zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                                ZIP_CM_DEFLATE, 6) == 0;
    }
    if (!added || zip_close(archive) != 0) {
      const int osError = zip_error_code_system(zip_get_error(archive));
      zip_discard(archive);
      sink.RaiseKeptError();
      Throw(osError != 0 ? osError : EIO);
    }
  }

 private:
  [[noreturn]] void Throw(int osError) {
    throw CFileException(CFileException::CauseFromErrno(osError), osError, file_.GetFilePath());
  }

  CFile& file_;
  DeletedAs deletedAs_;
  FILE* lines_ = nullptr;
  std::vector<PhoneEntry> entries_list_;
};

}  // namespace

bool EntryFromJsonLine(std::string_view line, PhoneEntry& entry, bool& isMms, std::string& error) {
  const Json json = Json::parse(line, nullptr, false);
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

std::unique_ptr<EntrySource> ZipEntries(const std::u16string& path) {
  int code = 0;
  zip_t* archive = zip_open(WideToUtf8(path).c_str(), ZIP_RDONLY, &code);
  std::string error;
  if (archive == nullptr) {
    zip_error_t why;
    zip_error_init_with_code(&why, code);
    error = "not a ZIP archive that can be read: " + ZipErrorText(&why);
    zip_error_fini(&why);
  }
  return std::make_unique<ZipSource>(archive, error);
}

std::unique_ptr<EntrySource> ZipEntriesInBuffer(std::string_view bytes) {
  zip_error_t why;
  zip_error_init(&why);
  zip_t* archive = nullptr;
  if (zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &why)) {
    archive = zip_open_from_source(source, ZIP_RDONLY, &why);
    if (archive == nullptr) zip_source_free(source);
  }
  std::string error;
  if (archive == nullptr) error = "not a ZIP archive that can be read: " + ZipErrorText(&why);
  zip_error_fini(&why);
  return std::make_unique<ZipSource>(archive, error);
}

std::unique_ptr<MessageWriter> ZipWriter(CFile& file, DeletedAs deletedAs) {
  return std::make_unique<Writer>(file, deletedAs);
}

}  // namespace larkpost
