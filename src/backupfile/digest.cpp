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

}  // namespace larkpost
