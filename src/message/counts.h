// Counts as people read them in reports: 52310 as "52,310", "1 message" and "2 messages".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace larkpost {

inline std::string Thousands(uint64_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits;
}

// The count and the noun that fits it: Counted(2, "entry", "entries") is "2 entries".
inline std::string Counted(uint64_t count, std::string_view one, std::string_view many) {
  std::string text = Thousands(count);
  text += ' ';
  text += count == 1 ? one : many;
  return text;
}

}  // namespace larkpost
