#include "jobs/targets.h"

namespace larkpost {

std::u16string DefaultBackupName(const CTime& now) {
  return u"BAK_" + now.Format("%Y%m%d_%H%M.bak");
}

std::u16string RestoreQuestion(const std::u16string& path) {
  return u"Are you sure to restore sms from file:" + path;
}

}  // namespace larkpost
