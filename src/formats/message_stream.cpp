#include "formats/message_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/file/file.h"
#include "platform/time/filetime.h"
#include "platform/file/memory_files.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

class Joined : public MessageReader {
 public:
  explicit Joined(std::unique_ptr<EntrySource> source) : source_(std::move(source)) {}

  bool Next(MessageRecord& record) override {
    if (!error_.empty()) return false;
    PhoneEntry entry;
    while (!ended_) {
      if (!source_->NextEntry(entry, error_)) {
        TakeSkipped();
        if (!error_.empty()) return false;
        ended_ = true;
        break;
      }
      // A call is an entry of the call log, never one of a message.
      if (!entry.whole || entry.whole->kind != EntryKind::kCall) ++counts_.entries;
      const bool completed = joiner_.Add(std::move(entry), record);
      if (joiner_.pendingEntries() > kMaxJoinedEntries) {
        // One message of ever more entries would be held whole, and written as a record no
        // reader takes back.
        error_ = "entry " + std::to_string(counts_.entries) + " would join more than " +
                 std::to_string(kMaxJoinedEntries) +
                 " entries of the same time, text and type into one message";
        return false;
      }
      if (completed) return Yield(record);
      entry = PhoneEntry{};
    }
    return joiner_.Finish(record) && Yield(record);
  }

 private:
  bool Yield(const MessageRecord& record) {
    ++(record.kind == EntryKind::kCall ? counts_.calls : counts_.messages);
    TakeSkipped();
    return true;
  }

  void TakeSkipped() {
    counts_.callsSkipped = source_->callsSkipped;
  }

  std::unique_ptr<EntrySource> source_;
  EntryJoiner joiner_;
  bool ended_ = false;
};

}  // namespace

ByteSource FileByteSource(std::shared_ptr<CFile> file) {
  return [file = std::move(file)](char* buffer, size_t capacity) -> size_t {
    return file->Read(buffer, static_cast<unsigned>(std::min<size_t>(capacity, 1u << 30)));
  };
}

ByteSource BufferByteSource(std::string_view bytes) {
  return [bytes, at = size_t{0}](char* buffer, size_t capacity) mutable -> size_t {
    const size_t count = std::min(capacity, bytes.size() - at);
    std::memcpy(buffer, bytes.data() + at, count);
    at += count;
    return count;
  };
}

ByteSource FileRangeSource(std::shared_ptr<const void> keep, int fd, uint64_t start,
                           uint64_t size, std::u16string path) {
  return [keep = std::move(keep), fd, at = start, end = start + size,
          path = std::move(path)](char* buffer, size_t capacity) mutable -> size_t {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(capacity, end - at));
    if (want == 0) return 0;
    ssize_t got;
    do {
      got = pread(fd, buffer, want, static_cast<off_t>(at));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
      const int osError = got < 0 ? errno : EIO;  // 0: the file lost bytes it was given
      throw CFileException(CFileException::CauseFromErrno(osError), osError, path);
    }
    at += static_cast<uint64_t>(got);
    return static_cast<size_t>(got);
  };
}

ByteSource ScratchRangeSource(std::shared_ptr<const void> keep, FILE* file, uint64_t start,
                              uint64_t size, std::u16string path) {
  return [keep = std::move(keep), file, at = start, end = start + size,
          path = std::move(path)](char* buffer, size_t capacity) mutable -> size_t {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(capacity, end - at));
    if (want == 0) return 0;
    const ssize_t got = ReadScratchAt(file, at, buffer, want);
    if (got <= 0) {
      const int osError = got < 0 ? errno : EIO;  // 0: the file lost bytes it was given
      throw CFileException(CFileException::CauseFromErrno(osError), osError, path);
    }
    at += static_cast<uint64_t>(got);
    return static_cast<size_t>(got);
  };
}

std::unique_ptr<MessageReader> JoinedReader(std::unique_ptr<EntrySource> source) {
  return std::make_unique<Joined>(std::move(source));
}

}  // namespace larkpost
