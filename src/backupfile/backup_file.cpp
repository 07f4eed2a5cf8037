#include "backupfile/backup_file.h"

#include <cerrno>
#include <memory>
#include <vector>

#include "backupfile/digest.h"
#include "backupfile/record.h"
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

bool WriteRecord(BackupJob& job, CFile& file, SmsMessage& message) {
  return job.format == kBackupFile ? WriteMessageRecord(job, file, message)
                                   : WriteTextRecord(job, file, message);
}

}  // namespace

bool WriteBackupFile(BackupJob& job, CFile& file) {
  const uint32_t writtenBefore = job.written;
  // The digest's place is filled with zeros until the walk has ended: a file whose walk failed
  // never validates.
  unsigned char header[kHeaderSize] = {};
  PutUInt32(header + kCountOffset, static_cast<uint32_t>(job.total));
  file.Write(header, kHeaderSize);

  for (int i = 0; i < kFolderKindCount; ++i) {
    const auto kind = static_cast<FolderKind>(i);
    if (!job.Includes(kind)) continue;
    // A standard folder the store lacks is left out (the session counts it).
    SmsFolder* folder = job.session.StandardFolder(kind);
    if (folder != nullptr && !WriteFolderRecords(job, file, *folder)) return false;
  }

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

// Folders the store cannot open, list or read are left out (the store counts them in the
// session's unreadableFolders, once each); the walk goes on with what it can read.
bool WriteFolderRecords(BackupJob& job, CFile& file, SmsFolder& folder) {
  if (job.format != kBackupFile && job.format != kTextExport) return false;
  return WalkFolderTree(folder, [&job, &file](SmsFolder& each, size_t) {
    if (!each.folder) return true;
    if (MessageCursor* cursor = each.Cursor(kCursorBatchSize)) {
      if (!cursor->Rewind()) return false;
      while (cursor->Next()) {
        if (!WriteRecord(job, file, *cursor->current)) return false;
      }
    }
    return true;
  });
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
