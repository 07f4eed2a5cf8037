// Recovering the whole records of a damaged backup file: one whose digest is wrong, that was cut
// short (a crash, a full disk, the partial file a failed backup leaves) or that has damaged
// records in the middle. Store-free; runs on the caller's thread.
//
// Records are read from offset 20 on with the record checker (ReadRecord), whatever the digest
// and the count say. A record that does not pass is skipped: the reader resynchronises at the
// next place where a record that passes begins (a record always begins with the class line
// "IPM.SMStext"). Every record that passes is kept: copied unchanged into a new, valid backup
// file whose count and digest fit what it holds, or handed on as a message for another format.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "message/message_record.h"
#include "message/message_stream.h"
#include "platform/file/file.h"

namespace larkpost {

struct SkippedStretch {
  uint32_t record = 0;     // its number in the damaged file, counting kept and skipped from 1
  uint64_t offset = 0;     // where it begins
  uint64_t length = 0;     // bytes skipped up to the next record kept (or the end)
  std::u16string error;    // why the record there did not pass
};

struct SalvageReport {
  uint32_t kept = 0;
  uint32_t declaredCount = 0;  // what the damaged file's count field says
  bool digestValid = false;    // whether the damaged file's digest matched its length
  bool byRecord = false;       // the damaged file was read as a backup file, record by record
  std::vector<SkippedStretch> skipped;
};

// The records of `damaged` (open for reading) that pass, one at a time, with the stretches
// skipped on the way logged in report().
class BackupFileSalvage {
 public:
  explicit BackupFileSalvage(CFile& damaged) : BackupFileSalvage(damaged, own_) {}
  // Logging into `report`, which must outlive the salvage.
  BackupFileSalvage(CFile& damaged, SalvageReport& report);
  // The next record that passes, where it begins and how many bytes it has; false at the end.
  bool Next(MessageRecord& record, uint64_t& offset, uint64_t& length);
  SalvageReport& report() { return report_; }

 private:
  CFile& damaged_;
  uint64_t length_;
  uint64_t position_;
  uint32_t number_ = 0;  // of the last record looked at, kept or skipped
  SalvageReport own_;
  SalvageReport& report_;
};

// The records of `damaged` that pass as messages, logged into `report` (which must outlive the
// reader), each with its bytes as they are (RecordBytes): a backup file takes them unchanged.
std::unique_ptr<MessageReader> SalvagingBackupReader(std::shared_ptr<CFile> damaged,
                                                     SalvageReport& report);

}  // namespace larkpost
