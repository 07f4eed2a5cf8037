#include "backupfile/backup_file.h"

#include <cerrno>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "backupfile/digest.h"
#include "backupfile/folder_path.h"
#include "backupfile/record.h"
#include "backupfile/record_codec.h"
#include "backupfile/record_pipe.h"
#include "backupfile/text_export.h"
#include "jobs/job_records.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

namespace {

constexpr unsigned kDigestSize = 16;
constexpr unsigned kCountOffset = 16;
constexpr unsigned kHeaderSize = 20;
constexpr int kCursorBatchSize = 10;

void PutUInt32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

void FlushOrThrow(CFile& file) {
  if (!FlushFileBuffers(file)) {
    const int osError = errno;
    throw CFileException(CFileException::CauseFromErrno(osError), osError, file.GetFilePath());
  }
}

// Reads up to `count` bytes, fewer only at the end of the file.
unsigned ReadUpTo(CFile& file, unsigned char* buffer, unsigned count) {
  unsigned got = 0;
  while (got < count) {
    const unsigned read = file.Read(buffer + got, count - got);
    if (read == 0) break;
    got += read;
  }
  return got;
}

// Records held between the store walk and the writer: enough to ride out a slow flush, small
// whatever the store holds.
constexpr size_t kPipeBytes = size_t{4} << 20;

bool EncodeForFormat(const BackupJob& job, SmsMessage& message, EncodedRecord& record) {
  if (job.format != kBackupFile) return EncodeTextRecord(message, record.bytes);
  MessageRecord value;
  // A message whose recipients cannot be read would lose them silently; the walk fails instead.
  if (!RecordFromMessage(message, value)) return false;
  record.bytes = EncodeRecord(value, &record.replaced);
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

// The reader's side of WriteSelectedFolders: walks the selected folders and pushes each encoded
// message; false when the walk or an encoding fails, or the writer stopped.
bool WalkIntoPipe(BackupJob& job, RecordPipe& pipe) {
  for (int i = 0; i < kFolderKindCount; ++i) {
    const auto kind = static_cast<FolderKind>(i);
    if (!job.Includes(kind)) continue;
    SmsFolder* folder = job.session.StandardFolder(kind);
    if (folder == nullptr) continue;
    const bool walked = ForEachMessage(*folder, [&job, &pipe](SmsMessage& message) {
      EncodedRecord record;
      return EncodeForFormat(job, message, record) && pipe.Push(std::move(record));
    });
    if (!walked) return false;
  }
  return true;
}

}  // namespace

bool WriteBackupFile(BackupJob& job, CFile& file) {
  const uint32_t writtenBefore = job.written;
  // The digest's place is filled with zeros until the walk has ended: a file whose walk failed
  // never validates.
  unsigned char header[kHeaderSize] = {};
  PutUInt32(header + kCountOffset, static_cast<uint32_t>(job.total));
  file.Write(header, kHeaderSize);

  if (!WriteSelectedFolders(job, file)) return false;

  // The store may have changed since the messages were counted: the count says how many records
  // the file really holds, so a restore reads every one of them and nothing past the last.
  unsigned char count[4];
  PutUInt32(count, job.written - writtenBefore);
  file.Seek(kCountOffset, CFile::begin);
  file.Write(count, sizeof count);

  const BackupDigest digest = ComputeBackupDigest(static_cast<uint32_t>(file.GetLength()));
  file.SeekToBegin();
  file.Write(digest.data(), kDigestSize);
  FlushOrThrow(file);
  return true;
}

bool WriteSelectedFolders(BackupJob& job, CFile& file) {
  if (job.format != kBackupFile && job.format != kTextExport) return false;
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
  try {
    EncodedRecord record;
    while (pipe.Pop(record)) AppendRecord(job, file, record.bytes, record.replaced);
  } catch (...) {
    pipe.Stop();
    reader.join();
    throw;
  }
  reader.join();
  if (walkFailure) std::rethrow_exception(walkFailure);
  return walked;
}

void AppendRecord(BackupJob& job, CFile& file, const std::string& bytes, bool replaced) {
  // One write per record, so an interrupted backup never leaves half of one behind a flushed
  // record.
  file.Write(bytes.data(), static_cast<unsigned>(bytes.size()));
  FlushOrThrow(file);
  if (replaced) ++job.replacedMessages;
  job.RecordWritten();
}

bool ValidateBackupFile(CFile& file, uint32_t& recordCount) {
  recordCount = 0;
  file.SeekToBegin();
  BackupDigest stored{};
  if (ReadUpTo(file, stored.data(), kDigestSize) != kDigestSize) return false;
  const BackupDigest expected = ComputeBackupDigest(static_cast<uint32_t>(file.GetLength()));
  if (DigestToHexText(stored) != DigestToHexText(expected)) return false;

  // A file that ends inside the count holds the bytes present in the low positions.
  unsigned char count[4] = {};
  ReadUpTo(file, count, sizeof count);
  recordCount = static_cast<uint32_t>(count[0]) | static_cast<uint32_t>(count[1]) << 8 |
                static_cast<uint32_t>(count[2]) << 16 | static_cast<uint32_t>(count[3]) << 24;
  return true;
}

}  // namespace larkpost
