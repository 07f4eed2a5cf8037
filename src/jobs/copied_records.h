// The records of a backup file read again as the file holds them, by where each begins: a merge
// of backup files into a backup file copies the chosen records from their files instead of
// parking the messages. Records read in nearly the order of the file cost few reads
// (ReadWindow). The file is opened once and kept open; it must not change meanwhile (Unchanged
// tells).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "jobs/read_window.h"
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

  CFile file_;
  std::u16string path_;
  struct stat opened_;
  ReadWindow window_;
};

}  // namespace larkpost
