#include "backupfile/digest.h"

#include <gtest/gtest.h>

#include <string>

#include "backupfile/md5.h"

namespace {

using larkpost::BackupDigest;

BackupDigest Md5Of(const std::string& text) { return larkpost::Md5Digest(text.data(), text.size()); }

}  // namespace

TEST(ComputeBackupDigest, IsMd5OfTheLengthFollowedByTheSalt) {
  EXPECT_EQ(larkpost::ComputeBackupDigest(20), Md5Of("20KVELT_MarnoPidesta"));
  EXPECT_EQ(larkpost::ComputeBackupDigest(0), Md5Of("0KVELT_MarnoPidesta"));
  EXPECT_EQ(larkpost::ComputeBackupDigest(123456789), Md5Of("123456789KVELT_MarnoPidesta"));
  EXPECT_NE(larkpost::ComputeBackupDigest(21), larkpost::ComputeBackupDigest(20));
}

TEST(ComputeBackupDigest, LengthsFrom2GiBOnAreWrittenAsNegativeNumbers) {
  EXPECT_EQ(larkpost::ComputeBackupDigest(0x7FFFFFFFu), Md5Of("2147483647KVELT_MarnoPidesta"));
  EXPECT_EQ(larkpost::ComputeBackupDigest(0x80000000u), Md5Of("-2147483648KVELT_MarnoPidesta"));
  EXPECT_EQ(larkpost::ComputeBackupDigest(0xFFFFFFFFu), Md5Of("-1KVELT_MarnoPidesta"));
}

TEST(DigestToHexText, IsLowerCaseWithTwoCharactersPerByte) {
  BackupDigest digest{0x0A, 0xBC, 0x00, 0x01, 0xF0, 0x0F, 0xFF, 0x10};
  const std::string expected = "0abc0001f00fff10" + std::string(16, '0');
  EXPECT_EQ(larkpost::DigestToHexText(digest), expected);
}
