// The backup file container: a 16-byte digest, a 4-byte record count, then one record per
// message, and nothing after the last record (all integers little-endian).
//
//   offset 0   16 bytes  MD5 of the digest text: the file length in decimal + the salt
//   offset 16   4 bytes  record count
//   offset 20            records, back to back (record.h)
//
// The digest detects a file that was cut short or extended, or that this program did not write;
// it does not detect bytes changed in place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "backupfile/record_codec.h"
#include "message/message_record.h"

#include "platform/file/file.h"

namespace larkpost {

// The container's header for a file being written: the record count and zeros where the digest
// goes, so that a file whose writing stops never validates. The records follow.
std::string BackupFileHeader(uint32_t count);
// The header of a complete file of `length` bytes holding `count` records: its digest and count,
// to be written over the first (BackupFileWriter, backup_stream.h).
std::string SealedBackupHeader(uint32_t count, uint64_t length);

// The texts of a backup file's records as the file holds them, not converted (folder paths,
// recipient and sender lines, message texts), each followed by a line feed: what tells its code
// page. Only texts with a byte beyond ASCII are kept (the others read alike in every code page),
// until `keep` bytes are; at most `scan` bytes of texts are looked at. Reads from offset 20 to
// the first broken record or the end; the file stays wherever reading stopped. File errors raise
// CFileException.
std::string CollectRecordTexts(CFile& file, size_t scan, size_t keep);

// The records of a backup file in order, numbered from 1, once its digest has been checked: the
// one reading loop of restore, verify, show and conversions. The file stays the caller's.
class BackupRecords {
 public:
  // Checks the digest (valid() tells) and stands before the first record. Throws
  // CFileException.
  explicit BackupRecords(CFile& file);

  bool valid() const { return valid_; }
  uint32_t count() const { return count_; }   // as the file's header says
  uint32_t number() const { return number_; }  // of the record read last; 0 before the first
  bool AtEnd() const { return !valid_ || number_ >= count_; }

  // Before AtEnd(): the next record's fields, unchecked. False with `error` when the record is
  // broken (the records after it cannot be found again then); false with no error at the end.
  bool NextFields(RecordFields& fields, std::u16string& error);
  // The same for the next record checked as a restore checks it (CheckRecordFields).
  bool Next(MessageRecord& record, std::u16string& error);

 private:
  CFile& file_;
  bool valid_ = false;
  uint32_t count_ = 0;
  uint32_t number_ = 0;
};

// "No.N, " followed by the text: how the error of record N is told everywhere.
std::u16string RecordErrorText(uint64_t number, std::u16string_view text);

// Checks the stored digest against the file's length. On success sets recordCount and leaves the
// file at offset 20, where the first record begins.
bool ValidateBackupFile(CFile& file, uint32_t& recordCount);

}  // namespace larkpost
