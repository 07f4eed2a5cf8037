#include "cli/code_page_choice.h"

#include <ostream>

#include "backupfile/backup_file.h"
#include "formats/format_table.h"
#include "platform/file/file.h"
#include "platform/text/code_page_detect.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

// Enough text to tell a code page; the detector needs far less.
constexpr size_t kSampleBytes = size_t{4} << 20;
// Below this ICU's guess is too weak to bother the user with.
constexpr int kHintConfidence = 30;

bool Detect(const std::string& path, DetectedCodePage& detected) {
  const std::u16string wide = PathToWide(path);
  if (!FormatOf(InputKindOf(wide)).comparedOn.codePageText) return false;  // text in a code page
  try {
    CFile file(wide, CFile::modeRead | CFile::shareDenyNone);
    detected = DetectCodePage(CollectRecordTexts(file, kSampleBytes));
    return true;
  } catch (const CFileException&) {
    return false;
  }
}

}  // namespace

void UseDetectedCodePage(const std::string& path, CliStreams& io) {
  DetectedCodePage detected;
  if (!Detect(path, detected)) return;
  if (detected.codePage != 0 && SetAnsiCodePage(detected.codePage)) {
    io.err << "Code page: " << detected.codePage << " (detected)\n";
  } else {
    io.err << "Code page: " << GetACP() << " (the texts do not tell; the default)\n";
  }
}

void HintOtherCodePage(const std::string& path, CliStreams& io) {
  DetectedCodePage detected;
  if (!Detect(path, detected) || detected.ascii || detected.codePage == 0 ||
      detected.codePage == GetACP() || detected.confidence < kHintConfidence) {
    return;
  }
  io.err << "The texts look like code page " << detected.codePage << ", not " << GetACP()
         << ": try --codepage " << detected.codePage << " (or --codepage auto).\n";
}

}  // namespace larkpost
