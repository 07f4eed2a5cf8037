#include "backupfile/digest.h"

#include <cstdio>
#include <cstring>

#include "backupfile/md5.h"

namespace larkpost {

BackupDigest ComputeBackupDigest(uint32_t fileLength) {
  // At most 11 characters of number and 18 of salt; the buffer is zeroed so the text is
  // always terminated.
  char text[100] = {};
  std::snprintf(text, sizeof text, "%d%s", static_cast<int32_t>(fileLength), kDigestSalt);
  return Md5Digest(text, std::strlen(text));
}

std::string DigestToHexText(const BackupDigest& digest) {
  std::string text;
  text.reserve(32);
  for (uint8_t byte : digest) {
    char part[3] = {};
    std::snprintf(part, sizeof part, "%x", byte);
    if (part[1] == '\0') text += '0';
    text += part;
  }
  return text;
}

std::string DigestHexText(const BackupDigest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(32, '0');
  for (size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  return text;
}

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool HexTextToDigest(std::string_view hex, BackupDigest& out) {
  if (hex.size() != 2 * out.size()) return false;
  BackupDigest bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) {
    int high = HexDigitValue(hex[2 * i]);
    int low = HexDigitValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  out = bytes;
  return true;
}

}  // namespace larkpost
