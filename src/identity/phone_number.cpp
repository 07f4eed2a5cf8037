#include "identity/phone_number.h"

#include <phonenumbers/phonenumber.pb.h>
#include <phonenumbers/phonenumberutil.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <set>

#include "identity/text_keyed_map.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberUtil;

// Until a front end sets it, the locale's.
std::string& Region() {
  static std::string region = RegionFromEnvironment();
  return region;
}

// A short code has at most this many digits.
constexpr size_t kShortCodeDigits = 6;

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

std::u16string_view Trimmed(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool HasLetter(std::u16string_view text) {
  for (char16_t c : text) {
    // Letters of any script; digits, "+", blanks and punctuation are what numbers are made of.
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'@' || c > 0x7F) return true;
  }
  return false;
}

std::u16string Folded(std::u16string_view text) {
  icu::UnicodeString folded(false, text.data(), static_cast<int32_t>(text.size()));
  folded.foldCase();
  return std::u16string(folded.getBuffer(), static_cast<size_t>(folded.length()));
}

std::u16string Normalise(std::u16string_view written) {
  const std::u16string_view text = Trimmed(written);
  if (text.empty()) return {};
  if (HasLetter(text)) return Folded(text);
  std::u16string digits;
  size_t digitCount = 0;
  for (char16_t c : text) {
    if (c >= u'0' && c <= u'9') {
      digits += c;
      ++digitCount;
    } else if (c == u'+' && digits.empty()) {
      digits += c;
    }
  }
  if (digitCount == 0) return std::u16string(text);
  if (digits.front() != u'+' && digitCount <= kShortCodeDigits) return std::u16string(text);
  const PhoneNumberUtil& util = *PhoneNumberUtil::GetInstance();
  PhoneNumber parsed;
  const std::string region = Region().empty() ? "ZZ" : Region();
  if (util.Parse(WideToUtf8(text), region, &parsed) == PhoneNumberUtil::NO_PARSING_ERROR &&
      util.IsPossibleNumber(parsed)) {
    std::string e164;
    util.Format(parsed, PhoneNumberUtil::E164, &e164);
    return Utf8ToWide(e164);
  }
  return digits;
}

}  // namespace

void SetNumberRegion(std::string region) {
  for (char& c : region) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  Region() = std::move(region);
}

const std::string& NumberRegion() { return Region(); }

std::string RegionOfLocale(std::string_view locale) {
  const size_t underscore = locale.find('_');
  if (underscore == std::string_view::npos || locale.size() < underscore + 3) return {};
  std::string country(locale.substr(underscore + 1, 2));
  for (char& c : country) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c < 'A' || c > 'Z') return {};
  }
  return IsKnownRegion(country) ? country : std::string();
}

std::string RegionFromEnvironment() {
  for (const char* name : {"LC_ALL", "LC_TELEPHONE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return RegionOfLocale(value);
  }
  return {};
}

bool IsKnownRegion(std::string_view region) {
  if (region.size() != 2) return false;
  std::string upper(region);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  std::set<std::string> regions;
  PhoneNumberUtil::GetInstance()->GetSupportedRegions(&regions);
  return regions.count(upper) != 0;
}

std::u16string_view NormalisedNumberView(std::u16string_view number) {
  // Parsing costs microseconds and the same few numbers come back in every message: a small
  // cache per thread, emptied when full (or when the region changed). Looked up by the text as
  // given, so a number found costs no copy.
  struct Cache {
    std::string region;
    TextKeyedMap<std::u16string> numbers;
  };
  thread_local Cache cache;
  if (cache.region != Region()) {
    cache.numbers.clear();
    cache.region = Region();
  }
  auto found = cache.numbers.find(number);
  if (found != cache.numbers.end()) return found->second;
  if (cache.numbers.size() >= 4096) cache.numbers.clear();
  return cache.numbers.emplace(std::u16string(number), Normalise(number)).first->second;
}

namespace {

// RegionFreeNumberView of a number already normalised.
std::u16string RegionFree(std::u16string_view normalised) {
  std::u16string regionFree(normalised);
  if (normalised.size() <= kShortCodeDigits || HasLetter(normalised)) return regionFree;
  if (normalised.front() == u'+') {
    // The country calling code: one to three digits, and no code is the start of another, so
    // the first that names a country is it (a lookup, where parsing the number costs a regular
    // expression's run).
    const PhoneNumberUtil& util = *PhoneNumberUtil::GetInstance();
    int code = 0;
    for (size_t digits = 1; digits <= 3 && digits < normalised.size(); ++digits) {
      const char16_t digit = normalised[digits];
      if (digit < u'0' || digit > u'9') break;
      code = code * 10 + (digit - u'0');
      std::string region;
      util.GetRegionCodeForCountryCode(code, &region);
      if (region != "ZZ") return regionFree.substr(1 + digits);
    }
    return regionFree;
  }
  // Written without a country code: the trunk prefix, "0" nearly everywhere, goes.
  const size_t first = regionFree.find_first_not_of(u'0');
  regionFree.erase(0, first == std::u16string::npos ? regionFree.size() : first);
  return regionFree;
}

}  // namespace

std::u16string_view RegionFreeNumberView(std::u16string_view number) {
  // As NormalisedNumberView: the same few numbers in every message.
  thread_local TextKeyedMap<std::u16string> cache;
  const std::u16string_view normalised = NormalisedNumberView(number);
  auto found = cache.find(normalised);
  if (found != cache.end()) return found->second;
  if (cache.size() >= 4096) cache.clear();
  return cache.emplace(std::u16string(normalised), RegionFree(normalised)).first->second;
}

std::u16string NormalisedNumber(std::u16string_view number) {
  return std::u16string(NormalisedNumberView(number));
}

}  // namespace larkpost
