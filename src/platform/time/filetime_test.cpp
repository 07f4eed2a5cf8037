#include "platform/time/filetime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// Every test here reads local times in Berlin: +1 h in winter, +2 h in summer.
class BerlinTime : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
};

FILETIME FromUnix(int64_t seconds) { return larkpost::UnixTimeToFileTime(seconds); }

int64_t LocalOffsetSeconds(int64_t unixSeconds) {
  FILETIME utc = FromUnix(unixSeconds);
  FILETIME local{};
  EXPECT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  return larkpost::FileTimeToUnixTime(local) - unixSeconds;
}

SYSTEMTIME Split(FILETIME ft) {
  SYSTEMTIME st{};
  EXPECT_TRUE(FileTimeToSystemTime(&ft, &st));
  return st;
}

}  // namespace

TEST(FileTimeValues, UnixEpochAndBack) {
  EXPECT_EQ(larkpost::FileTimeToUInt64(FromUnix(0)), 116444736000000000ull);
  EXPECT_EQ(larkpost::FileTimeToUnixTime(FromUnix(1700000000)), 1700000000);
  EXPECT_EQ(larkpost::FileTimeToUInt64(larkpost::UInt64ToFileTime(0x0123456789ABCDEFull)), 0x0123456789ABCDEFull);
  FILETIME ft = larkpost::UInt64ToFileTime(0x0123456789ABCDEFull);
  EXPECT_EQ(ft.dwHighDateTime, 0x01234567u);
  EXPECT_EQ(ft.dwLowDateTime, 0x89ABCDEFu);
  // Before 1601 there is no file time: the earliest one stands in.
  EXPECT_EQ(larkpost::FileTimeToUInt64(FromUnix(-20000000000)), 0u);
}

TEST_F(BerlinTime, EachDateGetsTheOffsetOfItsOwnSeason) {
  EXPECT_EQ(LocalOffsetSeconds(1709294400), 3600);  // 2024-03-01 12:00 UTC
  EXPECT_EQ(LocalOffsetSeconds(1720094400), 7200);  // 2024-07-04 12:00 UTC
}

TEST_F(BerlinTime, OffsetChangesAtTheSwitchToSummerTime) {
  // Summer time began on 2024-03-31 at 01:00 UTC.
  EXPECT_EQ(LocalOffsetSeconds(1711846799), 3600);
  EXPECT_EQ(LocalOffsetSeconds(1711846800), 7200);
  FILETIME utc = FromUnix(1711846800);
  FILETIME local{};
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  const SYSTEMTIME st = Split(local);
  EXPECT_EQ(st.wHour, 3);
  EXPECT_EQ(st.wMinute, 0);
}

TEST_F(BerlinTime, KeepsFractionsOfASecond) {
  FILETIME utc = larkpost::UInt64ToFileTime(larkpost::FileTimeToUInt64(FromUnix(1709294400)) + 1234567);
  FILETIME local{};
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  EXPECT_EQ(larkpost::FileTimeToUInt64(local) - larkpost::FileTimeToUInt64(utc), 36000000000ull);
  EXPECT_EQ(Split(local).wMilliseconds, 123);
}

TEST(FileTimeToSystemTime, SplitsDatesAndDaysOfTheWeek) {
  SYSTEMTIME st = Split(larkpost::UInt64ToFileTime(0));
  EXPECT_EQ(st.wYear, 1601);
  EXPECT_EQ(st.wMonth, 1);
  EXPECT_EQ(st.wDay, 1);
  EXPECT_EQ(st.wDayOfWeek, 1);  // Monday
  EXPECT_EQ(st.wHour, 0);

  st = Split(FromUnix(951782400 + 86399));  // 2000-02-29 23:59:59, a Tuesday
  EXPECT_EQ(st.wYear, 2000);
  EXPECT_EQ(st.wMonth, 2);
  EXPECT_EQ(st.wDay, 29);
  EXPECT_EQ(st.wDayOfWeek, 2);
  EXPECT_EQ(st.wHour, 23);
  EXPECT_EQ(st.wMinute, 59);
  EXPECT_EQ(st.wSecond, 59);

  st = Split(FromUnix(0));
  EXPECT_EQ(st.wYear, 1970);
  EXPECT_EQ(st.wDayOfWeek, 4);  // Thursday
}

TEST(FileTimeToSystemTime, FarFutureValues) {
  // 30827-12-31 23:59:59 is the last second a SYSTEMTIME can hold.
  const uint64_t lastSecond = (922314988799ull + 1) * 10000000ull - 1;
  SYSTEMTIME st = Split(larkpost::UInt64ToFileTime(lastSecond));
  EXPECT_EQ(st.wYear, 30827);
  EXPECT_EQ(st.wMonth, 12);
  EXPECT_EQ(st.wDay, 31);
  EXPECT_EQ(st.wSecond, 59);
  EXPECT_EQ(st.wMilliseconds, 999);
  FILETIME tooLate = larkpost::UInt64ToFileTime(lastSecond + 1);
  EXPECT_FALSE(FileTimeToSystemTime(&tooLate, &st));
  FILETIME largest = larkpost::UInt64ToFileTime(~0ull);
  EXPECT_FALSE(FileTimeToSystemTime(&largest, &st));
}

TEST_F(BerlinTime, LocalTimeAtTheEndsOfTheRange) {
  FILETIME earliest = larkpost::UInt64ToFileTime(0);
  FILETIME local{};
  ASSERT_TRUE(FileTimeToLocalFileTime(&earliest, &local));  // Berlin is east of Greenwich
  EXPECT_GT(larkpost::FileTimeToUInt64(local), 0u);
  FILETIME latest = larkpost::UInt64ToFileTime(~0ull);
  EXPECT_FALSE(FileTimeToLocalFileTime(&latest, &local));
}

TEST_F(BerlinTime, FormatUsesLocalTime) {
  EXPECT_EQ(CTime(1720094400).Format("%Y-%m-%d %H:%M:%S"), u"2024-07-04 14:00:00");
  EXPECT_EQ(CTime(1709294400).Format("%H:%M"), u"13:00");
  EXPECT_EQ(CTime(0).Format(""), u"");
  const std::string tooLong(200, 'x');
  EXPECT_EQ(CTime(0).Format(tooLong.c_str()), u"");
  // The current time is now: its year is the one the C library gives for time(nullptr).
  const time_t now = time(nullptr);
  struct tm parts {};
  ASSERT_NE(localtime_r(&now, &parts), nullptr);
  const std::string year = std::to_string(parts.tm_year + 1900);
  EXPECT_EQ(CTime::GetCurrentTime().Format("%Y"), std::u16string(year.begin(), year.end()));
}
