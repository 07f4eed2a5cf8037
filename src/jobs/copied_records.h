// The records of a backup file read again as the file holds them, by where each begins: a merge
// of backup files into a backup file copies the chosen records from their files instead of
// parking the messages. Reads go through a window read ahead, twice as long each time the next
// record follows it, so records read in nearly the order of the file cost few reads. The file
// is opened once and kept open; it must not change meanwhile (Unchanged tells).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "message/message_record.h"
#include "platform/file/file.h"

namespace larkpost {

class CopiedRecords {
 public:
  // Throws CFileException naming `path`.
  explicit CopiedRecords(const std::u16string& path);

  // False when the file was written to since it was opened here.
  bool Unchanged() const;
  // The bytes of the record that begins at `start`. Throws CFileException (EIO where no whole
  // record begins there).
  void Bytes(uint64_t start, std::string& bytes);
  // The message of that record, as a reader of the file makes it. Throws CFileException.
  void Message(uint64_t start, MessageRecord& message);

 private:
  struct stat Stat() const;
  [[noreturn]] void Fail(int osError) const;
  // The window: up to `size` bytes of the file from `start` on.
  void Fill(uint64_t start, size_t size);

  CFile file_;
  std::u16string path_;
  struct stat opened_;
  std::string window_;
  uint64_t windowStart_ = 0;
  size_t readAhead_ = 0;
  bool atEnd_ = false;
};

}  // namespace larkpost
