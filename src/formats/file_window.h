// A window of 64 KiB onto an open file, for scanners that look for byte patterns in files of
// any size and go mostly forward: the window moves to where it is asked to look. Every call
// seeks the file first, so others may read the same CFile in between. Throws CFileException.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CFile;

namespace larkpost {

class FileWindow {
 public:
  explicit FileWindow(CFile& file);

  uint64_t length() const { return length_; }
  // The byte at `offset`, or -1 at or past the end.
  int At(uint64_t offset);
  bool StartsWith(uint64_t offset, std::string_view text);
  // The first offset from `from` on where `text` begins, or length() when there is none.
  uint64_t Find(uint64_t from, std::string_view text);
  // The first offset from `from` on holding one of `bytes`, or length().
  uint64_t FindAny(uint64_t from, std::string_view bytes);
  // The first offset in [from, to) holding a byte other than XML white space, or `to`.
  uint64_t SkipSpace(uint64_t from, uint64_t to);
  // Just after the last byte in [from, to) other than XML white space, or `from`.
  uint64_t SpaceTrimmedEnd(uint64_t from, uint64_t to);
  // Up to `count` bytes from `offset` (fewer at the end).
  std::string Bytes(uint64_t offset, size_t count);
  // The line (from 1) of the byte at `offset`. Cheap for offsets that grow from call to call.
  uint64_t LineAt(uint64_t offset);

 private:
  // Makes the window hold [offset, offset + count), or what the file has of it; a window that
  // holds them already stays where it is.
  void Hold(uint64_t offset, size_t count);
  std::string_view Held(uint64_t offset) const;  // from offset to the window's end

  CFile& file_;
  uint64_t length_;
  uint64_t start_ = 0;
  std::string block_;
  uint64_t linesCountedTo_ = 0;
  uint64_t lines_ = 1;
};

}  // namespace larkpost
