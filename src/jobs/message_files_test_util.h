// Files that hold given messages, for tests of the runs and commands over multimedia messages
// and call entries: while a ScopedFileMessages lives, every reader opened for one of its paths
// (OpenMessageReader) yields its messages and then its call entries (incoming calls a second
// apart from +15550001111 on, one number each), as a phone reader does.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "formats/message_stream.h"
#include "jobs/message_files.h"
#include "message/multimedia_test_util.h"
#include "platform/text/text.h"
#include "platform/time/filetime.h"

namespace larkpost::testing {

struct FileMessages {
  std::vector<MessageRecord> messages;
  uint64_t calls = 0;  // <call> entries of the file
};

class RecordsReader : public MessageReader {
 public:
  explicit RecordsReader(FileMessages contents) : contents_(std::move(contents)) {}
  bool Next(MessageRecord& record) override {
    if (next_ == contents_.messages.size()) {
      if (counts_.calls == contents_.calls) return false;
      record = IncomingCall(counts_.calls++);
      return true;
    }
    record = contents_.messages[next_++];
    ++counts_.entries;
    ++counts_.messages;
    return true;
  }

 private:
  FileMessages contents_;
  size_t next_ = 0;
};

class ScopedFileMessages {
 public:
  explicit ScopedFileMessages(std::map<std::u16string, FileMessages> files) {
    OverrideMessageReaders(
        [files = std::move(files)](const std::u16string& path) -> std::unique_ptr<MessageReader> {
          const auto found = files.find(path);
          if (found == files.end()) return nullptr;
          return std::make_unique<RecordsReader>(found->second);
        });
  }
  ~ScopedFileMessages() { OverrideMessageReaders(nullptr); }
  ScopedFileMessages(const ScopedFileMessages&) = delete;
  ScopedFileMessages& operator=(const ScopedFileMessages&) = delete;
};

}  // namespace larkpost::testing
