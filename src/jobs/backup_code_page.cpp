#include "jobs/backup_code_page.h"

#include "backupfile/backup_file.h"
#include "formats/format_table.h"
#include "platform/file/file.h"

namespace larkpost {

namespace {

// How far into the file texts beyond ASCII are looked for, and how many of them tell a code page
// (the detector needs far less).
constexpr size_t kScannedBytes = size_t{4} << 20;
constexpr size_t kKeptBytes = size_t{256} << 10;
// Below this ICU's guess is too weak to act on: short texts of one language fit several pages.
constexpr int kTrustedConfidence = 30;

}  // namespace

bool DetectFileCodePage(const std::u16string& path, DetectedCodePage& detected) {
  if (!FormatOf(InputKindOf(path)).comparedOn.codePageText) return false;
  try {
    CFile file(path, CFile::modeRead | CFile::shareDenyNone);
    detected = DetectCodePage(CollectRecordTexts(file, kScannedBytes, kKeptBytes));
    return true;
  } catch (const CFileException&) {
    return false;
  }
}

unsigned OtherCodePage(const DetectedCodePage& detected, unsigned current) {
  if (detected.ascii || detected.codePage == 0 || detected.codePage == current ||
      detected.confidence < kTrustedConfidence) {
    return 0;
  }
  return detected.codePage;
}

}  // namespace larkpost
