// Messages parked in a scratch file and read back by position, whole and exactly (UTF-16 text,
// every field, a multimedia message's parts with their bytes), so a run can keep a few bytes per
// message in memory instead of the message. The file has no name (OpenUnnamedFileBeside) and
// goes when the spool and the last part read from it do: a part's bytes are streamed into the
// file and read back from it, never held whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "message/message_record.h"

namespace larkpost {

class MessageSpool {
 public:
  // A spool in the folder of `path`. Throws CFileException naming `path`.
  explicit MessageSpool(const std::u16string& path);
  ~MessageSpool();
  MessageSpool(const MessageSpool&) = delete;
  MessageSpool& operator=(const MessageSpool&) = delete;

  // Parks the message; returns its position and sets `contentHash` to a hash of everything it
  // holds. Throws CFileException (a full disk) naming the path.
  uint64_t Append(const MessageRecord& message, uint64_t& contentHash);
  // The message parked at `position`. Throws CFileException on a read error.
  void Read(uint64_t position, MessageRecord& message);

 private:
  void Fail(int osError);
  // Reads `count` bytes at `position` of the file into buffer_ from `into` on.
  void ReadAt(uint64_t position, size_t count, size_t into = 0);
  // Appends the bytes at the end of the file.
  void PutPartBytes(const PartBytes& bytes);

  std::u16string path_;
  std::shared_ptr<FILE> shared_;  // shared with the parts read back
  FILE* file_ = nullptr;
  uint64_t end_ = 0;
  bool writing_ = true;
  // Bytes of the file from windowStart_ on, read ahead (Read); Append also writes from here.
  std::string buffer_;
  uint64_t windowStart_ = 0;
  size_t windowSize_ = 0;
  size_t readAhead_ = 0;
};

}  // namespace larkpost
