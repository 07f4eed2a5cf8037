#include "formats/zip_writer.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <ctime>
#include <limits>
#include <memory>

#include "formats/message_stream.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "platform/file/memory_files.h"

namespace larkpost {

namespace {

constexpr uint32_t kLocalHeader = 0x04034b50;
constexpr uint32_t kCentralHeader = 0x02014b50;
constexpr uint32_t kEndOfDirectory = 0x06054b50;
constexpr uint32_t kZip64EndOfDirectory = 0x06064b50;
constexpr uint32_t kZip64Locator = 0x07064b50;
constexpr uint16_t kUtf8Names = 0x0800;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint32_t kMax32 = 0xFFFFFFFF;
constexpr uint16_t kMax16 = 0xFFFF;
constexpr uint16_t kMadeByUnix = 3 << 8;
constexpr uint32_t kRegularFileMode = 0100600;  // the archive's entries are private messages
constexpr size_t kChunkBytes = 64 * 1024;

void Put16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}
void Put32(std::string& out, uint32_t value) {
  Put16(out, static_cast<uint16_t>(value & 0xFFFF));
  Put16(out, static_cast<uint16_t>(value >> 16));
}
void Put64(std::string& out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value & kMax32));
  Put32(out, static_cast<uint32_t>(value >> 32));
}
uint32_t Field32(uint64_t value) { return value >= kMax32 ? kMax32 : static_cast<uint32_t>(value); }

}  // namespace

uint32_t ZipCrc32(uint32_t crc, const void* data, size_t size) {
  const auto* bytes = static_cast<const Bytef*>(data);
  while (size > 0) {
    const auto piece = static_cast<uInt>(std::min<size_t>(size, std::numeric_limits<uInt>::max()));
    crc = static_cast<uint32_t>(crc32(crc, bytes, piece));
    bytes += piece;
    size -= piece;
  }
  return crc;
}

StagedEntry::StagedEntry(const std::u16string& nearPath, ZipMethod method)
    : path_(nearPath), method_(method), file_(OpenScratchBeside(nearPath)) {
  if (method_ == ZipMethod::kDeflated) {
    auto* stream = new z_stream{};
    // zlib's default level: the highest is several times slower for a file of many similar
    // lines and gains little. Raw deflate: the archive's own headers frame it.
    if (deflateInit2(stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      delete stream;
      std::fclose(file_);
      throw CFileException(CFileException::genericException, ENOMEM, path_);
    }
    stream_ = stream;
  }
}

StagedEntry::~StagedEntry() {
  if (stream_ != nullptr) {
    deflateEnd(static_cast<z_stream*>(stream_));
    delete static_cast<z_stream*>(stream_);
  }
  if (file_ != nullptr) std::fclose(file_);
}

void StagedEntry::Fail(int osError) const {
  throw CFileException(CFileException::CauseFromErrno(osError), osError, path_);
}

void StagedEntry::Put(const void* data, size_t size) {
  if (size > 0 && std::fwrite(data, 1, size, file_) != size) Fail(errno);
  packed_ += size;
}

void StagedEntry::Deflate(const void* data, size_t size, int flush) {
  auto* stream = static_cast<z_stream*>(stream_);
  unsigned char out[kChunkBytes];
  stream->next_in = static_cast<Bytef*>(const_cast<void*>(data));
  stream->avail_in = static_cast<uInt>(size);
  do {
    stream->next_out = out;
    stream->avail_out = sizeof out;
    const int result = deflate(stream, flush);
    if (result == Z_STREAM_ERROR) Fail(EIO);
    Put(out, sizeof out - stream->avail_out);
  } while (stream->avail_out == 0 || (flush == Z_FINISH && stream->avail_in > 0));
}

void StagedEntry::Append(const void* data, size_t size) {
  crc_ = ZipCrc32(crc_, data, size);
  size_ += size;
  if (method_ == ZipMethod::kStored) {
    Put(data, size);
    return;
  }
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {  // zlib counts input in 32 bits
    const size_t piece = std::min<size_t>(size, size_t{1} << 30);
    Deflate(bytes, piece, Z_NO_FLUSH);
    bytes += piece;
    size -= piece;
  }
}

void StagedEntry::Close() {
  if (stream_ != nullptr) Deflate(nullptr, 0, Z_FINISH);
  if (std::fflush(file_) != 0) Fail(errno);
}

ByteSource StagedEntry::Open(uint64_t start, uint64_t packed) const {
  FILE* file = file_;
  auto at = std::make_shared<uint64_t>(start);
  const uint64_t end = start + packed;
  const std::u16string path = path_;
  return [file, at, end, path](char* buffer, size_t capacity) -> size_t {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(capacity, end - *at));
    if (want == 0) return 0;
    const ssize_t got = ReadScratchAt(file, *at, buffer, want);
    if (got <= 0) {
      const int osError = got < 0 ? errno : EIO;
      throw CFileException(CFileException::CauseFromErrno(osError), osError, path);
    }
    *at += static_cast<uint64_t>(got);
    return static_cast<size_t>(got);
  };
}

ZipArchiveWriter::ZipArchiveWriter(ByteSink& sink) : sink_(sink) {
  const time_t now = std::time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) != nullptr && local.tm_year >= 80) {
    dosTime_ = static_cast<uint16_t>(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
    dosDate_ = static_cast<uint16_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
  } else {
    dosDate_ = 1 << 5 | 1;  // 1980-01-01
  }
}

void ZipArchiveWriter::Add(const std::string& name, ZipMethod method, uint32_t crc, uint64_t size,
                    uint64_t packed, const ByteSource& source) {
  const bool zip64 = size >= kMax32 || packed >= kMax32;
  entries_.push_back(Entry{name, method, crc, size, packed, sink_.Position()});
  std::string header;
  Put32(header, kLocalHeader);
  Put16(header, zip64 ? 45 : 20);
  Put16(header, kUtf8Names);
  Put16(header, static_cast<uint16_t>(method));
  Put16(header, dosTime_);
  Put16(header, dosDate_);
  Put32(header, crc);
  Put32(header, zip64 ? kMax32 : static_cast<uint32_t>(packed));
  Put32(header, zip64 ? kMax32 : static_cast<uint32_t>(size));
  Put16(header, static_cast<uint16_t>(name.size()));
  Put16(header, zip64 ? 20 : 0);
  header += name;
  if (zip64) {
    Put16(header, kZip64ExtraId);
    Put16(header, 16);
    Put64(header, size);
    Put64(header, packed);
  }
  sink_.Write(header.data(), header.size());
  std::vector<char> buffer(kChunkBytes);
  uint64_t left = packed;
  while (left > 0) {
    const size_t got = source(buffer.data(), static_cast<size_t>(std::min<uint64_t>(left, buffer.size())));
    if (got == 0) throw CFileException(CFileException::endOfFile, EIO, Utf8ToWide(name));
    sink_.Write(buffer.data(), got);
    left -= got;
  }
}

void ZipArchiveWriter::Finish() {
  const uint64_t directoryStart = sink_.Position();
  std::string out;
  for (const Entry& entry : entries_) {
    std::string extra;
    if (entry.size >= kMax32) Put64(extra, entry.size);
    if (entry.packed >= kMax32) Put64(extra, entry.packed);
    if (entry.offset >= kMax32) Put64(extra, entry.offset);
    if (!extra.empty()) {
      std::string field;
      Put16(field, kZip64ExtraId);
      Put16(field, static_cast<uint16_t>(extra.size()));
      extra = field + extra;
    }
    const uint16_t version = extra.empty() ? 20 : 45;
    Put32(out, kCentralHeader);
    Put16(out, kMadeByUnix | version);
    Put16(out, version);
    Put16(out, kUtf8Names);
    Put16(out, static_cast<uint16_t>(entry.method));
    Put16(out, dosTime_);
    Put16(out, dosDate_);
    Put32(out, entry.crc);
    Put32(out, Field32(entry.packed));
    Put32(out, Field32(entry.size));
    Put16(out, static_cast<uint16_t>(entry.name.size()));
    Put16(out, static_cast<uint16_t>(extra.size()));
    Put16(out, 0);  // comment
    Put16(out, 0);  // disk
    Put16(out, 0);  // internal attributes
    Put32(out, kRegularFileMode << 16);
    Put32(out, Field32(entry.offset));
    out += entry.name;
    out += extra;
    if (out.size() >= kChunkBytes) {
      sink_.Write(out.data(), out.size());
      out.clear();
    }
  }
  const uint64_t directorySize = sink_.Position() + out.size() - directoryStart;
  const uint64_t count = entries_.size();
  if (count >= kMax16 || directorySize >= kMax32 || directoryStart >= kMax32) {
    const uint64_t recordAt = sink_.Position() + out.size();
    Put32(out, kZip64EndOfDirectory);
    Put64(out, 44);
    Put16(out, kMadeByUnix | 45);
    Put16(out, 45);
    Put32(out, 0);
    Put32(out, 0);
    Put64(out, count);
    Put64(out, count);
    Put64(out, directorySize);
    Put64(out, directoryStart);
    Put32(out, kZip64Locator);
    Put32(out, 0);
    Put64(out, recordAt);
    Put32(out, 1);
  }
  Put32(out, kEndOfDirectory);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, count >= kMax16 ? kMax16 : static_cast<uint16_t>(count));
  Put16(out, count >= kMax16 ? kMax16 : static_cast<uint16_t>(count));
  Put32(out, Field32(directorySize));
  Put32(out, Field32(directoryStart));
  Put16(out, 0);
  sink_.Write(out.data(), out.size());
}

}  // namespace larkpost
