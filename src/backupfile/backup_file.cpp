#include "backupfile/backup_file.h"

#include <cerrno>
#include <exception>
#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "backupfile/digest.h"
#include "message/folder_path.h"
#include "backupfile/record.h"
#include "backupfile/record_codec.h"
#include "backupfile/record_pipe.h"
#include "backupfile/text_export.h"
#include "jobs/job_records.h"
#include "platform/text/text.h"
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

void BeginBackupFile(CFile& file, uint32_t count) {
  // The digest's place is filled with zeros until the file is sealed: a file whose writing
  // stopped never validates.
  unsigned char header[kHeaderSize] = {};
  PutUInt32(header + kCountOffset, count);
  file.Write(header, kHeaderSize);
}

void SealBackupFile(CFile& file, uint32_t count) {
  unsigned char bytes[4];
  PutUInt32(bytes, count);
  file.Seek(kCountOffset, CFile::begin);
  file.Write(bytes, sizeof bytes);
  const BackupDigest digest = ComputeBackupDigest(static_cast<uint32_t>(file.GetLength()));
  file.SeekToBegin();
  file.Write(digest.data(), kDigestSize);
  file.Seek(0, CFile::end);
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

BackupRecords::BackupRecords(CFile& file) : file_(file) {
  valid_ = ValidateBackupFile(file, count_);
}

bool BackupRecords::NextFields(RecordFields& fields, std::u16string& error) {
  error.clear();
  if (AtEnd()) return false;
  ++number_;
  return ReadRecordFields(file_, fields, error);
}

bool BackupRecords::Next(MessageRecord& record, std::u16string& error) {
  RecordFields fields;
  return NextFields(fields, error) && CheckRecordFields(fields, record, error);
}

std::u16string RecordErrorText(uint64_t number, std::u16string_view text) {
  std::u16string numbered = u"No." + Utf8ToWide(std::to_string(number)) + u", ";
  numbered += text;
  return numbered;
}

std::string CollectRecordTexts(CFile& file, size_t limit) {
  std::string texts;
  std::string line;
  file.Seek(kHeaderSize, CFile::begin);
  auto takeLine = [&](bool keep) {
    if (ReadTextLine(file, line) != LineEnd::kLineFeed) return false;
    if (keep) texts.append(line).push_back('\n');
    return true;
  };
  while (texts.size() < limit) {
    unsigned char fixed[24];
    unsigned char length[4];
    if (!takeLine(false) || !takeLine(true) || ReadUpTo(file, fixed, sizeof fixed) != sizeof fixed ||
        !takeLine(true) || !takeLine(true) || ReadUpTo(file, length, sizeof length) != sizeof length) {
      break;
    }
    const uint32_t count = static_cast<uint32_t>(length[0]) | static_cast<uint32_t>(length[1]) << 8 |
                           static_cast<uint32_t>(length[2]) << 16 |
                           static_cast<uint32_t>(length[3]) << 24;
    // A length past the end or the limit marks a broken record: take what is there.
    const size_t take = std::min<size_t>(count, limit - std::min(limit, texts.size()));
    const size_t at = texts.size();
    texts.resize(at + take);
    const size_t got = ReadUpTo(file, reinterpret_cast<unsigned char*>(texts.data() + at),
                                static_cast<unsigned>(take));
    texts.resize(at + got);
    if (got < count) break;
  }
  return texts;
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
