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

#include "jobs/read_window.h"
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
  // Appends the bytes at the end of the file.
  void PutPartBytes(const PartBytes& bytes);

  std::u16string path_;
  std::shared_ptr<FILE> shared_;  // shared with the parts read back
  FILE* file_ = nullptr;
  uint64_t end_ = 0;
  bool writing_ = true;
  std::string buffer_;  // the message Append writes
  // Messages read in the order they were parked, or nearly (a merge reads each input's in time
  // order), come from the window read ahead.
  ReadWindow window_;
};

}  // namespace larkpost
