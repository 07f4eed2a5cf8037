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

TEST(DigestHexText, IsLowerCaseWithTwoCharactersPerByte) {
  BackupDigest digest{0x0A, 0xBC, 0x00, 0x01, 0xF0, 0x0F, 0xFF, 0x10};
  const std::string expected = "0abc0001f00fff10" + std::string(16, '0');
  EXPECT_EQ(larkpost::DigestToHexText(digest), expected);
  EXPECT_EQ(larkpost::DigestHexText(digest), expected);
  EXPECT_EQ(larkpost::DigestToHexText(larkpost::ComputeBackupDigest(20)),
            larkpost::DigestHexText(larkpost::ComputeBackupDigest(20)));
}

TEST(HexTextToDigest, ReadsTheWritersForm) {
  BackupDigest digest{};
  ASSERT_TRUE(larkpost::HexTextToDigest("0abc0001f00fff1023456789abcdef00", digest));
  EXPECT_EQ(digest, (BackupDigest{0x0A, 0xBC, 0x00, 0x01, 0xF0, 0x0F, 0xFF, 0x10, 0x23, 0x45, 0x67, 0x89, 0xAB,
                                  0xCD, 0xEF, 0x00}));
  const BackupDigest computed = larkpost::ComputeBackupDigest(4242);
  ASSERT_TRUE(larkpost::HexTextToDigest(larkpost::DigestHexText(computed), digest));
  EXPECT_EQ(digest, computed);
}

TEST(HexTextToDigest, RefusesOtherCharactersAndLengths) {
  const BackupDigest before{1, 2, 3};
  BackupDigest digest = before;
  EXPECT_FALSE(larkpost::HexTextToDigest("0ABC0001f00fff1023456789abcdef00", digest));  // upper case
  EXPECT_FALSE(larkpost::HexTextToDigest("0abc0001f00fff1023456789abcdef0g", digest));
  EXPECT_FALSE(larkpost::HexTextToDigest("0abc0001f00fff1023456789abcdef0", digest));
  EXPECT_FALSE(larkpost::HexTextToDigest("0abc0001f00fff1023456789abcdef000", digest));
  EXPECT_FALSE(larkpost::HexTextToDigest("", digest));
  EXPECT_EQ(digest, before);
}
