#include "jobs/targets.h"

#include <string>

#include "formats/file_kind.h"

namespace larkpost {

std::u16string DefaultBackupName(const CTime& now) {
  return u"BAK_" + now.Format("%Y%m%d_%H%M.bak");
}

BackupFormat FormatForPath(const std::u16string& path) {
  switch (FileKindForPath(path)) {
    case FileKind::kTextExport:
      return kTextExport;
    case FileKind::kPhoneXml:
      return kPhoneXml;
    case FileKind::kPhoneZip:
      return kPhoneZip;
    case FileKind::kHtml:
      return kHtmlPage;
    case FileKind::kBackup:
      break;
  }
  return kBackupFile;
}

std::u16string RestoreQuestion(const std::u16string& path) {
  return u"Are you sure to restore sms from file:" + path;
}

std::u16string RestoreSummaryLine(const RestoreCounts& counts) {
  const std::string line = "Restored: " + std::to_string(counts.restored) +
                           ", already present: " + std::to_string(counts.present) +
                           ", folders created: " + std::to_string(counts.foldersCreated);
  return std::u16string(line.begin(), line.end());
}

}  // namespace larkpost
