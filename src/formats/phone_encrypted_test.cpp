// Encrypted exports of "SMS Import / Export", built the way the app writes them, read back to
// their messages; each damage and a wrong passphrase refused with its own failure.
#include "formats/phone_encrypted.h"

#include <gtest/gtest.h>

#include "formats/age_primitives.h"
#include "formats/formats_test_util.h"
#include "formats/phone_zip.h"
#include "message/message_record.h"

namespace larkpost {
namespace {

std::string DecryptAll(const std::string& file, const std::string& passphrase) {
  age::MemoryInput input(file);
  PhoneExportDecryptor decryptor(input, passphrase);
  std::string plain;
  std::string_view piece;
  while (decryptor.Next(piece)) plain.append(piece);
  return plain;
}

age::AgeError::Kind FailureOf(const std::string& file, const std::string& passphrase) {
  try {
    DecryptAll(file, passphrase);
  } catch (const age::AgeError& error) {
    return error.kind;
  }
  ADD_FAILURE() << "decrypted";
  return age::AgeError::Kind::kKey;
}

TEST(PhoneEncryptedExport, TheAppsEncryptedZipReadsBackToItsMessages) {
  std::string lines;
  for (int i = 0; i < 40; ++i) {
    lines += testing::AppLine("\"+4915112345678\"", std::to_string(1700000000000 + i), "1",
                              "\"message " + std::to_string(i) + "\"");
  }
  const std::string zip = testing::ZipOf({{"messages.ndjson", lines}});
  const std::string file = testing::AppEncryptedExport(zip, "correct horse");  // the app's own settings
  EXPECT_TRUE(LooksPhoneEncrypted(file));
  ASSERT_EQ(DecryptAll(file, "correct horse"), zip);
  auto reader = JoinedReader(ZipEntriesInBuffer(zip));
  MessageRecord record;
  int count = 0;
  while (reader->Next(record)) ++count;
  EXPECT_EQ(count, 40);
}

TEST(PhoneEncryptedExport, EachDamageAndAWrongPassphraseHasItsFailure) {
  using Kind = age::AgeError::Kind;
  const std::string plain(2500, 'z');
  // Small chunks and light key derivation: several chunks, quickly.
  const std::string file = testing::AppEncryptedExport(plain, "pw", 1000, true, 1, 8);
  const size_t start = 36 + 24;
  ASSERT_EQ(DecryptAll(file, "pw"), plain);
  EXPECT_EQ(FailureOf(file, "PW"), Kind::kNoMatch);
  std::string flipped = file;
  flipped[start + 1017 + 10] ^= 1;
  EXPECT_EQ(FailureOf(flipped, "pw"), Kind::kModified);
  EXPECT_EQ(FailureOf(file.substr(0, start + 2 * 1017), "pw"), Kind::kTruncated);
  EXPECT_EQ(FailureOf(file.substr(0, file.size() - 3), "pw"), Kind::kModified);
  EXPECT_EQ(FailureOf(file + "x", "pw"), Kind::kModified);
  std::string version = file;
  version[7] = 2;
  EXPECT_EQ(FailureOf(version, "pw"), Kind::kHeader);
  std::string greedy = file;
  greedy[12] = 0x7F;  // memory cost of terabytes: refused before any work
  EXPECT_EQ(FailureOf(greedy, "pw"), Kind::kHeader);
  // Without the FINAL tag a short last chunk still ends the stream; a full one may be cut.
  EXPECT_EQ(DecryptAll(testing::AppEncryptedExport(plain, "pw", 1000, false, 1, 8), "pw"), plain);
  EXPECT_EQ(FailureOf(testing::AppEncryptedExport(std::string(2000, 'y'), "pw", 1000, false, 1, 8), "pw"),
            Kind::kTruncated);
}

}  // namespace
}  // namespace larkpost
