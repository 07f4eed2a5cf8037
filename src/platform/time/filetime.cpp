#include "platform/time/filetime.h"

#include <time.h>

#include <limits>

#include "platform/text/text.h"

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kTicksPerDay = kTicksPerSecond * 86400;

// The civil date of a day counted from 1970-01-01.
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2);
}

// Days between 1601-01-01 and 1970-01-01.
const int64_t kEpochDays1601 = -larkpost::DaysFromCivil(1601, 1, 1);

}  // namespace

bool FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
  if (utc == nullptr || local == nullptr) return false;
  const uint64_t ticks = larkpost::FileTimeToUInt64(*utc);
  // The offset comes from the zone's rules at this very instant, so a winter message keeps
  // its winter offset when read in summer.
  const time_t seconds = static_cast<time_t>(larkpost::FileTimeToUnixTime(*utc));
  tzset();
  struct tm parts;
  if (localtime_r(&seconds, &parts) == nullptr) return false;
  const int64_t offset = static_cast<int64_t>(parts.tm_gmtoff) * static_cast<int64_t>(kTicksPerSecond);
  if (offset < 0 && ticks < static_cast<uint64_t>(-offset)) return false;
  if (offset > 0 && ticks > std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(offset)) return false;
  *local = larkpost::UInt64ToFileTime(ticks + static_cast<uint64_t>(offset));
  return true;
}

bool FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
  if (ft == nullptr || st == nullptr) return false;
  const uint64_t ticks = larkpost::FileTimeToUInt64(*ft);
  const int64_t days = static_cast<int64_t>(ticks / kTicksPerDay);
  uint64_t rest = ticks % kTicksPerDay;
  int64_t year;
  unsigned month, day;
  CivilFromDays(days - kEpochDays1601, &year, &month, &day);
  if (year > 30827) return false;
  st->wYear = static_cast<uint16_t>(year);
  st->wMonth = static_cast<uint16_t>(month);
  st->wDay = static_cast<uint16_t>(day);
  st->wDayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  st->wHour = static_cast<uint16_t>(rest / (kTicksPerSecond * 3600));
  rest %= kTicksPerSecond * 3600;
  st->wMinute = static_cast<uint16_t>(rest / (kTicksPerSecond * 60));
  rest %= kTicksPerSecond * 60;
  st->wSecond = static_cast<uint16_t>(rest / kTicksPerSecond);
  rest %= kTicksPerSecond;
  st->wMilliseconds = static_cast<uint16_t>(rest / 10000);
  return true;
}

CTime CTime::GetCurrentTime() { return CTime(::time(nullptr)); }

std::u16string CTime::Format(const char* format) const {
  if (format == nullptr) return std::u16string();
  tzset();
  struct tm parts;
  if (localtime_r(&time_, &parts) == nullptr) return std::u16string();
  char text[128];
  const size_t length = strftime(text, sizeof text, format, &parts);
  if (length == 0) return std::u16string();
  return larkpost::Utf8ToWide(std::string_view(text, length));
}

namespace larkpost {

uint64_t FileTimeToUInt64(FILETIME ft) {
  return static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

FILETIME UInt64ToFileTime(uint64_t value) {
  return FILETIME{static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)};
}

FILETIME UnixTimeToFileTime(int64_t seconds) {
  // Values outside the FILETIME range are clamped to its ends.
  const int64_t maxSeconds = static_cast<int64_t>(std::numeric_limits<uint64_t>::max() / kTicksPerSecond) -
                             kUnixEpochInFileTimeSeconds;
  if (seconds <= -kUnixEpochInFileTimeSeconds) return UInt64ToFileTime(0);
  if (seconds > maxSeconds) seconds = maxSeconds;
  return UInt64ToFileTime(static_cast<uint64_t>(seconds + kUnixEpochInFileTimeSeconds) * kTicksPerSecond);
}

int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

int64_t FileTimeToUnixTime(FILETIME ft) {
  return static_cast<int64_t>(FileTimeToUInt64(ft) / kTicksPerSecond) - kUnixEpochInFileTimeSeconds;
}

}  // namespace larkpost
