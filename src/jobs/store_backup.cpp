#include "jobs/store_backup.h"

#include <cerrno>
#include <exception>
#include <limits>
#include <thread>
#include <utility>

#include "backupfile/backup_file.h"
#include "backupfile/record_codec.h"
#include "jobs/job_records.h"
#include "jobs/record_pipe.h"
#include "jobs/text_export.h"
#include "message/folder_path.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

namespace {

constexpr int kCursorBatchSize = 10;

void FlushOrThrow(CFile& file) {
  if (!FlushFileBuffers(file)) {
    const int osError = errno;
    throw CFileException(CFileException::CauseFromErrno(osError), osError, file.GetFilePath());
  }
}

// Records held between the store walk and the writer: enough to ride out a slow flush, small
// whatever the store holds.
constexpr size_t kPipeBytes = size_t{4} << 20;

// Encodes the message in the job's format; `value` is the message as a record when the walk has
// made it already.
bool EncodeForFormat(const BackupJob& job, SmsMessage& message, const MessageRecord* value,
                     EncodedRecord& record) {
  if (job.format != FileKind::kBackup) {
    return EncodeTextRecord(message, record.bytes, &record.replaced);
  }
  MessageRecord made;
  // A message whose recipients cannot be read would lose them silently; the walk fails instead.
  if (value == nullptr && !RecordFromMessage(message, made)) return false;
  record.bytes = EncodeRecord(value != nullptr ? *value : made, &record.replaced);
  // The text length field and the file layer's write both take 32 bits.
  return record.bytes.size() <= std::numeric_limits<uint32_t>::max();
}

// Calls `each` for every message of the folder's tree in walk order: a folder's own messages,
// then its subfolders' depth first. Folders the store cannot open, list or read are left out
// (the store counts them in the session's unreadableFolders, once each). False at the first
// failure. A folder deeper than a record's folder path may be (kMaxFolderDepth) is left out and
// counted with them: a record of it would be refused by every reader ("Folder path too deep
// error!"), so a backup holding it could not be restored.
bool ForEachMessage(SmsFolder& folder, const std::function<bool(SmsMessage&)>& each) {
  return WalkFolderTree(folder, [&each](SmsFolder& visited, size_t depth) {
    if (depth > kMaxFolderDepth) {
      if (visited.session != nullptr) ++visited.session->unreadableFolders;
      return true;
    }
    if (!visited.folder) return true;
    if (MessageCursor* cursor = visited.Cursor(kCursorBatchSize)) {
      if (!cursor->Rewind()) return false;
      while (cursor->Next()) {
        if (!each(*cursor->current)) return false;
      }
    }
    return true;
  });
}

// The reader's side of WriteSelectedFolders: walks the selected messages and pushes each encoded
// one; false when the walk or an encoding fails, or the writer stopped.
bool WalkIntoPipe(BackupJob& job, RecordPipe& pipe) {
  return WalkSelectedMessages(job, [&job, &pipe](SmsMessage& message, const MessageRecord* value) {
    EncodedRecord record;
    return EncodeForFormat(job, message, value, record) && pipe.Push(std::move(record));
  });
}

}  // namespace

bool WalkSelectedMessages(BackupJob& job, const SelectedMessageVisitor& each) {
  const bool looksAtMessages = job.selection.LooksAtMessages();
  for (const FolderNames& names : kFolderNames) {
    if (!job.Includes(names.kind)) continue;
    SmsFolder* folder = job.session.StandardFolder(names.kind);
    if (folder == nullptr) continue;
    const bool walked = ForEachMessage(*folder, [&](SmsMessage& message) {
      // No reader takes a longer text back: a file holding it could not be restored, so the
      // message is left out and counted like a message that cannot be read.
      if (message.text.size() > kMaxTextChars) {
        ++job.session.unreadableMessages;
        return true;
      }
      if (!looksAtMessages) return each(message, nullptr);
      MessageRecord value;
      if (!RecordFromMessage(message, value)) return false;
      if (!job.selection.Selects(names.kind, value)) {
        job.MessageLeftOut();
        return true;
      }
      return each(message, &value);
    });
    if (!walked) return false;
  }
  return true;
}

bool WriteBackupFile(BackupJob& job, CFile& file) {
  const uint32_t writtenBefore = job.written;
  BeginBackupFile(file, static_cast<uint32_t>(job.total));
  if (!WriteSelectedFolders(job, file)) return false;
  // The store may have changed since the messages were counted: the count says how many records
  // the file really holds, so a restore reads every one of them and nothing past the last.
  SealBackupFile(file, job.written - writtenBefore);
  FlushOrThrow(file);
  return true;
}

bool WriteSelectedFolders(BackupJob& job, CFile& file) {
  if (job.format != FileKind::kBackup && job.format != FileKind::kTextExport) return false;
  RecordPipe pipe(kPipeBytes);
  bool walked = false;
  std::exception_ptr walkFailure;
  // The session is used by the reader alone until it has been joined.
  std::thread reader([&job, &pipe, &walked, &walkFailure] {
    try {
      walked = WalkIntoPipe(job, pipe);
    } catch (...) {
      walkFailure = std::current_exception();
    }
    pipe.Close();
  });
  RecordFlusher flusher(job.syncEachRecord);
  bool stopped = false;
  try {
    EncodedRecord record;
    while (pipe.Pop(record)) {
      AppendRecord(job, file, record.bytes, record.replaced, flusher);
      // Asked to stop: the run ends here and discards what it wrote.
      if (StopRequested() != 0) {
        stopped = true;
        pipe.Stop();
        break;
      }
    }
  } catch (...) {
    pipe.Stop();
    reader.join();
    throw;
  }
  reader.join();
  if (stopped) return false;
  if (walkFailure) std::rethrow_exception(walkFailure);
  return walked;
}

RecordFlusher::RecordFlusher(bool eachRecord)
    : eachRecord_(eachRecord), lastFlush_(std::chrono::steady_clock::now()) {}

void RecordFlusher::Written(CFile& file) {
  if (!eachRecord_) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastFlush_ < kFlushInterval) return;
  }
  FlushOrThrow(file);
  lastFlush_ = std::chrono::steady_clock::now();
}

void AppendRecord(BackupJob& job, CFile& file, const std::string& bytes, bool replaced,
                  RecordFlusher& flusher) {
  // One write per record, so an interrupted backup never leaves half of one behind a flushed
  // record.
  file.Write(bytes.data(), static_cast<unsigned>(bytes.size()));
  flusher.Written(file);
  if (replaced) ++job.replacedMessages;
  job.RecordWritten();
}

}  // namespace larkpost
