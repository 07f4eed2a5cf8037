#include "backupfile/salvage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "backupfile/backup_file.h"
#include "backupfile/backup_stream.h"
#include "backupfile/digest.h"
#include "message/message_record.h"
#include "backupfile/record.h"

namespace larkpost {

namespace {

constexpr uint64_t kHeaderSize = 20;
constexpr int64_t kCountOffset = 16;  // the header's record count, after the digest
constexpr std::string_view kRecordStart = "IPM.SMStext\n";


// The first offset at or after `from` where the class line of a record begins, or the file's
// length when there is none. Reads in blocks; a class line split between two blocks is found.
uint64_t FindRecordStart(CFile& file, uint64_t from) {
  const uint64_t length = file.GetLength();
  std::string block;
  constexpr size_t kBlock = 1 << 16;
  while (from < length) {
    file.Seek(static_cast<int64_t>(from), CFile::begin);
    block.resize(kBlock);
    unsigned got = 0;
    while (got < kBlock) {
      const unsigned read = file.Read(block.data() + got, static_cast<unsigned>(kBlock - got));
      if (read == 0) break;
      got += read;
    }
    block.resize(got);
    const size_t at = block.find(kRecordStart);
    if (at != std::string::npos) return from + at;
    if (got < kRecordStart.size()) break;
    from += got - (kRecordStart.size() - 1);
  }
  return length;
}

std::string ReadBytes(CFile& from, uint64_t offset, uint64_t length) {
  from.Seek(static_cast<int64_t>(offset), CFile::begin);
  std::string bytes(length, '\0');
  size_t got = 0;
  while (got < length) {
    const unsigned chunk = static_cast<unsigned>(std::min<uint64_t>(length - got, 1u << 30));
    const unsigned read = from.Read(bytes.data() + got, chunk);
    if (read == 0) break;
    got += read;
  }
  bytes.resize(got);
  return bytes;
}

}  // namespace

BackupFileSalvage::BackupFileSalvage(CFile& damaged, SalvageReport& report)
    : damaged_(damaged), length_(damaged.GetLength()), position_(kHeaderSize), report_(report) {
  report_ = SalvageReport{};
  uint32_t count = 0;
  report_.digestValid = ValidateBackupFile(damaged_, count);
  report_.byRecord = true;
  if (length_ >= kHeaderSize) {
    unsigned char bytes[4] = {};
    damaged_.Seek(kCountOffset, CFile::begin);
    damaged_.Read(bytes, 4);
    report_.declaredCount = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                            static_cast<uint32_t>(bytes[2]) << 16 |
                            static_cast<uint32_t>(bytes[3]) << 24;
  }
}

bool BackupFileSalvage::Next(MessageRecord& record, uint64_t& offset, uint64_t& length) {
  while (position_ < length_) {
    const uint32_t number = ++number_;
    damaged_.Seek(static_cast<int64_t>(position_), CFile::begin);
    std::u16string error;
    record = MessageRecord{};
    if (ReadRecord(damaged_, record, error)) {
      offset = position_;
      position_ = damaged_.GetPosition();
      length = position_ - offset;
      ++report_.kept;
      return true;
    }
    // Resynchronise: the next class line from which a whole record passes.
    SkippedStretch skipped{number, position_, 0, error};
    uint64_t next = position_;
    for (;;) {
      next = FindRecordStart(damaged_, next + 1);
      if (next >= length_) break;
      damaged_.Seek(static_cast<int64_t>(next), CFile::begin);
      MessageRecord ignored;
      std::u16string why;
      if (ReadRecord(damaged_, ignored, why)) break;
    }
    skipped.length = next - position_;
    report_.skipped.push_back(std::move(skipped));
    position_ = next;
  }
  return false;
}

namespace {

class SalvagingReader : public MessageReader {
 public:
  SalvagingReader(std::shared_ptr<CFile> damaged, SalvageReport& report)
      : damaged_(std::move(damaged)), salvage_(*damaged_, report) {}

  bool Next(MessageRecord& record) override {
    if (!salvage_.Next(record, offset_, length_)) return false;
    ++counts_.entries;
    ++counts_.messages;
    return true;
  }

  bool RecordBytes(std::string& bytes) override {
    bytes = ReadBytes(*damaged_, offset_, length_);
    return true;
  }

 private:
  std::shared_ptr<CFile> damaged_;
  BackupFileSalvage salvage_;
  uint64_t offset_ = 0;
  uint64_t length_ = 0;
};

}  // namespace

std::unique_ptr<MessageReader> SalvagingBackupReader(std::shared_ptr<CFile> damaged,
                                                     SalvageReport& report) {
  return std::make_unique<SalvagingReader>(std::move(damaged), report);
}

}  // namespace larkpost
