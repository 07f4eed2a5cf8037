// Time services of the platform: FILETIME (100 ns units since 1601-01-01 UTC), its conversion
// to local time by the C library's time zone rules (TZ), and CTime formatting.
// All functions are pure apart from reading the process's time zone; callable from any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

struct FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
  bool operator==(const FILETIME&) const = default;
};

struct SYSTEMTIME {
  uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

// Shifts a UTC file time by the local zone's offset AT THAT INSTANT (not today's offset).
// False when the local time cannot be computed or the result would leave the FILETIME range.
bool FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);
// Splits a file time into calendar fields (no zone shift). False for values past year 30827.
bool FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);

class CTime {
 public:
  static CTime GetCurrentTime();
  explicit CTime(time_t t) : time_(t) {}
  // strftime in local time into a 128-character buffer; empty text when the local time cannot
  // be computed or the result does not fit.
  std::u16string Format(const char* format) const;

 private:
  time_t time_;
};

namespace larkpost {

uint64_t FileTimeToUInt64(FILETIME ft);
FILETIME UInt64ToFileTime(uint64_t value);
// A file time's 100 ns units in a millisecond, what phones keep of a time.
inline constexpr uint64_t kFileTimeTicksPerMs = 10000;
// 11644473600 seconds lie between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochInFileTimeSeconds = 11644473600LL;
FILETIME UnixTimeToFileTime(int64_t seconds);
// Whole seconds, rounded toward negative infinity.
int64_t FileTimeToUnixTime(FILETIME ft);
// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar (negative before).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);

}  // namespace larkpost
