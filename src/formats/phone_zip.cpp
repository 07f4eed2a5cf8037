#include "formats/phone_zip.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>
#include <cstdio>
#include <cstring>
#include <exception>
#include <unordered_set>
#include <vector>

#include "formats/phone_json_line.h"
#include "formats/zip_writer.h"
#include "platform/file/byte_sink.h"
#include "platform/file/file.h"
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
  Archive(zip_t* archive, std::u16string path, uint64_t size)
      : zip(archive), path(std::move(path)), size(size) {}
  ~Archive() {
    if (zip != nullptr) zip_discard(zip);
  }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;
  zip_t* zip;
  std::u16string path;  // for errors; empty for an archive in memory
  uint64_t size;        // of the whole archive, in bytes
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
  ZipSource(zip_t* archive, std::u16string path, uint64_t size, std::string openError)
      : archive_(std::make_shared<Archive>(archive, std::move(path), size)),
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
    index_ = static_cast<zip_uint64_t>(index);
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
      if (!EntryFromJsonLine(line, entry, lookup_, why, owner_)) {
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

  // The owner's numbers, which a received multimedia line's parties are listed without: from a
  // first pass over messages.ndjson, made when such a line first needs them (a file of text
  // messages alone never makes it). What cannot be
  // read there is the error of the line that reaches it in the reading proper.
  const std::unordered_set<std::u16string>& Owner() {
    if (ownerFound_) return ownerFinder_.numbers();
    ownerFound_ = true;
    zip_file_t* file = zip_fopen_index(archive_->zip, index_, 0);
    if (file == nullptr) return ownerFinder_.numbers();
    std::vector<char> chunk(kChunkBytes);
    std::string line;
    uint64_t unpacked = 0;
    bool overlong = false;
    while (true) {
      const zip_int64_t got = zip_fread(file, chunk.data(), chunk.size());
      if (got <= 0 || (unpacked += static_cast<uint64_t>(got)) > declared_) break;
      for (const char c : std::string_view(chunk.data(), static_cast<size_t>(got))) {
        if (c == '\n') {
          if (!overlong) ownerFinder_.Take(line);
          line.clear();
          overlong = false;
        } else if (line.size() < kMaxEntryBytes) {
          line.push_back(c);
        } else {
          overlong = true;
        }
      }
    }
    if (!overlong) ownerFinder_.Take(line);
    zip_fclose(file);
    return ownerFinder_.numbers();
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
    // Lines may name one file over and over, and each names all its bytes again: what the
    // whole archive unpacks to is bounded, not each file alone.
    attachmentBytes_ += stat.size;
    if (IsBombSize(attachmentBytes_, archive_->size)) {
      error = "its file " + entryName.substr(0, 120) + " brings the attachments named so far to "
              "more than " + std::to_string(kBombRatio) + " times the size of the whole ZIP (" +
              std::to_string(archive_->size) + " bytes); refused as a ZIP bomb";
      return false;
    }
    if (!Whole(static_cast<zip_uint64_t>(index), stat.size, entryName, error)) return false;
    bytes = std::make_shared<ArchivedBytes>(archive_, static_cast<zip_uint64_t>(index), stat.size);
    return true;
  }

  // True when the file `index` unpacks to `size` bytes that match its checksum; read once per
  // file however many lines name it. A damaged file is an error of the line that names it, the
  // same for a check of the archive as for a conversion, and not an error of the disk later.
  bool Whole(zip_uint64_t index, uint64_t size, const std::string& entryName, std::string& error) {
    if (whole_.count(index) != 0) return true;
    std::string why;
    zip_file_t* file = zip_fopen_index(archive_->zip, index, 0);
    if (file == nullptr) {
      why = zip_strerror(archive_->zip);
    } else {
      uint64_t unpacked = 0;
      while (true) {
        const zip_int64_t got = zip_fread(file, chunk_.data(), chunk_.size());
        if (got < 0) {
          why = zip_file_strerror(file);
          break;
        }
        if (got == 0) break;
        unpacked += static_cast<uint64_t>(got);
        if (unpacked > size) break;
      }
      zip_fclose(file);
      if (why.empty() && unpacked != size) {
        why = "it unpacks to " + std::string(unpacked > size ? "more" : "fewer") + " than the " +
              std::to_string(size) + " bytes the archive states";
      }
    }
    if (!why.empty()) {
      error = "its file " + entryName.substr(0, 120) + " is damaged (" + why + ")";
      return false;
    }
    whole_.insert(index);
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
  OwnerLookup owner_ = [this]() -> const std::unordered_set<std::u16string>& { return Owner(); };
  OwnerFinder ownerFinder_;
  bool ownerFound_ = false;
  zip_uint64_t index_ = 0;  // of messages.ndjson
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
  uint64_t attachmentBytes_ = 0;  // the unpacked sizes of the attachments named so far
  std::unordered_set<zip_uint64_t> whole_;  // the files found whole
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

bool HasAnyAddress(const Multimedia& multimedia) {
  return std::any_of(multimedia.addresses.begin(), multimedia.addresses.end(),
                     [](const MmsAddress& address) { return !address.address.empty(); });
}

// The app reads the archive front to back and takes only the attachments that follow
// messages.ndjson: the lines go first, deflated as they come, then each attachment once, stored
// as it is (pictures and videos are compressed already), in the order the lines name them.
class Writer : public MessageWriter {
 public:
  Writer(ByteSink& sink, DeletedAs deletedAs)
      : sink_(sink), deletedAs_(deletedAs), lines_(sink.Name(), ZipMethod::kDeflated) {}

  bool Write(const MessageRecord& record, std::string& error) override {
    // The app keeps its calls in a call log of their own (phone_calls.h), never among messages.
    if (record.kind == EntryKind::kCall) {
      error = "a call cannot be written into messages.ndjson; the app keeps calls in its call log";
      return false;
    }
    own_.Learn(record);
    if (!EntriesOf(record, deletedAs_, entries_list_, error, own_)) return false;
    // The app files a multimedia message under the conversation of its addresses, and its
    // import ends at one without any.
    if (record.multimedia && !HasAnyAddress(*record.multimedia)) {
      LeaveOutUnaddressed(record);
      return true;
    }
    for (const PhoneEntry& entry : entries_list_) {
      std::string line = JsonLineOf(entry, namer_);
      line.push_back('\n');
      lines_.Append(line.data(), line.size());
      ++entries_;
    }
    return true;
  }

  void Finish() override {
    lines_.Close();
    ZipArchiveWriter archive(sink_);
    archive.Add(kEntryName, ZipMethod::kDeflated, lines_.crc(), lines_.size(), lines_.packed(),
                lines_.Open(0, lines_.packed()));
    if (parts_) {
      parts_->Close();
      for (const Stored& stored : stored_) {
        archive.Add("data/" + stored.name, ZipMethod::kStored, stored.crc, stored.size, stored.size,
                    parts_->Open(stored.start, stored.size));
      }
    }
    archive.Finish();
    sink_.Close();
  }

 private:
  // Copies a part's bytes into the file of attachments as the line is made: the message and its
  // spool may be gone by the time the archive is written.
  std::string StorePart(const MessagePart& part) {
    if (!parts_) parts_.emplace(sink_.Name(), ZipMethod::kStored);
    const std::string name = PartFileName(++partCount_, part);
    const uint64_t start = parts_->size();
    ByteSource source = part.data->Open();
    std::vector<char> buffer(kChunkBytes);
    uint32_t crc = 0;
    while (const size_t got = source(buffer.data(), buffer.size())) {
      parts_->Append(buffer.data(), got);
      crc = ZipCrc32(crc, buffer.data(), got);
    }
    stored_.push_back(Stored{name, start, parts_->size() - start, crc});
    return name;
  }

  struct Stored {
    std::string name;
    uint64_t start;
    uint64_t size;
    uint32_t crc;
  };

  ByteSink& sink_;
  DeletedAs deletedAs_;
  OwnNumbers own_;  // learned from the messages written so far
  StagedEntry lines_;
  std::optional<StagedEntry> parts_;  // the attachments, one after another
  uint64_t partCount_ = 0;
  std::vector<Stored> stored_;
  PartFileNamer namer_ = [this](const MessagePart& part) { return StorePart(part); };
  std::vector<PhoneEntry> entries_list_;
};

}  // namespace

namespace {

// libzip reads the archive through a CFile, the one way inputs are opened: an encrypted input is
// then read through its decrypting view (platform/file/input_view.h).
struct CFileZipReader {
  CFile file;
  uint64_t at = 0;
  zip_error_t error;
};

zip_int64_t ReadThroughCFile(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* reader = static_cast<CFileZipReader*>(state);
  if (command == ZIP_SOURCE_FREE) {
    zip_error_fini(&reader->error);
    delete reader;
    return 0;
  }
  try {
    switch (command) {
      case ZIP_SOURCE_OPEN:
        reader->at = 0;
        return 0;
      case ZIP_SOURCE_READ: {
        const size_t got = reader->file.ReadAt(reader->at, data, static_cast<size_t>(length));
        reader->at += got;
        return static_cast<zip_int64_t>(got);
      }
      case ZIP_SOURCE_CLOSE:
        return 0;
      case ZIP_SOURCE_STAT: {
        auto* stat = static_cast<zip_stat_t*>(data);
        zip_stat_init(stat);
        stat->size = reader->file.GetLength();
        stat->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&reader->error, data, length);
      case ZIP_SOURCE_SEEK: {
        const zip_int64_t to = zip_source_seek_compute_offset(
            reader->at, reader->file.GetLength(), data, length, &reader->error);
        if (to < 0) return -1;
        reader->at = static_cast<uint64_t>(to);
        return 0;
      }
      case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(reader->at);
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                              ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                                              ZIP_SOURCE_SUPPORTS, -1);
      default:
        zip_error_set(&reader->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  } catch (const CFileException& failure) {
    zip_error_set(&reader->error, ZIP_ER_READ, failure.m_lOsError);
    return -1;
  }
}

}  // namespace

std::unique_ptr<EntrySource> ZipEntries(const std::u16string& path) {
  int code = 0;
  zip_t* archive = nullptr;
  uint64_t size = 0;
  auto reader = std::make_unique<CFileZipReader>();
  CFileException openError;
  if (reader->file.Open(path, CFile::modeRead | CFile::shareDenyNone, &openError)) {
    size = reader->file.GetLength();
    zip_error_init(&reader->error);
    zip_error_t why;
    zip_error_init(&why);
    if (zip_source_t* source = zip_source_function_create(ReadThroughCFile, reader.get(), &why)) {
      reader.release();  // the source frees it
      archive = zip_open_from_source(source, ZIP_RDONLY, &why);
      if (archive == nullptr) zip_source_free(source);
    }
    code = zip_error_code_zip(&why);
    zip_error_fini(&why);
  } else {
    code = openError.m_lOsError == ENOENT ? ZIP_ER_NOENT : ZIP_ER_OPEN;
  }
  std::string error;
  if (archive == nullptr) {
    zip_error_t why;
    zip_error_init_with_code(&why, code);
    error = "not a ZIP archive that can be read: " + ZipErrorText(&why);
    zip_error_fini(&why);
  }
  return std::make_unique<ZipSource>(archive, path, size, error);
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
  return std::make_unique<ZipSource>(archive, u"messages.zip", bytes.size(), error);
}

std::unique_ptr<MessageWriter> ZipWriter(ByteSink& sink, DeletedAs deletedAs) {
  return std::make_unique<Writer>(sink, deletedAs);
}

}  // namespace larkpost
