#include "message/selection.h"

#include <unicode/stringoptions.h>
#include <unicode/ustring.h>

#include <ctime>

#include "message/folder_path.h"
#include "platform/time/filetime.h"

namespace larkpost {

namespace {

std::u16string Folded(std::u16string_view text) {
  if (text.empty()) return {};
  std::u16string folded(text.size() * 3 + 1, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length =
      u_strFoldCase(reinterpret_cast<UChar*>(folded.data()), static_cast<int32_t>(folded.size()),
                    reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()),
                    U_FOLD_CASE_DEFAULT, &status);
  if (U_FAILURE(status)) return std::u16string(text);
  folded.resize(static_cast<size_t>(length));
  return folded;
}

bool IsNumberFiller(char16_t c) {
  return c == u' ' || c == u'-' || c == u'.' || c == u'(' || c == u')' || c == u'\t';
}

// "2024", "01": exactly `width` digits.
bool ReadNumber(std::string_view text, size_t& at, size_t width, int& value) {
  if (at + width > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < width; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  at += width;
  return true;
}

bool Expect(std::string_view text, size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

}  // namespace

void Selection::AddContact(std::u16string_view text) {
  Contact contact{NumberDigits(text), {}, Folded(text)};
  if (!contact.number.empty() && normaliser_ != nullptr) contact.normalised = normaliser_(text);
  contacts_.push_back(std::move(contact));
}

bool Selection::Narrows() const {
  for (bool taken : folders_) {
    if (!taken) return true;
  }
  return LooksAtMessages();
}

bool Selection::Selects(const MessageRecord& message) const {
  if (!Narrows()) return true;
  const std::u16string_view folderPath = message.folderPath;
  FolderKind kind;
  if (!FolderKindFromName(folderPath.substr(0, folderPath.find(u'\\')), kind)) {
    for (bool taken : folders_) {
      if (!taken) return false;
    }
    return TakesTime(FileTimeToUInt64(message.deliveryTime)) && TakesParties(message);
  }
  return Selects(kind, message);
}

bool Selection::Selects(FolderKind kind, const MessageRecord& message) const {
  return Folder(kind) && TakesTime(FileTimeToUInt64(message.deliveryTime)) &&
         TakesParties(message);
}

bool Selection::TakesTime(uint64_t deliveryTime) const {
  if (deliveryTime == 0) return drafts_ || (!since_ && !until_);
  return (!since_ || deliveryTime >= *since_) && (!until_ || deliveryTime < *until_);
}

bool Selection::TakesParties(const MessageRecord& message) const {
  if (contacts_.empty()) return true;
  auto matches = [this](const std::u16string& name, const std::u16string& address) {
    const std::u16string number = NumberDigits(address);
    const std::u16string folded = Folded(name);
    for (const Contact& contact : contacts_) {
      if (!contact.number.empty() && contact.number == number) return true;
      if (!contact.normalised.empty() && !number.empty() &&
          normaliser_(address) == contact.normalised) {
        return true;
      }
      if (!contact.folded.empty() && folded.find(contact.folded) != std::u16string::npos) {
        return true;
      }
    }
    return false;
  };
  if (matches(message.senderName, message.senderAddress)) return true;
  for (const RecordRecipient& recipient : message.recipients) {
    if (matches(recipient.displayName, recipient.address)) return true;
  }
  return false;
}

std::u16string NumberDigits(std::u16string_view text) {
  std::u16string digits;
  for (char16_t c : text) {
    if ((c >= u'0' && c <= u'9') || c == u'+') {
      digits.push_back(c);
    } else if (!IsNumberFiller(c)) {
      return {};  // a name or an alphanumeric sender, not a number
    }
  }
  return digits;
}

bool ParseSelectionTime(std::string_view text, bool end, uint64_t& fileTime) {
  size_t at = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!ReadNumber(text, at, 4, year) || !Expect(text, at, '-') || !ReadNumber(text, at, 2, month) ||
      !Expect(text, at, '-') || !ReadNumber(text, at, 2, day)) {
    return false;
  }
  enum { kDay, kMinute, kSecond } unit = kDay;
  if (at < text.size()) {
    if (!(Expect(text, at, 'T') || Expect(text, at, ' ')) || !ReadNumber(text, at, 2, hour) ||
        !Expect(text, at, ':') || !ReadNumber(text, at, 2, minute)) {
      return false;
    }
    unit = kMinute;
    if (at < text.size()) {
      if (!Expect(text, at, ':') || !ReadNumber(text, at, 2, second)) return false;
      unit = kSecond;
    }
    if (at != text.size()) return false;
  }
  if (year < 1601 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
      second > 59) {
    return false;
  }
  const int64_t daysInMonth =
      DaysFromCivil(month == 12 ? year + 1 : year, month == 12 ? 1 : month + 1, 1) -
      DaysFromCivil(year, month, 1);
  if (day > daysInMonth) return false;

  // The end of a named unit is the start of the next one, found by the calendar so that a day
  // of 23 or 25 hours is whole.
  if (end) {
    if (unit == kDay) ++day;
    if (unit == kMinute) ++minute;
    if (unit == kSecond) ++second;
  }
  struct tm wall {};
  wall.tm_year = year - 1900;
  wall.tm_mon = month - 1;
  wall.tm_mday = day;
  wall.tm_hour = hour;
  wall.tm_min = minute;
  wall.tm_sec = second;
  // The clock's reading with the day, minute or second carried over (24:00 is the next day).
  const time_t carried = timegm(&wall);
  gmtime_r(&carried, &wall);
  // A reading the clocks show twice (when they go back) is two instants: a span takes in all
  // of it, so its start is the earlier and its end the later. A reading they skip has none, and
  // the C library's answer (the reading moved by the jump) stands.
  bool found = false;
  time_t chosen = 0;
  for (const int daylight : {0, 1}) {
    struct tm local = wall;
    local.tm_isdst = daylight;
    const time_t seconds = std::mktime(&local);
    struct tm back {};
    if (localtime_r(&seconds, &back) == nullptr || back.tm_year != wall.tm_year ||
        back.tm_mon != wall.tm_mon || back.tm_mday != wall.tm_mday ||
        back.tm_hour != wall.tm_hour || back.tm_min != wall.tm_min ||
        back.tm_sec != wall.tm_sec) {
      continue;
    }
    if (!found || (end ? seconds > chosen : seconds < chosen)) chosen = seconds;
    found = true;
  }
  if (!found) {
    struct tm local = wall;
    local.tm_isdst = -1;
    chosen = std::mktime(&local);
    if (chosen == static_cast<time_t>(-1) && !(local.tm_year == 69 && local.tm_mon == 11)) {
      return false;
    }
  }
  fileTime = FileTimeToUInt64(UnixTimeToFileTime(static_cast<int64_t>(chosen)));
  return true;
}

}  // namespace larkpost
