#include "cli/printable.h"

#include <cstdio>

namespace larkpost {

namespace {

std::string Escaped(std::string_view utf8, bool keepLines) {
  std::string out;
  out.reserve(utf8.size());
  char escape[8];
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (keepLines && (byte == '\n' || byte == '\t')) {
      out.push_back(static_cast<char>(byte));
    } else if (byte < 0x20 || byte == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
    } else if (byte == 0xC2 && i + 1 < utf8.size() &&
               static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      // U+0080..U+009F in UTF-8.
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(utf8[i + 1]));
      out += escape;
      ++i;
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  return out;
}

}  // namespace

std::string PrintableLine(std::string_view utf8) { return Escaped(utf8, false); }

std::string PrintableText(std::string_view utf8) { return Escaped(utf8, true); }

std::string PrintableIndented(std::string_view utf8, std::string_view indent) {
  std::string out;
  for (char c : Escaped(utf8, true)) {
    out.push_back(c);
    if (c == '\n') out += indent;
  }
  return out;
}

}  // namespace larkpost
