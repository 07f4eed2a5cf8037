#include "formats/phone_zip.h"

#include <zip.h>

#include <cerrno>
#include <exception>
#include <cstdio>
#include <cstring>
#include <vector>

#include "formats/phone_json_line.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr char kEntryName[] = "messages.ndjson";
constexpr size_t kChunkBytes = 64 * 1024;

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
    // Two entries of the name: which one the app would read is anyone's guess, so neither is.
    const zip_int64_t count = zip_get_num_entries(archive_, 0);
    int named = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
      const char* name = zip_get_name(archive_, static_cast<zip_uint64_t>(i), 0);
      if (name != nullptr && std::strcmp(name, kEntryName) == 0) ++named;
    }
    if (named > 1) {
      error_ = "the ZIP holds " + std::to_string(named) +
               " entries named messages.ndjson; it is unclear which one holds the messages";
      return;
    }
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive_, static_cast<zip_uint64_t>(index), 0, &stat) == 0 &&
        (stat.valid & ZIP_STAT_COMP_SIZE) != 0) {
      packed_ = stat.comp_size;
      if ((stat.valid & ZIP_STAT_SIZE) != 0) {
        declared_ = stat.size;
        if (IsBomb(declared_)) return;
      }
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
      if (!EntryWithinLimits(entry, why)) {
        error_ = "messages.ndjson line " + std::to_string(lineNumber_) + ": " + why;
        break;
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
      unpacked_ += static_cast<uint64_t>(got);
      if (unpacked_ > declared_) {
        error_ = "messages.ndjson unpacks to more than the " + std::to_string(declared_) +
                 " bytes the archive says it holds; refused";
        return false;
      }
      if (IsBomb(unpacked_)) return false;
      buffer_.assign(chunk_.data(), static_cast<size_t>(got));
    }
  }

  // Text of messages packs to a tenth or so; only the same lines over and over pack to a
  // two-hundredth, and they would make millions of messages of a small file. Judged on the size
  // the archive states before anything is read, and on what was unpacked as it is read.
  bool IsBomb(uint64_t unpacked) {
    if (unpacked <= kBombFloor || unpacked / kBombRatio <= packed_) return false;
    error_ = "messages.ndjson unpacks to more than " + std::to_string(kBombRatio) +
             " times its packed size (" + std::to_string(packed_) + " bytes); refused as a ZIP bomb";
    return true;
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
  // The entry's packed size as the archive states it, and what was unpacked of it so far.
  static constexpr uint64_t kBombRatio = 200;
  static constexpr uint64_t kBombFloor = uint64_t{16} << 20;
  uint64_t packed_ = 0;
  uint64_t declared_ = UINT64_MAX;  // the unpacked size the archive states
  uint64_t unpacked_ = 0;
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
