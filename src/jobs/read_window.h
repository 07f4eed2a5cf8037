// Bytes of an open file read through a window read ahead, for a scratch or input file read back
// by position: positions that follow each other, or nearly, cost few reads. The window grows to
// twice its length each time the next position follows it, up to 256 KiB; a read elsewhere
// costs one of 1 KiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

class CFile;

namespace larkpost {

class ReadWindow {
 public:
  // Reads a scratch file (not owned) by position (memory_files.h: ReadScratchAt); a read error
  // throws CFileException naming `path`.
  ReadWindow(FILE* scratch, std::u16string path) : scratch_(scratch), path_(std::move(path)) {}
  // Reads an input opened as a CFile (not owned), through what it reads (input_view.h).
  explicit ReadWindow(CFile& file) : file_(&file) {}

  // The file's bytes from `position` on: at least `count` of them, fewer only where the file
  // ends first, and as many more as the window holds. Valid until the next call.
  std::string_view At(uint64_t position, size_t count);
  // Forgets what was read, for a file written to since.
  void Forget() { bytes_.clear(); }

 private:
  FILE* scratch_ = nullptr;
  CFile* file_ = nullptr;
  std::u16string path_;
  std::string bytes_;  // the file's bytes from start_ on
  uint64_t start_ = 0;
  size_t readAhead_ = 0;
};

}  // namespace larkpost
