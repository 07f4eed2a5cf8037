#include "backupfile/backup_stream.h"

#include <climits>

#include "backupfile/backup_file.h"
#include "backupfile/record_codec.h"
#include "platform/file/byte_sink.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

class Reader : public MessageReader {
 public:
  explicit Reader(const std::u16string& path)
      : file_(path, CFile::modeRead | CFile::shareDenyNone), records_(file_) {
    if (!records_.valid()) error_ = "File Validation Failed.";
  }

  bool Next(MessageRecord& record) override {
    if (!error_.empty() || records_.AtEnd()) return false;
    recordStart_ = file_.GetPosition();
    std::u16string error;
    if (!records_.Next(record, error)) {
      error_ = WideToUtf8(RecordErrorText(records_.number(), error));
      return false;
    }
    ++counts_.entries;
    ++counts_.messages;
    return true;
  }

  bool RecordStart(uint64_t& start) const override {
    start = recordStart_;
    return counts_.messages > 0;
  }

  bool Declared(uint64_t& count) const override {
    count = records_.count();
    return records_.valid();
  }

 private:
  CFile file_;
  BackupRecords records_;
  uint64_t recordStart_ = 0;
};

class Writer : public MessageWriter {
 public:
  Writer(ByteSink& sink, uint32_t expectedCount) : sink_(sink) {
    const std::string header = BackupFileHeader(expectedCount);
    sink_.Write(header.data(), header.size());
  }

  bool Write(const MessageRecord& record, std::string& error) override {
    return PrepareAndWrite(record, error);
  }

  bool Prepare(const MessageRecord& record, PreparedMessage& prepared,
               std::string& error) const override {
    // A record has no place for parts or addresses with roles: written as an SMS, the message
    // would lose its pictures without a word.
    if (record.multimedia) {
      error = "a multimedia message cannot be written into a backup file, which holds SMS only";
      return false;
    }
    // A call would come back as a message without text.
    if (record.kind == EntryKind::kCall) {
      error = "a call cannot be written into a backup file, which holds SMS only";
      return false;
    }
    prepared.replaced = false;
    prepared.bytes = EncodeRecord(record, &prepared.replaced);
    // The text length field and the file layer's write both take 32 bits.
    if (prepared.bytes.size() > UINT32_MAX) return TooLarge(error);
    return true;
  }

  bool PreparesAhead() const override { return true; }

  bool WritePrepared(const PreparedMessage& prepared, std::string& error) override {
    if (entries_ == UINT32_MAX) return TooLarge(error);
    // One write per record, so an interrupted backup never leaves half of one behind a flushed
    // record.
    sink_.Write(prepared.bytes.data(), prepared.bytes.size());
    if (prepared.replaced) ++replaced_;
    ++entries_;
    return true;
  }

  void Finish() override {
    // The count says how many records the file really holds, so a restore reads every one of
    // them and nothing past the last.
    const std::string head = SealedBackupHeader(static_cast<uint32_t>(entries_), sink_.Position());
    sink_.Patch(0, head.data(), head.size());
    sink_.Close();
  }

 private:
  static bool TooLarge(std::string& error) {
    error = "the message is too large for a backup file";
    return false;
  }

  ByteSink& sink_;
};

}  // namespace

std::unique_ptr<MessageReader> BackupFileReader(const std::u16string& path) {
  return std::make_unique<Reader>(path);
}

std::unique_ptr<MessageWriter> BackupFileWriter(ByteSink& sink, uint32_t expectedCount) {
  return std::make_unique<Writer>(sink, expectedCount);
}

}  // namespace larkpost
