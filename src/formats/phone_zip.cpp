#include "formats/phone_zip.h"

#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <exception>
#include <cstdio>
#include <cstring>
#include <vector>

#include "formats/phone_json_line.h"
#include "platform/file/file.h"
#include "platform/file/memory_files.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr char kEntryName[] = "messages.ndjson";
constexpr size_t kChunkBytes = 64 * 1024;

std::string ZipErrorText(zip_error_t* error) { return zip_error_strerror(error); }

// Text of messages packs to a tenth or so, pictures hardly at all; only the same bytes over and
// over pack to a two-hundredth, and they would make millions of messages (or gigabytes of an
// attachment) of a small file. Judged on the size the archive states before anything is read,
// and on what was unpacked as it is read.
constexpr uint64_t kBombRatio = 200;
constexpr uint64_t kBombFloor = uint64_t{16} << 20;
bool IsBombSize(uint64_t unpacked, uint64_t packed) {
  return unpacked > kBombFloor && unpacked / kBombRatio > packed;
}

// The open archive, shared by the reader and the parts read from it.
struct Archive {
  explicit Archive(zip_t* archive, std::u16string path) : zip(archive), path(std::move(path)) {}
  ~Archive() {
    if (zip != nullptr) zip_discard(zip);
  }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;
  zip_t* zip;
  std::u16string path;  // for errors; empty for an archive in memory
};

// A part's bytes: a file of the archive, inflated as it is read, each time from the start.
class ArchivedBytes : public PartBytes {
 public:
  ArchivedBytes(std::shared_ptr<Archive> archive, zip_uint64_t index, uint64_t size)
      : archive_(std::move(archive)), index_(index), size_(size) {}
  uint64_t size() const override { return size_; }
  ByteSource Open() const override {
    // The open file goes before the archive it reads.
    struct Reading {
      Reading(std::shared_ptr<Archive> from, zip_uint64_t index, uint64_t size)
          : archive(std::move(from)), file(zip_fopen_index(archive->zip, index, 0)), left(size) {}
      ~Reading() {
        if (file != nullptr) zip_fclose(file);
      }
      Reading(const Reading&) = delete;
      Reading& operator=(const Reading&) = delete;
      std::shared_ptr<Archive> archive;
      zip_file_t* file;
      uint64_t left;
    };
    auto reading = std::make_shared<Reading>(archive_, index_, size_);
    if (reading->file == nullptr) Fail(archive_->path);
    return [reading](char* buffer, size_t capacity) -> size_t {
      const zip_int64_t got = zip_fread(reading->file, buffer, capacity);
      // More or fewer bytes than the archive states are refused: the stated size was checked.
      if (got < 0 || static_cast<uint64_t>(got) > reading->left ||
          (got == 0 && reading->left != 0)) {
        Fail(reading->archive->path);
      }
      reading->left -= static_cast<uint64_t>(got);
      return static_cast<size_t>(got);
    };
  }

 private:
  [[noreturn]] static void Fail(const std::u16string& path) {
    throw CFileException(CFileException::hardIO, EIO, path);
  }
  std::shared_ptr<Archive> archive_;
  zip_uint64_t index_;
  uint64_t size_;
};

class ZipSource : public EntrySource {
 public:
  // Takes the archive; `opened` describes why it could not be opened when it is null.
  ZipSource(zip_t* archive, std::u16string path, std::string openError)
      : archive_(std::make_shared<Archive>(archive, std::move(path))),
        error_(std::move(openError)),
        chunk_(kChunkBytes) {
    if (archive == nullptr) return;
    const zip_int64_t index = zip_name_locate(archive, kEntryName, 0);
    if (index < 0) {
      error_ = "the ZIP holds no messages.ndjson: not an SMS Import / Export archive";
      return;
    }
    // Two entries of the name: which one the app would read is anyone's guess, so neither is.
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    int named = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
      const char* name = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
      if (name != nullptr && std::strcmp(name, kEntryName) == 0) ++named;
    }
    if (named > 1) {
      error_ = "the ZIP holds " + std::to_string(named) +
               " entries named messages.ndjson; it is unclear which one holds the messages";
      return;
    }
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &stat) == 0 &&
        (stat.valid & ZIP_STAT_COMP_SIZE) != 0) {
      packed_ = stat.comp_size;
      if ((stat.valid & ZIP_STAT_SIZE) != 0) {
        declared_ = stat.size;
        if (IsBomb(declared_)) return;
      }
    }
    file_ = zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0);
    if (file_ == nullptr) {
      error_ = std::string("messages.ndjson cannot be read: ") + zip_strerror(archive);
    }
  }
  ~ZipSource() override {
    if (file_ != nullptr) zip_fclose(file_);
  }
  ZipSource(const ZipSource&) = delete;
  ZipSource& operator=(const ZipSource&) = delete;

  bool NextEntry(PhoneEntry& entry, std::string& error) override {
    std::string line;
    while (error_.empty() && NextLine(line)) {
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      std::string why;
      entry = PhoneEntry{};
      if (!EntryFromJsonLine(line, entry, lookup_, why)) {
        error_ = "messages.ndjson line " + std::to_string(lineNumber_) + ": " + why;
        break;
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

  // A part's file data/<name>; its stated sizes are checked before any byte is read.
  bool PartFile(const std::string& name, std::shared_ptr<const PartBytes>& bytes,
                std::string& error) {
    const std::string entryName = "data/" + name;
    const zip_int64_t index = zip_name_locate(archive_->zip, entryName.c_str(), 0);
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (index < 0 ||
        zip_stat_index(archive_->zip, static_cast<zip_uint64_t>(index), 0, &stat) != 0) {
      error = "its file " + entryName.substr(0, 120) + " is not in the ZIP";
      return false;
    }
    if ((stat.valid & ZIP_STAT_SIZE) == 0 || (stat.valid & ZIP_STAT_COMP_SIZE) == 0 ||
        IsBombSize(stat.size, stat.comp_size)) {
      error = "its file " + entryName.substr(0, 120) + " unpacks to more than " +
              std::to_string(kBombRatio) + " times its packed size; refused as a ZIP bomb";
      return false;
    }
    bytes = std::make_shared<ArchivedBytes>(archive_, static_cast<zip_uint64_t>(index), stat.size);
    return true;
  }

  bool IsBomb(uint64_t unpacked) {
    if (!IsBombSize(unpacked, packed_)) return false;
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

  std::shared_ptr<Archive> archive_;
  PartFileLookup lookup_ = [this](const std::string& name, std::shared_ptr<const PartBytes>& bytes,
                                  std::string& error) { return PartFile(name, bytes, error); };
  zip_file_t* file_ = nullptr;
  std::string error_;
  std::vector<char> chunk_;
  std::string buffer_;
  size_t at_ = 0;
  bool ended_ = false;
  uint64_t lineNumber_ = 0;
  // The entry's packed size as the archive states it, and what was unpacked of it so far.
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

// One attachment for the archive: a range of the writer's file of attachments, read with pread
// so that any number of them share its one descriptor.
class StoredPart {
 public:
  StoredPart(int fd, uint64_t start, uint64_t size) : fd_(fd), start_(start), size_(size) {}

  static zip_int64_t Callback(void* self, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    return static_cast<StoredPart*>(self)->Handle(data, length, command);
  }

 private:
  zip_int64_t Handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                              -1);
      case ZIP_SOURCE_OPEN:
        at_ = 0;
        return 0;
      case ZIP_SOURCE_READ: {
        const uint64_t want = std::min<uint64_t>(length, size_ - at_);
        if (want == 0) return 0;
        ssize_t got;
        do {
          got = pread(fd_, data, want, static_cast<off_t>(start_ + at_));
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
          zip_error_set(&error_, ZIP_ER_READ, got < 0 ? errno : EIO);
          return -1;
        }
        at_ += static_cast<uint64_t>(got);
        return got;
      }
      case ZIP_SOURCE_CLOSE:
        return 0;
      case ZIP_SOURCE_STAT: {
        zip_stat_t* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &error_);
        if (stat == nullptr) return -1;
        zip_stat_init(stat);
        stat->valid |= ZIP_STAT_SIZE;
        stat->size = size_;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&error_, data, length);
      case ZIP_SOURCE_FREE:
        zip_error_fini(&error_);
        delete this;
        return 0;
      default:
        zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  }

  int fd_;
  uint64_t start_;
  uint64_t size_;
  uint64_t at_ = 0;
  zip_error_t error_{};
};

// A name for an attachment in data/: unique by its number, and kept to letters, digits, "-",
// "_" and single "." of the part's own name, so no name from a file can reach outside data/.
std::string PartFileName(uint64_t number, const MessagePart& part) {
  const Column& own = part.contentLocation ? part.contentLocation
                      : part.name          ? part.name
                                           : part.fileName;
  std::string name = "PART_" + std::to_string(number);
  if (own) {
    std::string safe;
    for (const char c : WideToUtf8(*own)) {
      if (safe.size() == 60) break;
      const bool dot = c == '.' && (safe.empty() || safe.back() != '.');  // never ".."
      safe.push_back(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || dot ? c : '_');
    }
    if (!safe.empty()) name += "_" + safe;
  }
  return name;
}

class Writer : public MessageWriter {
 public:
  Writer(CFile& file, DeletedAs deletedAs)
      : file_(file), deletedAs_(deletedAs), lines_(OpenUnnamedFileBeside(file.GetFilePath())) {}
  ~Writer() override {
    if (lines_ != nullptr) std::fclose(lines_);
    if (parts_ != nullptr) std::fclose(parts_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  bool Write(const MessageRecord& record, std::string& error) override {
    if (!EntriesOf(record, deletedAs_, entries_list_, error)) return false;
    for (const PhoneEntry& entry : entries_list_) {
      std::string line = JsonLineOf(entry, namer_);
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
    if (!AddParts(archive)) {
      zip_discard(archive);
      sink.RaiseKeptError();
      Throw(EIO);
    }
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

  // Copies a part's bytes into the file of attachments as the line is made: the message and its
  // spool may be gone by the time the archive is written.
  std::string StorePart(const MessagePart& part) {
    if (parts_ == nullptr) parts_ = OpenUnnamedFileBeside(file_.GetFilePath());
    const std::string name = PartFileName(++partCount_, part);
    ByteSource source = part.data->Open();
    std::vector<char> buffer(kChunkBytes);
    uint64_t size = 0;
    while (const size_t got = source(buffer.data(), buffer.size())) {
      if (std::fwrite(buffer.data(), 1, got, parts_) != got) Throw(errno);
      size += got;
    }
    stored_.push_back(Stored{name, partsSize_, size});
    partsSize_ += size;
    return name;
  }

  // The attachments, stored as they are: pictures and videos are compressed already.
  bool AddParts(zip_t* archive) {
    if (parts_ == nullptr) return true;
    if (std::fflush(parts_) != 0) Throw(errno);
    const int fd = fileno(parts_);
    for (const Stored& stored : stored_) {
      zip_error_t error;
      zip_error_init(&error);
      auto* part = new StoredPart(fd, stored.start, stored.size);
      zip_source_t* source = zip_source_function_create(&StoredPart::Callback, part, &error);
      zip_error_fini(&error);
      if (source == nullptr) {
        delete part;
        return false;
      }
      const std::string name = "data/" + stored.name;
      const zip_int64_t index = zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8);
      if (index < 0) {
        zip_source_free(source);
        return false;
      }
      if (zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) != 0) {
        return false;
      }
    }
    return true;
  }

  struct Stored {
    std::string name;
    uint64_t start;
    uint64_t size;
  };

  CFile& file_;
  DeletedAs deletedAs_;
  FILE* lines_ = nullptr;
  FILE* parts_ = nullptr;  // the attachments, one after another
  uint64_t partsSize_ = 0;
  uint64_t partCount_ = 0;
  std::vector<Stored> stored_;
  PartFileNamer namer_ = [this](const MessagePart& part) { return StorePart(part); };
  std::vector<PhoneEntry> entries_list_;
};

}  // namespace

std::unique_ptr<EntrySource> ZipEntries(const std::u16string& path) {
  int code = 0;
  zip_t* archive = zip_open(WideToUtf8(ReadablePath(path)).c_str(), ZIP_RDONLY, &code);
  std::string error;
  if (archive == nullptr) {
    zip_error_t why;
    zip_error_init_with_code(&why, code);
    error = "not a ZIP archive that can be read: " + ZipErrorText(&why);
    zip_error_fini(&why);
  }
  return std::make_unique<ZipSource>(archive, path, error);
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
  return std::make_unique<ZipSource>(archive, u"messages.zip", error);
}

std::unique_ptr<MessageWriter> ZipWriter(CFile& file, DeletedAs deletedAs) {
  return std::make_unique<Writer>(file, deletedAs);
}

}  // namespace larkpost
