#include "jobs/targets.h"

namespace larkpost {

std::u16string DefaultBackupName(const CTime& now) {
  return u"BAK_" + now.Format("%Y%m%d_%H%M.bak");
}

BackupFormat FormatForPath(const std::u16string& path) {
  const size_t dot = path.rfind(u'.');
  if (dot != std::u16string::npos && path.compare(dot, std::u16string::npos, u".txt") == 0) {
    return kTextExport;
  }
  return kBackupFile;
}

std::u16string RestoreQuestion(const std::u16string& path) {
  return u"Are you sure to restore sms from file:" + path;
}

}  // namespace larkpost
