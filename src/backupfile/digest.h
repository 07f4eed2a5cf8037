// The backup file's digest: MD5 over the file length in decimal followed by a fixed salt,
// and the 32-character lower-case hexadecimal form in which the program compares digests.
// Pure functions, callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace larkpost {

using BackupDigest = std::array<uint8_t, 16>;

inline constexpr char kDigestSalt[] = "KVELT_MarnoPidesta";

// MD5 of the low 32 bits of fileLength as a signed decimal ("%d"), then the salt.
BackupDigest ComputeBackupDigest(uint32_t fileLength);

// The form in which the reader compares digests: each byte with "%x", a single character
// preceded by "0" (32 lower-case characters). The writer stores the 16 bytes themselves.
std::string DigestToHexText(const BackupDigest& digest);

}  // namespace larkpost
