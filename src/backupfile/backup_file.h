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

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "backupfile/record_codec.h"
#include "message/message_record.h"

#include "platform/file/file.h"

namespace larkpost {

struct BackupJob;
struct SmsMessage;

// Called for each message a backup takes, with the message as a record when the selection had
// to make it (else null); false stops the walk.
using SelectedMessageVisitor = std::function<bool(SmsMessage&, const MessageRecord*)>;

// Walks the job's included standard folders (a standard folder the store lacks is left out) and
// calls `each` for every message its selection takes, counting the others in the job. Walk
// order: the standard folders Drafts, Inbox, Outbox, Sent, Deleted; in each, a folder's own
// messages, then its subfolders depth first. False when the walk fails or `each` does.
bool WalkSelectedMessages(BackupJob& job, const SelectedMessageVisitor& each);

// Writes the container's header at the file's start: the record count and zeros where the digest
// goes, so that a file whose writing stops never validates. The records follow.
void BeginBackupFile(CFile& file, uint32_t count);
// Completes a backup file whose records are all written: the final record count, then the
// digest over the file's length. Leaves the position at the end; does not flush.
void SealBackupFile(CFile& file, uint32_t count);

// Writes a complete backup file of the job's selected folders into `file` (opened for writing,
// empty). False when the walk fails; file errors raise CFileException. Does not close the file.
bool WriteBackupFile(BackupJob& job, CFile& file);

// Writes the records of every selected standard folder, in walk order and in the job's format,
// at the file's position; what WriteBackupFile writes between its header and its digest, and
// all of a plain-text export. The store is walked on a second thread that encodes each message
// and hands the bytes over (record_pipe.h), so reading the store overlaps with waiting for
// storage; this thread appends each record as it arrives (flushed as RecordFlusher says) and
// counts it in the job. When a stop is requested (RequestStop) it ends after the record in hand
// and returns false. Messages come as WalkSelectedMessages hands them out. False when the walk
// fails (the records before the failure stay written); file errors raise CFileException once the
// walk has stopped.
bool WriteSelectedFolders(BackupJob& job, CFile& file);

// When the records of a backup reach storage. The file is written under a partial name and takes
// the target's place only once complete and flushed, so a flush per record protects nothing that
// a flush every kFlushInterval of work does not: a crash loses at most that much of the partial
// file. `eachRecord` (--sync each) flushes after every record, as the handheld did.
class RecordFlusher {
 public:
  static constexpr std::chrono::milliseconds kFlushInterval{200};
  explicit RecordFlusher(bool eachRecord);
  // After a record has been written: flushes when it is time. Raises CFileException.
  void Written(CFile& file);

 private:
  bool eachRecord_;
  std::chrono::steady_clock::time_point lastFlush_;
};

// Appends one encoded record, lets `flusher` flush it, and counts it in the job (in its
// replacedMessages too when `replaced`). File errors raise CFileException.
void AppendRecord(BackupJob& job, CFile& file, const std::string& bytes, bool replaced,
                  RecordFlusher& flusher);

// The texts of a backup file's records as the file holds them, not converted (folder paths,
// recipient and sender lines, message texts), each followed by a line feed, up to `limit` bytes:
// what tells its code page. Reads from offset 20 to the first broken record or the end; the file
// stays wherever reading stopped. File errors raise CFileException.
std::string CollectRecordTexts(CFile& file, size_t limit);

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
