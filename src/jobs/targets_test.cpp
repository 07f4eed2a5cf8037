#include "jobs/targets.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace larkpost {
namespace {

TEST(DefaultBackupName, LocalMinuteOfTheRun) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  struct tm utc {};
  utc.tm_year = 2010 - 1900;
  utc.tm_mon = 0;
  utc.tm_mday = 6;
  utc.tm_hour = 7;
  utc.tm_min = 45;
  utc.tm_sec = 59;
  const CTime now(timegm(&utc));
  EXPECT_EQ(DefaultBackupName(now), u"BAK_20100106_0845.bak");
  // The phone app lists only files named sms-*.xml.
  EXPECT_EQ(DefaultFileName(FileKind::kPhoneXml, now), u"sms-20100106084559.xml");
  EXPECT_EQ(DefaultFileName(FileKind::kBackup, now), u"BAK_20100106_0845.bak");
  EXPECT_EQ(DefaultFileName(FileKind::kPhoneZip, now), u"BAK_20100106_0845.zip");
}

}  // namespace
}  // namespace larkpost
