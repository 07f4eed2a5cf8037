// An append-only destination of bytes. Every file writer writes through one, so where its bytes
// go (a plain file, a file that is encrypted as it is written) is decided outside the writer.
// A writer whose head can only be completed at the end (a digest or a count known last) patches
// it with Patch, and only within the first kPatchableHead bytes: a sink that transforms what it
// writes keeps that much back until Close. Errors throw CFileException naming the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CFile;

namespace larkpost {

class ByteSink {
 public:
  static constexpr uint64_t kPatchableHead = 64 * 1024;

  virtual ~ByteSink() = default;
  virtual void Write(const void* data, size_t size) = 0;
  // Bytes written so far.
  virtual uint64_t Position() const = 0;
  // Overwrites bytes written before; offset + size must not exceed kPatchableHead nor Position().
  virtual void Patch(uint64_t offset, const void* data, size_t size) = 0;
  // Writes out everything held back (no sync). Nothing may be written after.
  virtual void Close() = 0;
  // After each whole message: a sink that flushes in groups may flush now.
  virtual void MessageWritten() {}
  // The file the bytes go to, for error texts and for scratch files beside it; empty for a sink
  // into memory.
  virtual std::u16string Name() const { return std::u16string(); }
};

// A sink into an open CFile positioned at its start, which it neither syncs nor closes. It
// patches anywhere it wrote (the file seeks), more than writers may ask: wrapping sinks need it.
class CFileSink final : public ByteSink {
 public:
  explicit CFileSink(CFile& file) : file_(file) {}
  void Write(const void* data, size_t size) override;
  uint64_t Position() const override { return position_; }
  void Patch(uint64_t offset, const void* data, size_t size) override;
  void Close() override;
  std::u16string Name() const override;
  CFile& file() { return file_; }

 private:
  CFile& file_;
  uint64_t position_ = 0;
};

}  // namespace larkpost
