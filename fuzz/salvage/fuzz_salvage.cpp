// `salvage` on any damaged file: whatever the bytes, the file it writes is a valid backup file
// (its digest and count fit) whose every record the reader accepts, as many as the salvage says
// it kept. Input: the whole damaged file, header included.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "backupfile/backup_file.h"
#include "backupfile/record.h"
#include "backupfile/salvage.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "scratch_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string damagedPath = ScratchPath(".damaged");
  static const std::string outPath = ScratchPath(".salvaged");
  {
    std::ofstream out(damagedPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) abort();
  }
  larkpost::SalvageReport report;
  {
    CFile damaged(larkpost::Utf8ToWide(damagedPath), CFile::modeRead);
    CFile out(larkpost::Utf8ToWide(outPath), CFile::modeCreate | CFile::modeReadWrite);
    report = larkpost::SalvageBackupFile(damaged, out);
  }
  CFile salvaged(larkpost::Utf8ToWide(outPath), CFile::modeRead);
  uint32_t count = 0;
  if (!larkpost::ValidateBackupFile(salvaged, count) || count != report.kept) {
    fprintf(stderr, "the salvaged file is not valid or its count (%u) is not what was kept (%u)\n",
            count, report.kept);
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
