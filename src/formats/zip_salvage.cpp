// The ZIP half of phone_salvage.h.
//
// A local file header (all numbers little-endian):
//
//   0  "PK\3\4"   4  version   6  flags (bit 0 encrypted, bit 3 sizes after the data)
//   8  method (0 stored, 8 deflated)   10 time   12 date   14 crc-32   18 packed size
//   22 size   26 name length n   28 extra length m   30 name   30+n extra   30+n+m data
//
// With flag bit 3 the sizes and crc are 0 here and follow the data in a descriptor
// (["PK\7\8"] crc packed size, 4 or 8 bytes each); a size of 0xFFFFFFFF is in the extra
// field 0x0001 (ZIP64: size, then packed size, 8 bytes each).
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "formats/file_window.h"
#include "formats/phone_json_line.h"
#include "formats/phone_salvage.h"
#include "platform/file/file.h"

namespace larkpost {

namespace {

constexpr std::string_view kLocalHeader("PK\3\4", 4);
constexpr std::string_view kEntryName = "messages.ndjson";
constexpr size_t kChunkBytes = 64 * 1024;
// As the archive reader judges a ZIP bomb: past 16 MiB, more than 200 times what it packs to.
constexpr uint64_t kBombRatio = 200;
constexpr uint64_t kBombFloor = uint64_t{16} << 20;

uint64_t Little(std::string_view bytes, size_t at, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) {
    value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  }
  return value;
}

struct LocalEntry {
  uint64_t header = 0;  // offset of its local header
  uint64_t data = 0;    // offset of its first data byte
  unsigned flags = 0;
  unsigned method = 0;
  uint32_t crc = 0;
  uint64_t packed = 0;
  uint64_t size = 0;
};

// The local header at `at`, with its name; false when the file has none whole there.
bool ReadLocal(FileWindow& window, uint64_t at, LocalEntry& entry, std::string& name) {
  const std::string fixed = window.Bytes(at, 30);
  if (fixed.size() < 30 || !std::string_view(fixed).starts_with(kLocalHeader)) return false;
  const size_t nameLength = static_cast<size_t>(Little(fixed, 26, 2));
  const size_t extraLength = static_cast<size_t>(Little(fixed, 28, 2));
  name = window.Bytes(at + 30, nameLength);
  if (name.size() != nameLength) return false;
  entry = LocalEntry{};
  entry.header = at;
  entry.data = at + 30 + nameLength + extraLength;
  entry.flags = static_cast<unsigned>(Little(fixed, 6, 2));
  entry.method = static_cast<unsigned>(Little(fixed, 8, 2));
  entry.crc = static_cast<uint32_t>(Little(fixed, 14, 4));
  entry.packed = Little(fixed, 18, 4);
  entry.size = Little(fixed, 22, 4);
  if (entry.packed == 0xFFFFFFFF || entry.size == 0xFFFFFFFF) {
    const std::string extra = window.Bytes(at + 30 + nameLength, extraLength);
    for (size_t field = 0; field + 4 <= extra.size();) {
      const uint64_t id = Little(extra, field, 2);
      const size_t fieldLength = static_cast<size_t>(Little(extra, field + 2, 2));
      if (id == 1 && field + 4 + 16 <= extra.size() && fieldLength >= 16) {
        entry.size = Little(extra, field + 4, 8);
        entry.packed = Little(extra, field + 12, 8);
      }
      field += 4 + fieldLength;
    }
  }
  return true;
}

// The first local header of messages.ndjson, found by its signature wherever it is.
std::optional<LocalEntry> FindEntry(FileWindow& window) {
  for (uint64_t at = window.Find(0, kLocalHeader); at < window.length();
       at = window.Find(at + 1, kLocalHeader)) {
    LocalEntry entry;
    std::string name;
    if (ReadLocal(window, at, entry, name) && name == kEntryName) return entry;
  }
  return std::nullopt;
}

// The bytes of one archived file, read by its local header: stored, or inflated (raw deflate)
// as they are read, straight from the file's descriptor, so that reading them never moves a
// window of the salvage. Throws CFileException (hardIO) where the data is damaged or cut off.
class LocalReading {
 public:
  LocalReading(std::shared_ptr<CFile> file, const LocalEntry& entry, uint64_t fileLength)
      : file_(std::move(file)), entry_(entry), fileLength_(fileLength), at_(entry.data) {
    std::memset(&stream_, 0, sizeof stream_);
    if (entry.method == 8) {
      if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) Fail();
      inflating_ = true;
      in_.resize(kChunkBytes);
    }
  }
  ~LocalReading() {
    if (inflating_) inflateEnd(&stream_);
  }
  LocalReading(const LocalReading&) = delete;
  LocalReading& operator=(const LocalReading&) = delete;

  // Up to `capacity` bytes; 0 at the end of the data.
  size_t Read(char* buffer, size_t capacity) {
    if (ended_ || capacity == 0) return 0;
    if (!inflating_) {  // stored: the header states its size
      const uint64_t end = entry_.data + entry_.packed;
      const size_t want = static_cast<size_t>(std::min<uint64_t>(capacity, end - at_));
      const size_t got = ReadAt(buffer, want);
      if (got < want) Fail();
      at_ += got;
      ended_ = at_ == end;
      return got;
    }
    const uInt room = static_cast<uInt>(std::min<size_t>(capacity, size_t{1} << 30));
    stream_.next_out = reinterpret_cast<Bytef*>(buffer);
    stream_.avail_out = room;
    while (stream_.avail_out == room && !ended_) {
      if (stream_.avail_in == 0) {
        const size_t got = ReadAt(in_.data(), in_.size());
        if (got == 0) Fail();
        at_ += got;
        stream_.next_in = reinterpret_cast<Bytef*>(in_.data());
        stream_.avail_in = static_cast<uInt>(got);
      }
      const int result = inflate(&stream_, Z_NO_FLUSH);
      if (result == Z_STREAM_END) {
        ended_ = true;
        streamEnd_ = entry_.data + stream_.total_in;
      } else if (result != Z_OK && !(result == Z_BUF_ERROR && stream_.avail_in == 0)) {
        Fail();
      }
    }
    return room - stream_.avail_out;
  }
  // Where the data ended in the archive, once Read has returned 0.
  uint64_t end() const { return inflating_ ? streamEnd_ : at_; }

 private:
  size_t ReadAt(char* buffer, size_t count) {
    if (at_ >= fileLength_) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, fileLength_ - at_));
    try {
      return file_->ReadAt(at_, buffer, count);
    } catch (const CFileException&) {
      return 0;  // what cannot be read ends what is salvaged, as the file's end would
    }
  }
  [[noreturn]] void Fail() const {
    throw CFileException(CFileException::hardIO, EIO, file_->GetFilePath());
  }

  std::shared_ptr<CFile> file_;
  LocalEntry entry_;
  uint64_t fileLength_;
  uint64_t at_;  // the archive's next byte to read
  z_stream stream_;
  bool inflating_ = false;
  bool ended_ = false;
  uint64_t streamEnd_ = 0;
  std::vector<char> in_;
};

// An attachment found whole by its local header, read from the archive again each time.
class LocalBytes : public PartBytes {
 public:
  LocalBytes(std::shared_ptr<CFile> file, const LocalEntry& entry, uint64_t size,
             uint64_t fileLength)
      : file_(std::move(file)), entry_(entry), size_(size), fileLength_(fileLength) {}
  uint64_t size() const override { return size_; }
  ByteSource Open() const override {
    auto reading = std::make_shared<LocalReading>(file_, entry_, fileLength_);
    return [reading](char* buffer, size_t capacity) { return reading->Read(buffer, capacity); };
  }

 private:
  std::shared_ptr<CFile> file_;
  LocalEntry entry_;
  uint64_t size_;  // what it was found to unpack to
  uint64_t fileLength_;
};

class ZipSalvage : public EntrySource {
 public:
  ZipSalvage(std::shared_ptr<CFile> file, SalvageLog& log)
      : file_(std::move(file)),
        window_(*file_),
        partWindow_(*file_),
        log_(log),
        in_(kChunkBytes),
        out_(kChunkBytes) {
    std::memset(&stream_, 0, sizeof stream_);
    const std::optional<LocalEntry> found = FindEntry(window_);
    if (!found) {
      error_ = "no local header of messages.ndjson was found: nothing of the messages is left";
      return;
    }
    entry_ = *found;
    if ((entry_.flags & 1) != 0) {
      error_ = "messages.ndjson is encrypted; it cannot be salvaged";
    } else if (entry_.method == 8) {
      if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) error_ = "zlib cannot be set up";
      inflating_ = error_.empty();
    } else if (entry_.method == 0) {
      // Stored: its size is in the header, or else it runs up to the next signature.
      storedEnd_ = (entry_.flags & 8) == 0 ? entry_.data + entry_.packed : StoredEnd();
    } else {
      error_ = "messages.ndjson is packed with method " + std::to_string(entry_.method) +
               ", which only deflate (8) and storing (0) are read of";
    }
    readAt_ = entry_.data;
  }
  ~ZipSalvage() override {
    if (inflating_) inflateEnd(&stream_);
  }
  ZipSalvage(const ZipSalvage&) = delete;
  ZipSalvage& operator=(const ZipSalvage&) = delete;

  bool NextEntry(PhoneEntry& entry, std::string& error) override {
    std::string line;
    uint64_t offset = 0, length = 0;
    bool overlong = false;
    while (error_.empty() && NextLine(line, offset, length, overlong)) {
      const uint64_t number = lineNumber_;
      if (overlong) {
        Skip(number, offset, length,
             "the line is larger than " + std::to_string(kMaxEntryBytes >> 20) +
                 " MiB; no message is that long");
        continue;
      }
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      std::string why;
      entry = PhoneEntry{};
      if (!EntryFromJsonLine(line, entry, partFile_, why) || !EntryWithinLimits(entry, why)) {
        // The last line before the stream broke off is cut off, unless it parsed.
        if (atEnd_ && !whole_) why = "the line is cut off where messages.ndjson breaks off";
        Skip(number, offset, length, why);
        continue;
      }
      ++log_.entriesKept;
      return true;
    }
    error = error_;
    return false;
  }

 private:
  // The next line of messages.ndjson (without its line feed), where it begins, its length and
  // whether it was longer than an entry may be (then `line` is empty). False after the last one.
  bool NextLine(std::string& line, uint64_t& offset, uint64_t& length, bool& overlong) {
    line.clear();
    overlong = false;
    offset = unpacked_ - pending_.size() + pendingAt_;
    length = 0;
    while (true) {
      const size_t feed = pending_.find('\n', pendingAt_);
      const size_t end = feed == std::string::npos ? pending_.size() : feed;
      length += end - pendingAt_;
      if (!overlong) {
        line.append(pending_, pendingAt_, end - pendingAt_);
        if (line.size() > kMaxEntryBytes) {
          overlong = true;
          line.clear();
          line.shrink_to_fit();
        }
      }
      pendingAt_ = end;
      if (feed != std::string::npos) {
        ++pendingAt_;
        break;
      }
      if (!Unpack()) {
        if (length == 0) return false;
        break;
      }
    }
    ++lineNumber_;
    return true;
  }

  // Replaces pending_ with the next unpacked bytes. False at the end of the stream or at its
  // damage (both logged), or on a bomb (error_).
  bool Unpack() {
    pending_.clear();
    pendingAt_ = 0;
    while (pending_.empty() && !finished_) {
      if (inflating_) {
        Inflate();
      } else {
        ReadStored();
      }
    }
    if (!pending_.empty()) {
      crc_ = crc32(crc_, reinterpret_cast<const Bytef*>(pending_.data()),
                   static_cast<uInt>(pending_.size()));
      unpacked_ += pending_.size();
      const uint64_t packed = readAt_ - entry_.data;
      if (unpacked_ > kBombFloor && unpacked_ / kBombRatio > packed) {
        error_ = "messages.ndjson unpacks to more than " + std::to_string(kBombRatio) +
                 " times its packed size; refused as a ZIP bomb";
        return false;
      }
    }
    if (finished_ && whole_ && !crcChecked_) {
      crcChecked_ = true;
      CheckCrc();
    }
    if (pending_.empty()) atEnd_ = true;
    return !pending_.empty();
  }

  void Inflate() {
    // With the output full last time, zlib may hold more of it without further input.
    if (stream_.avail_in == 0 && !outputFull_) {
      const std::string chunk = window_.Bytes(readAt_, kChunkBytes);
      if (chunk.empty()) {
        CutShort(readAt_);
        return;
      }
      in_.assign(chunk.begin(), chunk.end());
      readAt_ += chunk.size();
      stream_.next_in = reinterpret_cast<Bytef*>(in_.data());
      stream_.avail_in = static_cast<uInt>(in_.size());
    }
    stream_.next_out = reinterpret_cast<Bytef*>(out_.data());
    stream_.avail_out = static_cast<uInt>(out_.size());
    const int result = inflate(&stream_, Z_NO_FLUSH);
    const size_t produced = out_.size() - stream_.avail_out;
    outputFull_ = stream_.avail_out == 0;
    pending_.assign(out_.data(), produced);
    const uint64_t consumedTo = entry_.data + stream_.total_in;
    if (result == Z_STREAM_END) {
      finished_ = whole_ = true;
      streamEnd_ = consumedTo;
    } else if ((result != Z_OK && result != Z_BUF_ERROR) ||
               (result == Z_BUF_ERROR && stream_.avail_in > 0 && produced == 0)) {
      Damaged(consumedTo, std::string("the compressed data of messages.ndjson is damaged (") +
                              (stream_.msg != nullptr ? stream_.msg : "zlib error") + ")");
    }
  }

  void ReadStored() {
    if (readAt_ >= storedEnd_) {
      finished_ = whole_ = true;
      streamEnd_ = storedEnd_;
      return;
    }
    pending_ = window_.Bytes(readAt_, static_cast<size_t>(std::min<uint64_t>(kChunkBytes, storedEnd_ - readAt_)));
    if (pending_.empty()) return CutShort(readAt_);
    readAt_ += pending_.size();
  }

  // A stored entry with its sizes after the data ends where the next record of the archive
  // begins.
  uint64_t StoredEnd() {
    uint64_t end = window_.length();
    for (std::string_view signature : {std::string_view("PK\7\10", 4), std::string_view("PK\1\2", 4),
                                       kLocalHeader}) {
      end = std::min(end, window_.Find(entry_.data, signature));
    }
    return end;
  }

  // After the whole stream: its crc against what the archive says.
  void CheckCrc() {
    uint32_t expected = entry_.crc;
    bool known = (entry_.flags & 8) == 0;
    if (!known) {
      std::string descriptor = window_.Bytes(streamEnd_, 8);
      if (descriptor.starts_with(std::string_view("PK\7\10", 4))) descriptor = descriptor.substr(4);
      known = descriptor.size() >= 4;
      if (known) expected = static_cast<uint32_t>(Little(descriptor, 0, 4));
    }
    // A stream that ended properly without a checksum after it (the archive was cut right
    // there) lost nothing.
    if (known && expected != static_cast<uint32_t>(crc_)) {
      log_.Note(
          "the checksum of messages.ndjson does not match its bytes: a line that parsed may hold "
          "damaged text");
    }
  }

  void CutShort(uint64_t at) {
    finished_ = true;
    log_.cutShort = true;
    log_.Note("the archive ends at byte " + std::to_string(at) +
                         ", inside the compressed data of messages.ndjson: the lines after line " +
                         std::to_string(lineNumber_) + " are lost");
  }

  void Damaged(uint64_t at, std::string why) {
    finished_ = true;
    DamagedStretch stretch;
    stretch.entry = lineNumber_ + 1;
    stretch.inArchive = true;
    stretch.offset = at;
    const uint64_t end = (entry_.flags & 8) == 0 && entry_.data + entry_.packed > at
                             ? std::min(entry_.data + entry_.packed, window_.length())
                             : window_.length();
    stretch.length = end > at ? end - at : 0;
    stretch.error = std::move(why) + ": the lines from here on cannot be read";
    log_.Skipped(std::move(stretch));
  }

  // A part's file data/<name>, found by its local header (the central directory may be lost)
  // and unpacked once to see that it is whole. A file that is missing or damaged costs the part
  // its bytes, never the message: the part stays without them and a note says so.
  bool PartFile(const std::string& name, std::shared_ptr<const PartBytes>& bytes, std::string&) {
    const std::string entryName = "data/" + name;
    const uint64_t key = NameKey(entryName);
    IndexParts();
    bytes = nullptr;
    std::string why = "it is not in what is left of the archive";
    for (auto at = std::lower_bound(parts_.begin(), parts_.end(), std::make_pair(key, uint64_t{0}));
         at != parts_.end() && at->first == key; ++at) {
      LocalEntry local;
      std::string found;
      if (!ReadLocal(partWindow_, at->second, local, found) || found != entryName) continue;
      auto known = checked_.find(at->second);
      if (known == checked_.end()) known = checked_.emplace(at->second, Check(local)).first;
      why = known->second.problem;
      if (why.empty()) {
        // Lines may name one file over and over: what they name in all is bounded.
        partBytes_ += known->second.size;
        if (partBytes_ > kBombFloor && partBytes_ / kBombRatio > partWindow_.length()) {
          why = "the attachments named so far unpack to more than " + std::to_string(kBombRatio) +
                " times the size of the archive; refused as a ZIP bomb";
        } else {
          bytes = std::make_shared<LocalBytes>(file_, local, known->second.size,
                                               partWindow_.length());
        }
      }
      break;
    }
    if (bytes == nullptr) {
      log_.Note("line " + std::to_string(lineNumber_) + ": its attachment " + entryName.substr(0, 120) +
           " cannot be had (" + why + "); the message is kept without it");
    }
    return true;
  }

  struct Checked {
    std::string problem;  // empty: whole
    uint64_t size = 0;    // what it unpacks to
  };

  // Unpacks the file once: whole when its data ends properly, to the size and checksum its
  // header (or the descriptor after its data) states.
  Checked Check(const LocalEntry& local) {
    Checked checked;
    if ((local.flags & 1) != 0) {
      checked.problem = "it is encrypted";
    } else if (local.method != 0 && local.method != 8) {
      checked.problem = "it is packed with method " + std::to_string(local.method);
    } else if (local.method == 0 && (local.flags & 8) != 0) {
      checked.problem = "it is stored without its size";
    }
    if (!checked.problem.empty()) return checked;
    const uint64_t limit = std::max(kBombFloor, kBombRatio * partWindow_.length());
    uLong crc = crc32(0, nullptr, 0);
    uint64_t end = 0;
    try {
      LocalReading reading(file_, local, partWindow_.length());
      while (const size_t got = reading.Read(out_.data(), out_.size())) {
        crc = crc32(crc, reinterpret_cast<const Bytef*>(out_.data()), static_cast<uInt>(got));
        checked.size += got;
        if (checked.size > limit) {
          checked.problem = "it unpacks to more than " + std::to_string(kBombRatio) +
                            " times the size of the archive; refused as a ZIP bomb";
          return checked;
        }
      }
      end = reading.end();
    } catch (const CFileException&) {
      checked.problem = "its data is damaged or cut off";
      return checked;
    }
    uint32_t expectedCrc = local.crc;
    bool sizeMatches = local.size == checked.size;
    if ((local.flags & 8) != 0) {
      // After the data: [signature] crc, then the packed size and the size, 4 or 8 bytes each.
      std::string descriptor = partWindow_.Bytes(end, 28);
      if (std::string_view(descriptor).starts_with(std::string_view("PK\7\10", 4))) {
        descriptor.erase(0, 4);
      }
      if (descriptor.size() < 12) {
        checked.problem = "the archive ends before its checksum";
        return checked;
      }
      expectedCrc = static_cast<uint32_t>(Little(descriptor, 0, 4));
      sizeMatches = Little(descriptor, 8, 4) == (checked.size & 0xFFFFFFFF) ||
                    (descriptor.size() >= 20 && Little(descriptor, 12, 8) == checked.size);
    }
    if (!sizeMatches) {
      checked.problem = "it unpacks to " + std::to_string(checked.size) +
                        " bytes, not the size the archive states";
    } else if (expectedCrc != static_cast<uint32_t>(crc)) {
      checked.problem = "its checksum does not match its bytes";
    }
    return checked;
  }

  // Where the archive's data/ files are, by a key of their names: found in one pass over the
  // archive on the first line that names one. 16 bytes a file.
  void IndexParts() {
    if (indexed_) return;
    indexed_ = true;
    for (uint64_t at = partWindow_.Find(0, kLocalHeader); at < partWindow_.length();
         at = partWindow_.Find(at + 1, kLocalHeader)) {
      LocalEntry local;
      std::string name;
      if (ReadLocal(partWindow_, at, local, name) && name.starts_with("data/")) {
        parts_.emplace_back(NameKey(name), at);
      }
    }
    std::sort(parts_.begin(), parts_.end());
  }

  static uint64_t NameKey(const std::string& name) {
    uint64_t hash = 1469598103934665603u;  // FNV-1a
    for (const unsigned char c : name) hash = (hash ^ c) * 1099511628211u;
    return hash;
  }

  void Skip(uint64_t number, uint64_t offset, uint64_t length, std::string why) {
    DamagedStretch stretch;
    stretch.entry = number;
    stretch.offset = offset;
    stretch.length = length;
    stretch.error = std::move(why);
    log_.Skipped(std::move(stretch));
  }

  std::shared_ptr<CFile> file_;
  FileWindow window_;
  FileWindow partWindow_;  // the attachments' own, so that the lines' window stays put
  SalvageLog& log_;
  PartFileLookup partFile_ = [this](const std::string& name,
                                    std::shared_ptr<const PartBytes>& bytes, std::string& error) {
    return PartFile(name, bytes, error);
  };
  bool indexed_ = false;
  std::vector<std::pair<uint64_t, uint64_t>> parts_;  // name key, local header
  std::unordered_map<uint64_t, Checked> checked_;     // by local header
  uint64_t partBytes_ = 0;  // what the attachments handed out unpack to
  std::string error_;
  LocalEntry entry_;
  z_stream stream_;
  bool inflating_ = false;
  bool outputFull_ = false;  // the last inflate filled the whole output buffer
  uint64_t storedEnd_ = 0;
  uint64_t readAt_ = 0;      // the archive's next byte to read
  std::vector<char> in_, out_;
  std::string pending_;      // unpacked bytes not yet split into lines
  size_t pendingAt_ = 0;
  uint64_t unpacked_ = 0;    // bytes of messages.ndjson unpacked so far
  uLong crc_ = crc32(0, nullptr, 0);
  uint64_t lineNumber_ = 0;
  bool finished_ = false;    // the stream ended, broke off or is damaged: nothing more comes
  bool atEnd_ = false;       // everything unpacked was split into lines
  bool whole_ = false;       // the stream reached its proper end
  uint64_t streamEnd_ = 0;   // where it ended in the archive (a descriptor may follow)
  bool crcChecked_ = false;
};

}  // namespace

std::unique_ptr<EntrySource> SalvagedZipEntries(std::shared_ptr<CFile> file, SalvageLog& log) {
  return std::make_unique<ZipSalvage>(std::move(file), log);
}

}  // namespace larkpost
