// Phone numbers in one form, so that one number written two ways is one party: "+1 555-000-0001"
// and "+15550000001" are the same, and with the region DE so are "0151 2345678" and
// "+491512345678". libphonenumber, the field's standard, parses them.
//
//   a number that parses      its E.164 form: "+491512345678"
//   a short code              up to 6 digits without "+" ("72345", "1 23"): as written, trimmed
//   an alphanumeric sender    any letter in it ("SHOP-INFO", "ann@example.org"): as written,
//                             trimmed and case-folded, so "Shop-Info" is "SHOP-INFO"
//   anything else             its digits and "+" ("0151 2345678" without a region)
//
// The region is one setting of the process, like the code page: set it before any thread
// compares numbers. Normalising is safe from several threads at once.
#pragma once

#include <string>
#include <string_view>

namespace larkpost {

// The region numbers without a country code are read in ("DE", "US"); empty for none. Until set,
// RegionFromEnvironment().
void SetNumberRegion(std::string region);
const std::string& NumberRegion();

// The country of a locale name such as "de_DE.UTF-8" or "en_US": "DE", "US"; empty for "C",
// "POSIX" or a name without a country.
std::string RegionOfLocale(std::string_view locale);
// The region of the locale's phone conventions: the country of LC_ALL, else LC_TELEPHONE, else
// LANG, the first that is set; empty when none names a country.
std::string RegionFromEnvironment();
// True for a region libphonenumber knows: two letters, any case ("de" is "DE").
bool IsKnownRegion(std::string_view region);

// The number in the form above, in the current region.
std::u16string NormalisedNumber(std::u16string_view number);
// The same without a copy: the text stays valid until this thread's next call of either.
std::u16string_view NormalisedNumberView(std::u16string_view number);

// Without a region, "0151 2345678" and "+491512345678" are two numbers: the number as it would
// compare if the region were known, for counting what a region would have made one. A number in
// its E.164 form loses its country code ("+491512345678": "1512345678"), one written without
// a country code its trunk prefix ("0151 2345678": "1512345678"); names, short codes and
// numbers too short to tell stay as NormalisedNumber gives them. The text stays valid until this
// thread's next call of any of these.
std::u16string_view RegionFreeNumberView(std::u16string_view number);

}  // namespace larkpost
