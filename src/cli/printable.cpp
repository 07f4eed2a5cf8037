#include "cli/printable.h"

#include <cstdio>

namespace larkpost {

namespace {

// The length of the well-formed UTF-8 sequence that begins at `i` (a byte of 0x80 or more), or
// 0 when there is none: a stray byte such as 0x9B is an 8-bit terminal's CSI.
size_t SequenceLength(std::string_view utf8, size_t i) {
  const auto lead = static_cast<unsigned char>(utf8[i]);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > utf8.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(utf8[i + k]);
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

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
    } else if (byte >= 0x80) {
      const size_t length = SequenceLength(utf8, i);
      if (length == 0) {
        std::snprintf(escape, sizeof escape, "\\x%02x", byte);
        out += escape;
      } else {
        out.append(utf8.substr(i, length));
        i += length - 1;
      }
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

std::string ShownTime(const FILETIME& time) {
  if (FileTimeToUInt64(time) == 0) return "no time";
  FILETIME local;
  SYSTEMTIME parts;
  if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, &parts)) {
    return "no time";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.wYear, parts.wMonth,
                parts.wDay, parts.wHour, parts.wMinute, parts.wSecond);
  return text;
}

}  // namespace larkpost
