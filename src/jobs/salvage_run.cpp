#include "jobs/salvage_run.h"

#include <sys/stat.h>

#include <memory>

#include "jobs/outcome.h"
#include "platform/file/output_sink.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

bool SalvageResult::Incomplete() const {
  // A file is salvaged record by record (a backup file) or entry by entry (a phone's): the
  // other log stays empty, and complete.
  if (!backup.skipped.empty() || backup.kept < backup.declaredCount) return true;
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
  const SalvagerFactory openSalvager = FormatOf(result.inKind).openSalvager;
  if (openSalvager == nullptr) {
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

  std::unique_ptr<MessageReader> reader =
      openSalvager(damaged, result.backup, result.phone, std::make_shared<PartSpool>(out));
  // A record of a file of the output's own format is copied byte for byte: nothing is decoded
  // and encoded again.
  const bool sameFormat = result.inKind == outKind;
  bool stopped = false;
  std::string error;
  const bool written = WriteMessageOutput(
      out, outKind, deletedAs,
      [&](MessageWriter& writer, std::string& failure) {
        return CopyMessages(*reader, writer, nullptr, sameFormat, progress,
                            result.messagesWritten, stopped, failure);
      },
      result.written, error);
  result.read = reader->counts();
  if (!written) {
    result.interrupted = stopped;
    if (!stopped) result.error = Utf8ToWide(error);
  }
  return written;
}

}  // namespace larkpost
