// `salvage` on any damaged file: whatever the bytes, the file it writes is a valid backup file
// (its digest and count fit) whose every record the reader accepts, as many as the salvage says
// it kept. Input: the whole damaged file, header included. One that begins as an XML ("<", or a
// byte-order mark) or a ZIP ("PK") is salvaged as a phone file: every <sms>/<mms> found is either
// kept or logged as skipped, and the messages kept are written
// as a backup file, which must verify the same way.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "backupfile/backup_file.h"
#include "backupfile/record.h"
#include "backupfile/salvage.h"
#include "backupfile/backup_stream.h"
#include "formats/phone_salvage.h"
#include "jobs/salvage_run.h"
#include "platform/file/byte_sink.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "scratch_path.h"

namespace {

// The messages a phone file's salvage keeps, written as a backup file into `out`; their count.
uint32_t SalvagePhoneFile(const std::string& damagedPath, bool zip, larkpost::ByteSink& out) {
  auto damaged = std::make_shared<CFile>(larkpost::Utf8ToWide(damagedPath), CFile::modeRead);
  larkpost::SalvageLog log;
  std::unique_ptr<larkpost::MessageReader> reader = larkpost::JoinedReader(
      zip ? larkpost::SalvagedZipEntries(damaged, log) : larkpost::SalvagedXmlEntries(damaged, log));
  auto writer = larkpost::BackupFileWriter(out);
  larkpost::MessageRecord record;
  std::string error;
  uint32_t written = 0;
  while (reader->Next(record)) {
    // Backup files hold SMS only: multimedia messages and calls are left out, as salvage does.
    if (record.multimedia || record.kind == larkpost::EntryKind::kCall) continue;
    if (!writer->Write(record, error)) {
      fprintf(stderr, "a salvaged message cannot be written: %s\n", error.c_str());
      abort();
    }
    ++written;
  }
  if (!zip) {
    if (!reader->error().empty()) {
      fprintf(stderr, "the XML salvage failed: %s\n", reader->error().c_str());
      abort();
    }
    uint64_t skippedEntries = 0;
    for (const larkpost::DamagedStretch& skipped : log.skipped) {
      if (!skipped.betweenEntries) ++skippedEntries;
    }
    if (log.entriesKept + skippedEntries != log.entriesFound) {
      fprintf(stderr, "entries found %llu are not kept %llu + skipped %llu\n",
              static_cast<unsigned long long>(log.entriesFound),
              static_cast<unsigned long long>(log.entriesKept),
              static_cast<unsigned long long>(skippedEntries));
      abort();
    }
  }
  writer->Finish();
  return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string damagedPath = ScratchPath(".damaged");
  static const std::string outPath = ScratchPath(".salvaged");
  {
    std::ofstream out(damagedPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) abort();
  }
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const bool xml = bytes.starts_with("<") || bytes.starts_with("\xEF\xBB\xBF");
  const bool zip = bytes.starts_with("PK");
  uint64_t kept = 0;
  if (xml || zip) {
    CFile file(larkpost::Utf8ToWide(outPath), CFile::modeCreate | CFile::modeReadWrite);
    larkpost::CFileSink out(file);
    kept = SalvagePhoneFile(damagedPath, zip, out);
  } else {
    // As the salvage command runs it: the records copied as they lie into a backup file.
    larkpost::SalvageResult result;
    if (!larkpost::SalvageMessageFile(larkpost::Utf8ToWide(damagedPath),
                                      larkpost::Utf8ToWide(outPath),
                                      larkpost::DeletedAs::kByDirection, result)) {
      fprintf(stderr, "the salvage failed: %s\n", larkpost::WideToUtf8(result.error).c_str());
      abort();
    }
    kept = result.backup.kept;
  }
  CFile salvaged(larkpost::Utf8ToWide(outPath), CFile::modeRead);
  uint32_t count = 0;
  if (!larkpost::ValidateBackupFile(salvaged, count) || count != kept) {
    fprintf(stderr, "the salvaged file is not valid or its count (%u) is not what was kept (%llu)\n",
            count, static_cast<unsigned long long>(kept));
    abort();
  }
  for (uint32_t record = 1; record <= count; ++record) {
    larkpost::MessageRecord value;
    std::u16string error;
    if (!larkpost::ReadRecord(salvaged, value, error)) {
      fprintf(stderr, "salvaged record %u is refused: %s\n", record,
              larkpost::WideToUtf8(error).c_str());
      abort();
    }
  }
  if (salvaged.GetPosition() != salvaged.GetLength()) {
    fprintf(stderr, "the salvaged file holds bytes after its last record\n");
    abort();
  }
  return 0;
}
