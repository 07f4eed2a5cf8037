// The container: which files validate, and what their count says.
#include "backupfile/backup_file.h"

#include <gtest/gtest.h>

#include <string>

#include "backupfile/backup_test_util.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

using testing::BackupBytes;
using testing::DigestBytes;
using testing::GoldenRecord;
using testing::TempDir;
using testing::WriteBytes;

// ---- ValidateBackupFile ----------------------------------------------------------------------

bool Validates(TempDir& dir, const std::string& bytes, uint32_t* count = nullptr,
               uint64_t* position = nullptr) {
  const std::u16string path = dir.File("check.bak");
  WriteBytes(path, bytes);
  CFile file(path, CFile::modeRead | CFile::shareDenyNone);
  uint32_t records = 0xFFFF;
  const bool valid = ValidateBackupFile(file, records);
  if (count != nullptr) *count = records;
  if (position != nullptr) *position = file.GetPosition();
  return valid;
}

TEST(ValidateBackupFile, AcceptsExactlyTheLengthTheDigestNames) {
  TempDir dir;
  GoldenRecord r;
  r.text = "hi";
  const std::string good = BackupBytes({r, r}, 7);
  uint32_t count = 0;
  uint64_t position = 0;
  EXPECT_TRUE(Validates(dir, good, &count, &position));
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(position, 20u);

  EXPECT_FALSE(Validates(dir, good + "x"));
  EXPECT_FALSE(Validates(dir, good.substr(0, good.size() - 1)));
  std::string flippedDigest = good;
  flippedDigest[3] ^= 0x40;
  EXPECT_FALSE(Validates(dir, flippedDigest));
  // The digest covers the length only: a changed byte inside a record passes.
  std::string flippedRecord = good;
  flippedRecord[30] ^= 0x40;
  EXPECT_TRUE(Validates(dir, flippedRecord));
}

TEST(ValidateBackupFile, RejectsFilesThatAreNoBackups) {
  TempDir dir;
  EXPECT_FALSE(Validates(dir, ""));
  EXPECT_FALSE(Validates(dir, "short"));
  EXPECT_FALSE(Validates(dir, "Sender: \"Ann\" <+49151>\r\nRecipients: \r\n"));
  EXPECT_FALSE(Validates(dir, std::string(20, '\0')));
}

TEST(ValidateBackupFile, CountCutShortKeepsTheBytesPresent) {
  TempDir dir;
  uint32_t count = 0;
  EXPECT_TRUE(Validates(dir, DigestBytes(16), &count));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(Validates(dir, DigestBytes(18) + "\x05\x01", &count));
  EXPECT_EQ(count, 0x0105u);
}

}  // namespace
}  // namespace larkpost
