// A ZIP archive written front to back onto a ByteSink, never going back: every entry's sizes
// and CRC-32 are known before its local header is written (a caller stages what it cannot know
// in advance, see StagedEntry), so no entry carries a data descriptor and a reader that reads
// the archive front to back, as Android's ZipInputStream does, finds every size where it
// looks. ZIP64 fields are written where a size, an offset or the number of entries needs them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "message/multimedia.h"
#include "platform/file/byte_sink.h"

namespace larkpost {

enum class ZipMethod : uint16_t { kStored = 0, kDeflated = 8 };

// An entry's bytes gathered in an unnamed temporary file beside `nearPath` as they come, with
// their CRC-32 and sizes: stored as they are, or deflated on the way in. Throws CFileException
// naming `nearPath`.
class StagedEntry {
 public:
  StagedEntry(const std::u16string& nearPath, ZipMethod method);
  ~StagedEntry();
  StagedEntry(const StagedEntry&) = delete;
  StagedEntry& operator=(const StagedEntry&) = delete;

  void Append(const void* data, size_t size);
  // Ends the bytes (the deflate stream's end) and rewinds the file for reading.
  void Close();
  // The staged bytes from `start`, `packed` of them (what the archive takes in), for reading
  // while the entry lives.
  ByteSource Open(uint64_t start, uint64_t packed) const;

  ZipMethod method() const { return method_; }
  uint32_t crc() const { return crc_; }
  uint64_t size() const { return size_; }      // bytes appended
  uint64_t packed() const { return packed_; }  // bytes in the file

 private:
  void Put(const void* data, size_t size);
  void Deflate(const void* data, size_t size, int flush);
  [[noreturn]] void Fail(int osError) const;

  std::u16string path_;
  ZipMethod method_;
  FILE* file_ = nullptr;
  void* stream_ = nullptr;  // z_stream while deflating
  uint32_t crc_ = 0;
  uint64_t size_ = 0;
  uint64_t packed_ = 0;
};

// The CRC-32 of ZIP archives, carried on from `crc` (0 to start).
uint32_t ZipCrc32(uint32_t crc, const void* data, size_t size);

class ZipArchiveWriter {
 public:
  explicit ZipArchiveWriter(ByteSink& sink);

  // Writes one entry: its local header, then `packed` bytes of `source`, which unpack to `size`
  // bytes of CRC-32 `crc`. Throws CFileException from the sink, or when the source ends early.
  void Add(const std::string& name, ZipMethod method, uint32_t crc, uint64_t size,
           uint64_t packed, const ByteSource& source);
  // The central directory and its end; the sink is not closed.
  void Finish();

 private:
  struct Entry {
    std::string name;
    ZipMethod method;
    uint32_t crc;
    uint64_t size;
    uint64_t packed;
    uint64_t offset;
  };
  ByteSink& sink_;
  std::vector<Entry> entries_;
  uint16_t dosTime_ = 0;
  uint16_t dosDate_ = 0;
};

}  // namespace larkpost
