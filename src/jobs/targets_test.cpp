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
  EXPECT_EQ(DefaultBackupName(CTime(timegm(&utc))), u"BAK_20100106_0845.bak");
}

}  // namespace
}  // namespace larkpost
