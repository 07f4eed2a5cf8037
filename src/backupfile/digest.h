// The backup file's digest: MD5 over the file length in decimal followed by a fixed salt,
// and the 32-character lower-case hexadecimal forms in which the program compares digests.
// Pure functions, callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace larkpost {

using BackupDigest = std::array<uint8_t, 16>;

inline constexpr char kDigestSalt[] = "KVELT_MarnoPidesta";

// MD5 of the low 32 bits of fileLength as a signed decimal ("%d"), then the salt.
BackupDigest ComputeBackupDigest(uint32_t fileLength);

// The reader's form: each byte with "%x", a single character preceded by "0".
std::string DigestToHexText(const BackupDigest& digest);
// The writer's form: each byte with "%02x". Always equal to DigestToHexText.
std::string DigestHexText(const BackupDigest& digest);
// The writer's conversion back to bytes: '0'-'9' and 'a'-'f' give 0-15, high nibble first.
// False (out unchanged) unless hex is exactly 32 such characters.
bool HexTextToDigest(std::string_view hex, BackupDigest& out);

}  // namespace larkpost
