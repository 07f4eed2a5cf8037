// Putting records back into a store: which folder a record names, duplicates, what the record
// reader accepts and keeps, and that a broken record or a store refusal leaves nothing behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jobs/store_backup_test_util.h"
#include "backupfile/record.h"
#include "jobs/job_records.h"

namespace larkpost {
namespace {

using testing::AddMessage;
using testing::BackupBytes;
using testing::BackupOfRawRecords;
using testing::GoldenRecord;
using testing::kMay1;
using testing::kMay1Later;
using testing::ListedMessage;
using testing::ListStore;
using testing::RecordBytes;
using testing::RestoreBytes;
using testing::Sample;
using testing::SampleListed;
using testing::TempStore;

size_t InboxSubfolderCount() {
  SmsSession session(u"SMS");
  auto* subfolders = session.StandardFolder(FolderKind::Inbox)->Subfolders();
  return subfolders == nullptr ? 0 : subfolders->size();
}

TEST(RestoreRecords, RestoresMessageIntoItsFolder) {
  TempStore store;
  EXPECT_EQ(RestoreBytes(store, BackupBytes({Sample()})), u"");
  EXPECT_EQ(ListStore(), std::vector<ListedMessage>{SampleListed()});
}

TEST(RestoreRecords, FolderPathNamesStandardFolderInAnyCaseAndTrimsSubfolders) {
  TempStore store;
  GoldenRecord a = Sample(), b = Sample(), c = Sample(), d = Sample();
  a.folderPath = "iNBOX";
  b.folderPath = "inbox\\  Work ";
  b.deliveryTime = kMay1 + 1;
  c.folderPath = "SENTEDBOX\\";
  d.folderPath = "Inbox\\Work";
  d.deliveryTime = kMay1 + 2;
  EXPECT_EQ(RestoreBytes(store, BackupBytes({a, b, c, d})), u"");
  const std::vector<ListedMessage> listed = ListStore();
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[0].folderPath, u"Inbox");
  EXPECT_EQ(listed[1].folderPath, u"Inbox\\Work");
  EXPECT_EQ(listed[2].folderPath, u"Inbox\\Work");
  EXPECT_EQ(listed[3].folderPath, u"Sentedbox\\NewFolder");
  EXPECT_EQ(InboxSubfolderCount(), 1u);
}

TEST(RestoreRecords, RestoringTwiceAddsNothing) {
  TempStore store;
  GoldenRecord other = Sample();
  other.folderPath = "Inbox";
  other.text = "another";
  const std::string file = BackupBytes({Sample(), other});
  EXPECT_EQ(RestoreBytes(store, file), u"");
  const std::vector<ListedMessage> once = ListStore();
  EXPECT_EQ(RestoreBytes(store, file), u"");
  EXPECT_EQ(ListStore(), once);
  EXPECT_EQ(once.size(), 2u);
}

TEST(RestoreRecords, SameDeliveryTimeWithOtherTextIsNoDuplicate) {
  TempStore store;
  GoldenRecord other = Sample();
  other.text = "Another text at the same second";
  EXPECT_EQ(RestoreBytes(store, BackupBytes({Sample(), other})), u"");
  EXPECT_EQ(ListStore().size(), 2u);
}

// A message without a delivery time (a draft) is recognised like any other.
TEST(RestoreRecords, DraftRestoredTwiceIsThereOnce) {
  TempStore store;
  GoldenRecord r = Sample();
  r.deliveryTime = 0;
  EXPECT_EQ(RestoreBytes(store, BackupBytes({r})), u"");
  EXPECT_EQ(RestoreBytes(store, BackupBytes({r})), u"");
  EXPECT_EQ(ListStore().size(), 1u);
}

// Equal records count as a multiset: a resent "OK", or two copies of one message, restore as
// as many messages as the file holds, and the same "OK" to two people are two messages.
TEST(RestoreRecords, EqualRecordsAreNeverMerged) {
  TempStore store;
  GoldenRecord ok = Sample();
  ok.text = "OK";
  GoldenRecord toEve = ok;
  toEve.recipients = "\"Eve\" <+4940456> 1";
  const std::string file = BackupBytes({ok, ok, toEve});
  EXPECT_EQ(RestoreBytes(store, file), u"");
  EXPECT_EQ(ListStore().size(), 3u);
  EXPECT_EQ(RestoreBytes(store, file), u"");
  EXPECT_EQ(ListStore().size(), 3u);
  // A store that held one of the two equal messages gets the second.
  TempStore other;
  {
    RestoreJob job(u"unused");
    AddMessage(job.session, {u"Inbox\\Work", u"OK", kMay1Later, kMay1, 1, 42, u"Ann",
                             u"+4915112345678", {{u"Bob", u"+4930123", 1}, {u"Eve", u"+4940456", 2}}});
  }
  EXPECT_EQ(RestoreBytes(other, BackupBytes({ok, ok})), u"");
  EXPECT_EQ(ListStore().size(), 2u);
}

// Restore, verify and show decide with one checker: a record is checked whether or not its
// message is already present.
TEST(RestoreRecords, EveryRecordIsCheckedEvenWhenPresent) {
  TempStore store;
  {
    RestoreJob job(u"unused");
    AddMessage(job.session, {u"Inbox\\Work", u"See you at 8", 0, kMay1});
  }
  GoldenRecord bogus = Sample();
  bogus.messageClass = "IPM.Bogus";
  EXPECT_EQ(RestoreBytes(store, BackupBytes({bogus})), u"No.1, Unknow message class name!");
  EXPECT_EQ(ListStore().size(), 1u);
}

TEST(RestoreRecords, TextOutsideTheCodePageIsRecognisedInTheOriginalStore) {
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
  EXPECT_EQ(RestoreBytes(store, BackupBytes({same, other})), u"");
  const std::vector<ListedMessage> listed = ListStore();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].text, u"Caf\u00E9 \u4E2D");
  EXPECT_EQ(listed[1].text, u"Caf\u00E9 !");
}

TEST(RestoreRecords, SemicolonInsideRecipientNameOrAddressIsKept) {
  TempStore store;
  GoldenRecord r = Sample();
  r.recipients = "\"Smith; John\" <+1> 1;\"Ann\" <a;b;c> 3;\"\" <> 0;\"" +
                 std::string(16, ';') + "\" <> 1";
  EXPECT_EQ(RestoreBytes(store, BackupBytes({r})), u"");
  const std::vector<ListedMessage> listed = ListStore();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].recipients,
            u"Smith; John|+1|1;Ann|a;b;c|3;||0;" + std::u16string(16, u';') + u"||1");
}

TEST(RestoreRecords, LongRecipientListIsReadWhole) {
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
  EXPECT_EQ(RestoreBytes(store, BackupBytes({r})), u"");
  EXPECT_EQ(ListStore().at(0).recipients, expected);
}

TEST(RestoreRecords, TextKeepsItsOwnLineBreaksAndNoExtraOne) {
  TempStore store;
  GoldenRecord r = Sample();
  r.text = "line one\nline two\n\n";
  EXPECT_EQ(RestoreBytes(store, BackupBytes({r})), u"");
  EXPECT_EQ(ListStore().at(0).text, u"line one\nline two\n\n");
}

struct BrokenRecordCase {
  const char* name;
  GoldenRecord record;
  const char16_t* error;
};

// Each error of the reader, reached by a record that would otherwise go into a new subfolder:
// nothing at all may be created for it.
TEST(RestoreRecords, BrokenRecordLeavesStoreUntouched) {
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
    EXPECT_EQ(RestoreBytes(store, BackupBytes({c.record})), c.error) << c.name;
    EXPECT_TRUE(ListStore().empty()) << c.name;
    EXPECT_EQ(InboxSubfolderCount(), 0u) << c.name;
  }
}

TEST(RestoreRecords, BrokenBytesLeaveStoreUntouched) {
  TempStore store;
  std::string record = RecordBytes(Sample());
  const std::string withHugeLength =
      record.substr(0, record.size() - 13 - 4) + std::string("\xFF\xFF\xFF\x7F", 4) +
      record.substr(record.size() - 13);
  EXPECT_EQ(RestoreBytes(store, BackupOfRawRecords(withHugeLength, 1)),
            u"No.1, Message text length error!");
  EXPECT_EQ(RestoreBytes(store, BackupOfRawRecords(record.substr(0, 40), 1)),
            u"No.1, Record truncated error!");
  GoldenRecord giant = Sample();
  giant.sender = std::string(kMaxLineBytes + 10, '"');
  EXPECT_EQ(RestoreBytes(store, BackupBytes({giant})), u"No.1, Text line too long error!");
  EXPECT_TRUE(ListStore().empty());
  EXPECT_EQ(InboxSubfolderCount(), 0u);
}

TEST(RestoreRecords, CountBeyondTheRecordsEndsAtTheFirstMissingOne) {
  TempStore store;
  EXPECT_EQ(RestoreBytes(store, BackupBytes({Sample()}, 2)), u"No.2, Read folder line error!");
  EXPECT_EQ(ListStore().size(), 1u);
}

// A message the store refuses halfway leaves nothing behind (no blank message, none without its
// recipients), so a rerun restores it whole.
TEST(RestoreRecords, StoreRefusalsAreReportedAndLeaveNoPartialMessage) {
  TempStore store;
  mapi::AddFault("IMAPIFolder::CreateFolder", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(RestoreBytes(store, BackupBytes({Sample()})), u"No.1, Create folder 'Inbox\\Work' error!");
  mapi::ClearFaults();
  mapi::AddFault("IMAPIFolder::CreateMessage", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(RestoreBytes(store, BackupBytes({Sample()})), u"No.1, Create message error!");
  mapi::ClearFaults();
  mapi::AddFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(RestoreBytes(store, BackupBytes({Sample()})), u"No.1, Save sms error!");
  EXPECT_TRUE(ListStore().empty());
  mapi::ClearFaults();
  mapi::AddFault("IMessage::ModifyRecipients", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(RestoreBytes(store, BackupBytes({Sample()})), u"No.1, Save sms error!");
  EXPECT_TRUE(ListStore().empty());
  mapi::ClearFaults();
  EXPECT_EQ(RestoreBytes(store, BackupBytes({Sample()})), u"");
  EXPECT_EQ(ListStore(), std::vector<ListedMessage>{SampleListed()});
}

}  // namespace
}  // namespace larkpost
