#include "jobs/salvage_run.h"

#include <sys/stat.h>

#include <memory>

#include "jobs/outcome.h"
#include "platform/file/output_sink.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

bool SalvageResult::Incomplete() const {
  if (inKind == FileKind::kBackup) {
    return !backup.skipped.empty() || backup.kept < backup.declaredCount;
  }
  if (!phone.skipped.empty() || !phone.notes.empty()) return true;
  // A file cut off right after its last entry lost nothing when the count says so.
  if (phone.declaredEntries) return phone.entriesFound < *phone.declaredEntries;
  return phone.cutShort;
}

bool SalvageMessageFile(const std::u16string& in, const std::u16string& out, DeletedAs deletedAs,
                        SalvageResult& result, const std::function<void(uint64_t kept)>& progress) {
  result = SalvageResult{};
  result.inKind = FileKindForPath(in);
  const FileKind outKind = FileKindForPath(out);
  if (result.inKind != FileKind::kBackup && result.inKind != FileKind::kPhoneXml &&
      result.inKind != FileKind::kPhoneZip) {
    result.error = Utf8ToWide(std::string("a ") + FileKindName(result.inKind) + " cannot be salvaged");
    return false;
  }
  if (!FormatOf(outKind).writable) {
    result.error = Utf8ToWide(std::string("a ") + FileKindName(outKind) + " is not written by a salvage");
    return false;
  }
  auto damaged = std::make_shared<CFile>(in, CFile::modeRead | CFile::shareDenyNone);
  struct stat inInfo {}, outInfo {};
  if (fstat(damaged->GetHandle(), &inInfo) == 0 && stat(WideToPath(out).c_str(), &outInfo) == 0 &&
      inInfo.st_dev == outInfo.st_dev && inInfo.st_ino == outInfo.st_ino) {
    result.error = u"OUT must not be the damaged file itself";
    return false;
  }

  // Asked before every message: a stop request ends the salvage there, and nothing is written.
  bool stopped = false;
  auto keepGoing = [&] {
    if (StopRequested() == 0) return true;
    stopped = true;
    return false;
  };
  auto kept = [&] {
    ++result.messagesWritten;
    if (progress) progress(result.messagesWritten);
  };
  std::string error;
  bool written = false;
  if (result.inKind == FileKind::kBackup && outKind == FileKind::kBackup) {
    // Record by record, byte for byte: nothing is decoded and encoded again.
    written = WriteOutputFile(
        out,
        [&](OutputSink& sink, std::string& failure) {
          bool first = true;
          result.backup = SalvageBackupFile(*damaged, sink, [&] {
            if (!first) kept();  // asked again: the record before was copied
            first = false;
            return keepGoing();
          });
          result.written.entriesWritten = result.backup.kept;
          failure = "interrupted";
          return !result.backup.stopped;
        },
        error);
  } else if (result.inKind == FileKind::kBackup) {
    BackupFileSalvage salvage(*damaged);
    written = WriteMessageOutput(
        out, outKind, deletedAs,
        [&](MessageWriter& writer, std::string& failure) {
          MessageRecord record;
          uint64_t offset = 0, length = 0;
          while (keepGoing() && salvage.Next(record, offset, length)) {
            if (!writer.Write(record, failure)) {
              failure = "the record at byte " + std::to_string(offset) + ": " + failure;
              return false;
            }
            kept();
          }
          failure = "interrupted";
          return !stopped;
        },
        result.written, error);
    result.backup = salvage.report();
  } else {
    std::unique_ptr<MessageReader> reader =
        JoinedReader(result.inKind == FileKind::kPhoneXml
                         ? SalvagedXmlEntries(damaged, result.phone, std::make_shared<PartSpool>(out))
                                                          : SalvagedZipEntries(damaged, result.phone));
    written = WriteMessageOutput(
        out, outKind, deletedAs,
        [&](MessageWriter& writer, std::string& failure) {
          MessageRecord record;
          while (keepGoing() && reader->Next(record)) {
            if (!writer.Write(record, failure)) {
              failure = "message " + std::to_string(reader->counts().messages) + ": " + failure;
              return false;
            }
            kept();
          }
          if (stopped) {
            failure = "interrupted";
            return false;
          }
          failure = reader->error();
          return failure.empty();
        },
        result.written, error);
    result.read = reader->counts();
  }
  if (!written) {
    result.interrupted = stopped;
    if (!stopped) result.error = Utf8ToWide(error);
  }
  return written;
}

}  // namespace larkpost
