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
#include <string>

#include "platform/file/file.h"

namespace larkpost {

struct BackupJob;

// Writes a complete backup file of the job's selected folders into `file` (opened for writing,
// empty). False when the walk fails; file errors raise CFileException. Does not close the file.
bool WriteBackupFile(BackupJob& job, CFile& file);

// Writes the records of every selected standard folder, in walk order and in the job's format,
// at the file's position; what WriteBackupFile writes between its header and its digest, and
// all of a plain-text export. The store is walked on a second thread that encodes each message
// and hands the bytes over (record_pipe.h), so reading the store overlaps with waiting for
// storage; this thread appends each record as it arrives (flushed as RecordFlusher says) and
// counts it in the job. When a stop is requested (RequestStop) it ends after the record in hand
// and returns false.
// Walk order: the standard folders Drafts, Inbox, Outbox, Sent, Deleted; in each, a folder's
// own messages, then its subfolders depth first. A standard folder the store lacks is left out. False when the walk fails (the records before the failure stay written); file
// errors raise CFileException once the walk has stopped.
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

// Checks the stored digest against the file's length. On success sets recordCount and leaves the
// file at offset 20, where the first record begins.
bool ValidateBackupFile(CFile& file, uint32_t& recordCount);

}  // namespace larkpost
