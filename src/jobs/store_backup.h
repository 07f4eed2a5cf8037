// A backup of a store: the store walk that every backup shares (the selected standard folders,
// then their subfolders depth first, through the job's selection) and the writing of `.bak`
// files and text exports from it, with the records grouped into flushes. Other formats take the
// walk's messages through their writers (message_files.h).
#pragma once

#include <chrono>
#include <functional>

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

}  // namespace larkpost
