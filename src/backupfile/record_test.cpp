// The record layout: reading lines and fields exactly as they stand in the file. Writing them
// from a store and putting them back into one: jobs/store_backup_test.cpp and
// jobs/restore_records_test.cpp.
#include "backupfile/record.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "backupfile/backup_file.h"
#include "backupfile/backup_test_util.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

using testing::BackupOfRawRecords;
using testing::GoldenRecord;
using testing::kMay1;
using testing::kMay1Later;
using testing::RecordBytes;
using testing::Sample;
using testing::TempDir;
using testing::WriteBytes;

// A file of the given bytes, open for reading.
struct ReadFile {
  ReadFile(TempDir& dir, const std::string& bytes) : path(dir.File("input.bin")) {
    WriteBytes(path, bytes);
    file.Open(path, CFile::modeRead | CFile::shareDenyNone);
  }
  std::u16string path;
  CFile file;
};

// ---- ReadTextLine -----------------------------------------------------------------------------

TEST(ReadTextLine, EndsAtLineFeedAndDropsCarriageReturns) {
  TempDir dir;
  ReadFile in(dir, "ab\r\ncd\n\nef\r");
  std::string line;
  EXPECT_EQ(ReadTextLine(in.file, line), LineEnd::kLineFeed);
  EXPECT_EQ(line, "ab");
  EXPECT_EQ(ReadTextLine(in.file, line), LineEnd::kLineFeed);
  EXPECT_EQ(line, "cd");
  EXPECT_EQ(ReadTextLine(in.file, line), LineEnd::kLineFeed);
  EXPECT_EQ(line, "");
  EXPECT_EQ(ReadTextLine(in.file, line), LineEnd::kEndOfFile);
  EXPECT_EQ(line, "ef");
  EXPECT_EQ(ReadTextLine(in.file, line), LineEnd::kEndOfFile);
  EXPECT_EQ(line, "");
}

TEST(ReadTextLine, ReadsLinesWholeUpToTheLimit) {
  TempDir dir;
  const std::string longest(kMaxLineBytes, 'x');
  ReadFile in(dir, std::string(5000, 'a') + "\n" + longest + "\n" + longest + "yz\n");
  std::string line;
  EXPECT_EQ(ReadTextLine(in.file, line), LineEnd::kLineFeed);
  EXPECT_EQ(line.size(), 5000u);
  EXPECT_EQ(ReadTextLine(in.file, line), LineEnd::kLineFeed);
  EXPECT_EQ(line, longest);
  EXPECT_EQ(ReadTextLine(in.file, line), LineEnd::kTooLong);
}

// ---- ReadRecordFields ------------------------------------------------------------------------

TEST(ReadRecordFields, ReadsGoldenRecordsExactly) {
  TempDir dir;
  GoldenRecord second;
  second.messageClass = "IPM.Other";
  second.folderPath = "Sentedbox";
  second.deliveryTime = 0x0102030405060708;
  second.lastModified = 0xF1F2F3F4F5F6F7F8;
  second.flags = 0xDEADBEEF;
  second.size = 7;
  second.recipients = "";
  second.sender = "\"Caf\xE9\" <123>";
  second.text = "two\nlines\n";  // its own line breaks stay; only the appended one goes
  ReadFile in(dir, RecordBytes(Sample()) + RecordBytes(second));

  RecordFields fields;
  std::u16string error;
  ASSERT_TRUE(ReadRecordFields(in.file, fields, error)) << WideToUtf8(error);
  EXPECT_EQ(fields.messageClass, u"IPM.SMStext");
  EXPECT_EQ(fields.folderPath, u"Inbox\\Work");
  EXPECT_EQ(FileTimeToUInt64(fields.lastModified), kMay1Later);
  EXPECT_EQ(FileTimeToUInt64(fields.deliveryTime), kMay1);
  EXPECT_EQ(fields.flags, 1u);
  EXPECT_EQ(fields.size, 42u);
  EXPECT_EQ(fields.recipients, u"\"Bob\" <+4930123> 1;\"Eve\" <+4940456> 2");
  EXPECT_EQ(fields.sender, u"\"Ann\" <+4915112345678>");
  EXPECT_EQ(fields.text, u"See you at 8");

  ASSERT_TRUE(ReadRecordFields(in.file, fields, error)) << WideToUtf8(error);
  EXPECT_EQ(fields.messageClass, u"IPM.Other");
  EXPECT_EQ(fields.deliveryTime.dwLowDateTime, 0x05060708u);
  EXPECT_EQ(fields.deliveryTime.dwHighDateTime, 0x01020304u);
  EXPECT_EQ(fields.lastModified.dwHighDateTime, 0xF1F2F3F4u);
  EXPECT_EQ(fields.flags, 0xDEADBEEFu);
  EXPECT_EQ(fields.recipients, u"");
  EXPECT_EQ(fields.sender, u"\"Caf\u00E9\" <123>");
  EXPECT_EQ(fields.text, u"two\nlines\n");

  EXPECT_FALSE(ReadRecordFields(in.file, fields, error));
  EXPECT_EQ(error, u"Read folder line error!");
}

// A record's end is found from its line ends and text length alone, where the reader ends it:
// line feeds and carriage returns among the fixed fields and in the text do not end it early.
TEST(RecordSize, EndsARecordWhereTheReaderDoes) {
  TempDir dir;
  GoldenRecord tricky;
  tricky.lastModified = 0x0A0D0A0D0A0D0A0D;
  tricky.deliveryTime = 0x0A0A0A0A0A0A0A0A;
  tricky.flags = 0x0A0A0A0A;
  tricky.size = 0x0D0A;
  tricky.recipients = "\"Bob\r\" <+4930123> 1";
  tricky.text = "\n\na\r\n";
  for (const GoldenRecord& golden : {Sample(), tricky}) {
    const std::string bytes = RecordBytes(golden);
    ReadFile in(dir, bytes + RecordBytes(Sample()));
    RecordFields fields;
    std::u16string error;
    ASSERT_TRUE(ReadRecordFields(in.file, fields, error)) << WideToUtf8(error);
    ASSERT_EQ(in.file.GetPosition(), bytes.size());
    EXPECT_EQ(RecordSize(bytes + RecordBytes(Sample())), bytes.size());
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
      EXPECT_EQ(RecordSize(std::string_view(bytes).substr(0, cut)), 0u) << "cut at " << cut;
    }
  }
}

TEST(ReadRecordFields, RecordCutShortAnywhereIsAnError) {
  TempDir dir;
  const std::string record = RecordBytes(Sample());
  for (size_t length = 0; length < record.size(); ++length) {
    ReadFile in(dir, record.substr(0, length));
    RecordFields fields;
    std::u16string error;
    ASSERT_FALSE(ReadRecordFields(in.file, fields, error)) << "cut at " << length;
    // Inside the class line the folder line comes back empty; inside the text the length
    // points past the end; anywhere else the file ends inside a field.
    const size_t textStart = record.size() - (Sample().text.size() + 1);
    const char16_t* expected = length <= std::string("IPM.SMStext\n").size()
                                   ? u"Read folder line error!"
                               : length >= textStart ? u"Message text length error!"
                                                     : u"Record truncated error!";
    EXPECT_EQ(error, expected) << "cut at " << length;
  }
}

TEST(ReadRecordFields, TextLengthPastTheEndIsAnError) {
  TempDir dir;
  std::string record = RecordBytes(Sample());
  const size_t lengthAt = record.size() - Sample().text.size() - 1 - 4;
  for (uint32_t length : {0xFFFFFFFFu, static_cast<uint32_t>(Sample().text.size() + 2)}) {
    std::string broken = record;
    for (int i = 0; i < 4; ++i) broken[lengthAt + i] = static_cast<char>(length >> (8 * i));
    ReadFile in(dir, broken);
    RecordFields fields;
    std::u16string error;
    EXPECT_FALSE(ReadRecordFields(in.file, fields, error));
    EXPECT_EQ(error, u"Message text length error!");
  }
}

// A text longer than any message is refused: from its length field, before it is read whole,
// and, within that, when it holds more characters than a message may (no other format could
// carry it on).
TEST(ReadRecordFields, TextLongerThanAnyMessageIsAnError) {
  TempDir dir;
  // With its line feed one byte past the field's limit; one character past a message's.
  for (size_t length : {(size_t{2} << 20) + 1, kMaxTextChars + 1}) {
    GoldenRecord r = Sample();
    r.text = std::string(length, 'x');
    ReadFile in(dir, RecordBytes(r));
    RecordFields fields;
    std::u16string error;
    EXPECT_FALSE(ReadRecordFields(in.file, fields, error)) << length;
    EXPECT_EQ(error, u"Message text length error!");
  }
  GoldenRecord longest = Sample();
  longest.text = std::string(kMaxTextChars, 'x');
  ReadFile in(dir, RecordBytes(longest));
  RecordFields fields;
  std::u16string error;
  EXPECT_TRUE(ReadRecordFields(in.file, fields, error)) << WideToUtf8(error);
  EXPECT_EQ(fields.text.size(), kMaxTextChars);
}

// A NUL in a folder, sender or recipient line cannot be kept by the store (a folder would be
// created cut short, or not at all; a sender cut would make each rerun add the message again):
// the checker that restore and verify share refuses it with the text a restore gives.
TEST(ReadRecord, NulInANameIsRefusedAsARestoreWouldRefuseIt) {
  TempDir dir;
  // "|" stands for the NUL; each line is well-formed without it.
  const std::pair<std::string GoldenRecord::*, std::string> cases[] = {
      {&GoldenRecord::folderPath, "Inbox\\..\\/etc/passwd\\ \\|"},
      {&GoldenRecord::sender, "\"Ann\" <+49|151>"},
      {&GoldenRecord::recipients, "\"Bob\" <+49|30> 1"},
  };
  const std::u16string expected[] = {u"Create folder 'Inbox\\..\\/etc/passwd\\ \\' error!",
                                     u"Parse sender info error!", u"Parse recipient error!"};
  for (size_t i = 0; i < std::size(cases); ++i) {
    for (bool withNul : {false, true}) {
      GoldenRecord r = Sample();
      std::string line = cases[i].second;
      const size_t bar = line.find('|');
      if (withNul) {
        line[bar] = '\0';
      } else {
        line.erase(bar, 1);
      }
      r.*cases[i].first = line;
      ReadFile in(dir, RecordBytes(r));
      MessageRecord record;
      std::u16string error;
      EXPECT_EQ(ReadRecord(in.file, record, error), !withNul) << i;
      if (withNul) {
        EXPECT_EQ(error, expected[i]);
      }
    }
  }
}

TEST(ReadRecordFields, GiantLineIsAnError) {
  TempDir dir;
  GoldenRecord r = Sample();
  r.recipients = std::string(kMaxLineBytes + 1, ';');
  ReadFile in(dir, RecordBytes(r));
  RecordFields fields;
  std::u16string error;
  EXPECT_FALSE(ReadRecordFields(in.file, fields, error));
  EXPECT_EQ(error, u"Text line too long error!");
}

TEST(ReadRecordFields, FlippedBytesGiveFieldsOrAnErrorNeverACrash) {
  TempDir dir;
  const std::string bytes = RecordBytes(Sample()) + RecordBytes(Sample());
  for (size_t at = 0; at < bytes.size(); ++at) {
    for (char replacement : {'\n', '\0', '\xFF', static_cast<char>(bytes[at] ^ 0x01)}) {
      std::string flipped = bytes;
      flipped[at] = replacement;
      ReadFile in(dir, flipped);
      RecordFields fields;
      std::u16string error;
      while (ReadRecordFields(in.file, fields, error)) {
      }
      EXPECT_FALSE(error.empty()) << "byte " << at;
    }
  }
}

}  // namespace
}  // namespace larkpost
