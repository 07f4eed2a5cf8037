#include "backupfile/record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backupfile/backup_file.h"
#include "backupfile/backup_test_util.h"
#include "jobs/job_records.h"

namespace larkpost {
namespace {

using testing::AddMessage;
using testing::BackupBytes;
using testing::BackupOfRawRecords;
using testing::GoldenRecord;
using testing::ListedMessage;
using testing::ListStore;
using testing::ReadBytes;
using testing::RecordBytes;
using testing::StoreMessage;
using testing::TempStore;
using testing::WriteBytes;

constexpr uint64_t kMay1 = 133590402000000000;      // 2024-05-01 12:30:00 UTC
constexpr uint64_t kMay1Later = 133590402600000000;  // one minute later

// A file of the given bytes, open for reading.
struct ReadFile {
  ReadFile(TempStore& store, const std::string& bytes) : path(store.File("input.bin")) {
    WriteBytes(path, bytes);
    file.Open(path, CFile::modeRead | CFile::shareDenyNone);
  }
  std::u16string path;
  CFile file;
};

// Restores a backup file into the current store the way a restore run does: validate, then
// read the counted records. "" on success, else "No.<n>, <error>".
std::u16string Restore(TempStore& store, const std::string& bytes) {
  const std::u16string path = store.File("restore.bak");
  WriteBytes(path, bytes);
  RestoreJob job(path);
  EXPECT_EQ(job.session.initialized, 1);
  CFile file(path, CFile::modeRead | CFile::shareDenyNone);
  uint32_t count = 0;
  if (!ValidateBackupFile(file, count)) return u"File Validation Failed.";
  for (uint32_t i = 1; i <= count; ++i) {
    std::u16string error;
    if (!ReadMessageRecord(job, file, error)) {
      const std::string number = std::to_string(i);
      return u"No." + std::u16string(number.begin(), number.end()) + u", " + error;
    }
  }
  return u"";
}

GoldenRecord Sample() {
  GoldenRecord r;
  r.folderPath = "Inbox\\Work";
  r.lastModified = kMay1Later;
  r.deliveryTime = kMay1;
  r.flags = 1;
  r.size = 42;
  r.recipients = "\"Bob\" <+4930123> 1;\"Eve\" <+4940456> 2";
  r.sender = "\"Ann\" <+4915112345678>";
  r.text = "See you at 8";
  return r;
}

ListedMessage SampleListed() {
  return {u"Inbox\\Work", u"See you at 8", kMay1Later, kMay1, 1, 42,
          u"\"Ann\" <+4915112345678>", u"Bob|+4930123|1;Eve|+4940456|2"};
}

size_t InboxSubfolderCount() {
  SmsSession session(u"SMS");
  auto* subfolders = session.StandardFolder(FolderKind::Inbox)->Subfolders();
  return subfolders == nullptr ? 0 : subfolders->size();
}

// ---- ReadTextLine -----------------------------------------------------------------------------

TEST(ReadTextLine, EndsAtLineFeedAndDropsCarriageReturns) {
  TempStore store;
  ReadFile in(store, "ab\r\ncd\n\nef\r");
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
  TempStore store;
  const std::string longest(kMaxLineBytes, 'x');
  ReadFile in(store, std::string(5000, 'a') + "\n" + longest + "\n" + longest + "yz\n");
  std::string line;
  EXPECT_EQ(ReadTextLine(in.file, line), LineEnd::kLineFeed);
  EXPECT_EQ(line.size(), 5000u);
  EXPECT_EQ(ReadTextLine(in.file, line), LineEnd::kLineFeed);
  EXPECT_EQ(line, longest);
  EXPECT_EQ(ReadTextLine(in.file, line), LineEnd::kTooLong);
}

// ---- ReadRecordFields ------------------------------------------------------------------------

TEST(ReadRecordFields, ReadsGoldenRecordsExactly) {
  TempStore store;
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
  ReadFile in(store, RecordBytes(Sample()) + RecordBytes(second));

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

TEST(ReadRecordFields, RecordCutShortAnywhereIsAnError) {
  TempStore store;
  const std::string record = RecordBytes(Sample());
  for (size_t length = 0; length < record.size(); ++length) {
    ReadFile in(store, record.substr(0, length));
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
  TempStore store;
  std::string record = RecordBytes(Sample());
  const size_t lengthAt = record.size() - Sample().text.size() - 1 - 4;
  for (uint32_t length : {0xFFFFFFFFu, static_cast<uint32_t>(Sample().text.size() + 2)}) {
    std::string broken = record;
    for (int i = 0; i < 4; ++i) broken[lengthAt + i] = static_cast<char>(length >> (8 * i));
    ReadFile in(store, broken);
    RecordFields fields;
    std::u16string error;
    EXPECT_FALSE(ReadRecordFields(in.file, fields, error));
    EXPECT_EQ(error, u"Message text length error!");
  }
}

TEST(ReadRecordFields, GiantLineIsAnError) {
  TempStore store;
  GoldenRecord r = Sample();
  r.recipients = std::string(kMaxLineBytes + 1, ';');
  ReadFile in(store, RecordBytes(r));
  RecordFields fields;
  std::u16string error;
  EXPECT_FALSE(ReadRecordFields(in.file, fields, error));
  EXPECT_EQ(error, u"Text line too long error!");
}

TEST(ReadRecordFields, FlippedBytesGiveFieldsOrAnErrorNeverACrash) {
  TempStore store;
  const std::string bytes = RecordBytes(Sample()) + RecordBytes(Sample());
  for (size_t at = 0; at < bytes.size(); ++at) {
    for (char replacement : {'\n', '\0', '\xFF', static_cast<char>(bytes[at] ^ 0x01)}) {
      std::string flipped = bytes;
      flipped[at] = replacement;
      ReadFile in(store, flipped);
      RecordFields fields;
      std::u16string error;
      while (ReadRecordFields(in.file, fields, error)) {
      }
      EXPECT_FALSE(error.empty()) << "byte " << at;
    }
  }
}

// ---- ReadMessageRecord -----------------------------------------------------------------------

TEST(ReadMessageRecord, RestoresMessageIntoItsFolder) {
  TempStore store;
  EXPECT_EQ(Restore(store, BackupBytes({Sample()})), u"");
  EXPECT_EQ(ListStore(), std::vector<ListedMessage>{SampleListed()});
}

TEST(ReadMessageRecord, FolderPathNamesStandardFolderInAnyCaseAndTrimsSubfolders) {
  TempStore store;
  GoldenRecord a = Sample(), b = Sample(), c = Sample(), d = Sample();
  a.folderPath = "iNBOX";
  b.folderPath = "inbox\\  Work ";
  b.deliveryTime = kMay1 + 1;
  c.folderPath = "SENTEDBOX\\";
  d.folderPath = "Inbox\\Work";
  d.deliveryTime = kMay1 + 2;
  EXPECT_EQ(Restore(store, BackupBytes({a, b, c, d})), u"");
  const std::vector<ListedMessage> listed = ListStore();
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[0].folderPath, u"Inbox");
  EXPECT_EQ(listed[1].folderPath, u"Inbox\\Work");
  EXPECT_EQ(listed[2].folderPath, u"Inbox\\Work");
  EXPECT_EQ(listed[3].folderPath, u"Sentedbox\\NewFolder");
  EXPECT_EQ(InboxSubfolderCount(), 1u);
}

TEST(ReadMessageRecord, RestoringTwiceAddsNothing) {
  TempStore store;
  GoldenRecord other = Sample();
  other.folderPath = "Inbox";
  other.text = "another";
  const std::string file = BackupBytes({Sample(), other});
  EXPECT_EQ(Restore(store, file), u"");
  const std::vector<ListedMessage> once = ListStore();
  EXPECT_EQ(Restore(store, file), u"");
  EXPECT_EQ(ListStore(), once);
  EXPECT_EQ(once.size(), 2u);
}

TEST(ReadMessageRecord, SameDeliveryTimeWithOtherTextIsNoDuplicate) {
  TempStore store;
  GoldenRecord other = Sample();
  other.text = "Another text at the same second";
  EXPECT_EQ(Restore(store, BackupBytes({Sample(), other})), u"");
  EXPECT_EQ(ListStore().size(), 2u);
}

// A message without a delivery time (a draft) is recognised like any other.
TEST(ReadMessageRecord, DraftRestoredTwiceIsThereOnce) {
  TempStore store;
  GoldenRecord r = Sample();
  r.deliveryTime = 0;
  EXPECT_EQ(Restore(store, BackupBytes({r})), u"");
  EXPECT_EQ(Restore(store, BackupBytes({r})), u"");
  EXPECT_EQ(ListStore().size(), 1u);
}

// Equal records count as a multiset: a resent "OK", or two copies of one message, restore as
// as many messages as the file holds, and the same "OK" to two people are two messages.
TEST(ReadMessageRecord, EqualRecordsAreNeverMerged) {
  TempStore store;
  GoldenRecord ok = Sample();
  ok.text = "OK";
  GoldenRecord toEve = ok;
  toEve.recipients = "\"Eve\" <+4940456> 1";
  const std::string file = BackupBytes({ok, ok, toEve});
  EXPECT_EQ(Restore(store, file), u"");
  EXPECT_EQ(ListStore().size(), 3u);
  EXPECT_EQ(Restore(store, file), u"");
  EXPECT_EQ(ListStore().size(), 3u);
  // A store that held one of the two equal messages gets the second.
  TempStore other;
  {
    RestoreJob job(u"unused");
    AddMessage(job.session, {u"Inbox\\Work", u"OK", kMay1Later, kMay1, 1, 42, u"Ann",
                             u"+4915112345678", {{u"Bob", u"+4930123", 1}, {u"Eve", u"+4940456", 2}}});
  }
  EXPECT_EQ(Restore(other, BackupBytes({ok, ok})), u"");
  EXPECT_EQ(ListStore().size(), 2u);
}

// Restore, verify and show decide with one checker: a record is checked whether or not its
// message is already present.
TEST(ReadMessageRecord, EveryRecordIsCheckedEvenWhenPresent) {
  TempStore store;
  {
    RestoreJob job(u"unused");
    AddMessage(job.session, {u"Inbox\\Work", u"See you at 8", 0, kMay1});
  }
  GoldenRecord bogus = Sample();
  bogus.messageClass = "IPM.Bogus";
  EXPECT_EQ(Restore(store, BackupBytes({bogus})), u"No.1, Unknow message class name!");
  EXPECT_EQ(ListStore().size(), 1u);
}

TEST(ReadMessageRecord, TextOutsideTheCodePageIsRecognisedInTheOriginalStore) {
  TempStore store;
  {
    RestoreJob job(u"unused");
    AddMessage(job.session, {u"Inbox", u"Caf\u00E9 \u4E2D", 0, kMay1});
  }
  GoldenRecord same;
  same.deliveryTime = kMay1;
  same.text = "Caf\xE9 ?";  // what a backup keeps of it in Windows-1252
  GoldenRecord other = same;
  other.text = "Caf\xE9 !";
  EXPECT_EQ(Restore(store, BackupBytes({same, other})), u"");
  const std::vector<ListedMessage> listed = ListStore();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].text, u"Caf\u00E9 \u4E2D");
  EXPECT_EQ(listed[1].text, u"Caf\u00E9 !");
}

TEST(ReadMessageRecord, SemicolonInsideRecipientNameOrAddressIsKept) {
  TempStore store;
  GoldenRecord r = Sample();
  r.recipients = "\"Smith; John\" <+1> 1;\"Ann\" <a;b;c> 3;\"\" <> 0;\"" +
                 std::string(16, ';') + "\" <> 1";
  EXPECT_EQ(Restore(store, BackupBytes({r})), u"");
  const std::vector<ListedMessage> listed = ListStore();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].recipients,
            u"Smith; John|+1|1;Ann|a;b;c|3;||0;" + std::u16string(16, u';') + u"||1");
}

TEST(ReadMessageRecord, LongRecipientListIsReadWhole) {
  TempStore store;
  GoldenRecord r = Sample();
  r.recipients.clear();
  std::u16string expected;
  for (int i = 0; i < 300; ++i) {
    const std::string n = std::to_string(i);
    r.recipients += (i > 0 ? ";" : "") + ("\"Member " + n + "\" <+49151000" + n + "> 1");
    expected += (i > 0 ? u";" : u"") + Utf8ToWide("Member " + n + "|+49151000" + n + "|1");
  }
  ASSERT_GT(r.recipients.size(), 1023u);
  EXPECT_EQ(Restore(store, BackupBytes({r})), u"");
  EXPECT_EQ(ListStore().at(0).recipients, expected);
}

TEST(ReadMessageRecord, TextKeepsItsOwnLineBreaksAndNoExtraOne) {
  TempStore store;
  GoldenRecord r = Sample();
  r.text = "line one\nline two\n\n";
  EXPECT_EQ(Restore(store, BackupBytes({r})), u"");
  EXPECT_EQ(ListStore().at(0).text, u"line one\nline two\n\n");
}

struct BrokenRecordCase {
  const char* name;
  GoldenRecord record;
  const char16_t* error;
};

// Each error of the reader, reached by a record that would otherwise go into a new subfolder:
// nothing at all may be created for it.
TEST(ReadMessageRecord, BrokenRecordLeavesStoreUntouched) {
  auto with = [](auto change) {
    GoldenRecord r = Sample();
    r.folderPath = "Inbox\\New";
    change(r);
    return r;
  };
  const BrokenRecordCase cases[] = {
      {"empty folder line", with([](GoldenRecord& r) { r.folderPath = ""; }),
       u"No.1, Read folder line error!"},
      {"unknown standard folder", with([](GoldenRecord& r) { r.folderPath = "Outbox2\\X"; }),
       u"No.1, Create folder 'Outbox2\\X' error!"},
      {"path too deep", with([](GoldenRecord& r) {
         for (int i = 0; i < 65; ++i) r.folderPath += "\\x";
       }),
       u"No.1, Folder path too deep error!"},
      {"class", with([](GoldenRecord& r) { r.messageClass = "IPM.SMSText"; }),
       u"No.1, Unknow message class name!"},
      {"recipient", with([](GoldenRecord& r) { r.recipients = "\"Bob\" <+1> 1;Eve"; }),
       u"No.1, Parse recipient error!"},
      {"trailing semicolon", with([](GoldenRecord& r) { r.recipients = "\"Bob\" <+1> 1;"; }),
       u"No.1, Parse recipient error!"},
      {"many broken pieces", with([](GoldenRecord& r) {
         r.recipients.clear();
         for (int i = 0; i < 100000; ++i) r.recipients += "\"x> 1;";
       }),
       u"No.1, Parse recipient error!"},
      {"costly entries", with([](GoldenRecord& r) {
         r.recipients.clear();
         while (r.recipients.size() < 500000) r.recipients += "\" <";
       }),
       u"No.1, Parse recipient error!"},
      {"costly sender", with([](GoldenRecord& r) {
         r.sender.clear();
         while (r.sender.size() < 500000) r.sender += "\" <";
       }),
       u"No.1, Parse sender info error!"},
      {"sender", with([](GoldenRecord& r) { r.sender = "+4915112345678"; }),
       u"No.1, Parse sender info error!"},
  };
  for (const BrokenRecordCase& c : cases) {
    TempStore store;
    EXPECT_EQ(Restore(store, BackupBytes({c.record})), c.error) << c.name;
    EXPECT_TRUE(ListStore().empty()) << c.name;
    EXPECT_EQ(InboxSubfolderCount(), 0u) << c.name;
  }
}

TEST(ReadMessageRecord, BrokenBytesLeaveStoreUntouched) {
  TempStore store;
  std::string record = RecordBytes(Sample());
  const std::string withHugeLength =
      record.substr(0, record.size() - 13 - 4) + std::string("\xFF\xFF\xFF\x7F", 4) +
      record.substr(record.size() - 13);
  EXPECT_EQ(Restore(store, BackupOfRawRecords(withHugeLength, 1)),
            u"No.1, Message text length error!");
  EXPECT_EQ(Restore(store, BackupOfRawRecords(record.substr(0, 40), 1)),
            u"No.1, Record truncated error!");
  GoldenRecord giant = Sample();
  giant.sender = std::string(kMaxLineBytes + 10, '"');
  EXPECT_EQ(Restore(store, BackupBytes({giant})), u"No.1, Text line too long error!");
  EXPECT_TRUE(ListStore().empty());
  EXPECT_EQ(InboxSubfolderCount(), 0u);
}

TEST(ReadMessageRecord, CountBeyondTheRecordsEndsAtTheFirstMissingOne) {
  TempStore store;
  EXPECT_EQ(Restore(store, BackupBytes({Sample()}, 2)), u"No.2, Read folder line error!");
  EXPECT_EQ(ListStore().size(), 1u);
}

// A message the store refuses halfway leaves nothing behind (no blank message, none without its
// recipients), so a rerun restores it whole.
TEST(ReadMessageRecord, StoreRefusalsAreReportedAndLeaveNoPartialMessage) {
  TempStore store;
  mapi::AddFault("IMAPIFolder::CreateFolder", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(Restore(store, BackupBytes({Sample()})), u"No.1, Create folder 'Inbox\\Work' error!");
  mapi::ClearFaults();
  mapi::AddFault("IMAPIFolder::CreateMessage", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(Restore(store, BackupBytes({Sample()})), u"No.1, Create message error!");
  mapi::ClearFaults();
  mapi::AddFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(Restore(store, BackupBytes({Sample()})), u"No.1, Save sms error!");
  EXPECT_TRUE(ListStore().empty());
  mapi::ClearFaults();
  mapi::AddFault("IMessage::ModifyRecipients", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(Restore(store, BackupBytes({Sample()})), u"No.1, Save sms error!");
  EXPECT_TRUE(ListStore().empty());
  mapi::ClearFaults();
  EXPECT_EQ(Restore(store, BackupBytes({Sample()})), u"");
  EXPECT_EQ(ListStore(), std::vector<ListedMessage>{SampleListed()});
}

// ---- Writing records -------------------------------------------------------------------------

// Writes the records of every message of the store's Inbox tree (the folder the jobs of these
// tests select), in walk order, without the container.
std::string WriteInboxRecords(TempStore& store, BackupJob& job) {
  const std::u16string path = store.File("records.bin");
  {
    CFile file(path, CFile::modeCreate | CFile::modeWrite);
    EXPECT_TRUE(WriteSelectedFolders(job, file));
    file.Close();
  }
  return ReadBytes(path);
}

TEST(WriteRecords, ReproducesGoldenRecord) {
  TempStore store;
  BackupJob job(kBackupFile, u"unused", 0, 1, 0, 0, 0);
  AddMessage(job.session, {u"Inbox\\Work", u"See you at 8", kMay1Later, kMay1, 1, 42, u"Ann",
                           u"+4915112345678",
                           {{u"Bob", u"+4930123", 1}, {u"Eve", u"+4940456", 2}}});
  AddMessage(job.session, {u"Inbox", u"Caf\u00E9 \u20AC \u4E2D", 0, 0, 0, 0, u"", u""});
  job.total = 2;
  GoldenRecord plain;
  plain.text = "Caf\xE9 \x80 ?";  // Windows-1252; a character it lacks becomes "?"
  EXPECT_EQ(WriteInboxRecords(store, job), RecordBytes(plain) + RecordBytes(Sample()));
  EXPECT_EQ(job.written, 2u);
  EXPECT_EQ(job.progress, 1.0);
}

// Whatever the writer writes, the reader takes back: names far longer than a line of old, names
// with the characters the record uses as separators. (A name holding a whole recipient entry,
// "\" <y> 2;" and all, cannot be told from two entries: it is read, but split there.)
TEST(WriteRecords, WhatTheWriterWritesTheReaderTakes) {
  TempStore store;
  BackupJob job(kBackupFile, u"unused", 0, 1, 0, 0, 0);
  const std::u16string longName(5000, u'n');
  std::u16string awkward;
  for (int i = 0; i < 300; ++i) awkward += u"x>1;\"b\" <c>;";
  AddMessage(job.session, {u"Inbox", u"text", 0, kMay1, 0, 0, longName, u"+49",
                           {{awkward, u"a;b", 1}, {longName, u"+1", 2}}});
  job.total = 1;
  const std::string records = WriteInboxRecords(store, job);
  const std::vector<ListedMessage> before = ListStore();
  store.UseDatabase("fresh.db");
  EXPECT_EQ(Restore(store, BackupOfRawRecords(records, 1)), u"");
  EXPECT_EQ(ListStore(), before);
}

TEST(WriteRecords, LineBreaksInNamesBecomeBlanks) {
  TempStore store;
  BackupJob job(kBackupFile, u"unused", 0, 1, 0, 0, 0);
  AddMessage(job.session, {u"Inbox\\Two\nLines", u"a\r\nb", 0, 0, 0, 0, u"A\rB", u"1\n2",
                           {{u"C\nD", u"3\r\n4", 1}}});
  GoldenRecord expected;
  expected.folderPath = "Inbox\\Two Lines";
  expected.recipients = "\"C D\" <3  4> 1";
  expected.sender = "\"A B\" <1 2>";
  expected.text = "a\r\nb";  // the text is counted, so its line breaks stay
  EXPECT_EQ(WriteInboxRecords(store, job), RecordBytes(expected));
}

}  // namespace
}  // namespace larkpost
