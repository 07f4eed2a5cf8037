#include "jobs/store_backup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "jobs/store_backup_test_util.h"
#include "platform/file/byte_sink.h"
#include "backupfile/record.h"
#include "jobs/job_records.h"
#include "store/cursor.h"

namespace larkpost {
namespace {

using testing::AddMessage;
using testing::BackupBytes;
using testing::GoldenRecord;
using testing::kMay1;
using testing::kMay1Later;
using testing::ListedMessage;
using testing::Sample;
using testing::WriteSelected;
using testing::RecordBytes;
using testing::BackupOfRawRecords;
using testing::ListStore;
using testing::ReadBytes;
using testing::RestoreBytes;
using testing::TempStore;
using testing::WriteBytes;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

// Counts the selected folders as the backup run does, then writes the backup file. The file
// bytes, or "" when the writer failed.
std::string Backup(TempStore& store, BackupJob& job, bool* succeeded = nullptr) {
  job.total = 0;
  for (int i = 0; i < kFolderKindCount; ++i) {
    const auto kind = static_cast<FolderKind>(i);
    if (!job.Includes(kind)) continue;
    if (SmsFolder* folder = job.session.StandardFolder(kind)) job.total += CountMessages(*folder);
  }
  const std::u16string path = store.File("out.bak");
  bool ok;
  {
    CFile file(path, CFile::modeCreate | CFile::modeWrite);
    CFileSink sink(file);
    ok = WriteStoreBackup(job, sink);
    file.Close();
  }
  if (succeeded != nullptr) *succeeded = ok;
  return ReadBytes(path);
}

std::string BackupAll(TempStore& store) {
  BackupJob job(u"unused.bak", 1, 1, 1, 1, 1);
  return Backup(store, job);
}

// A store with messages in several folders and levels, and the records a backup of all five
// folders must hold, in walk order.
std::vector<GoldenRecord> FillStore(SmsSession& session) {
  AddMessage(session, {u"Inbox\\Work\\Old", u"old news", 10, kMay1 + 30, 1, 3, u"Old", u"+3"});
  AddMessage(session, {u"Inbox", u"hello", 11, kMay1 + 10, 1, 5, u"Ann", u"+49151",
                       {{u"Me", u"+4930", 1}}});
  AddMessage(session, {u"Sentedbox", u"sent", 12, kMay1 + 40, 0, 4, u"", u"",
                       {{u"Bob", u"+1", 1}, {u"Eve", u"+2", 2}}});
  AddMessage(session, {u"Inbox\\Work", u"work", 13, kMay1 + 20, 0, 4, u"Boss", u"+7"});
  AddMessage(session, {u"Draft", u"draft", 14, 0, 0, 5});
  AddMessage(session, {u"Wastebox", u"gone", 15, kMay1 + 50, 0, 4, u"X", u"+9"});
  AddMessage(session, {u"Inbox", u"second", 16, kMay1 + 11, 1, 6, u"Ann", u"+49151"});

  auto record = [](std::string path, std::string text, uint64_t modified, uint64_t delivered,
                   uint32_t flags, uint32_t size, std::string sender, std::string recipients) {
    GoldenRecord r;
    r.folderPath = std::move(path);
    r.text = std::move(text);
    r.lastModified = modified;
    r.deliveryTime = delivered;
    r.flags = flags;
    r.size = size;
    r.sender = std::move(sender);
    r.recipients = std::move(recipients);
    return r;
  };
  return {
      record("Draft", "draft", 14, 0, 0, 5, "\"\" <>", ""),
      record("Inbox", "hello", 11, kMay1 + 10, 1, 5, "\"Ann\" <+49151>", "\"Me\" <+4930> 1"),
      record("Inbox", "second", 16, kMay1 + 11, 1, 6, "\"Ann\" <+49151>", ""),
      record("Inbox\\Work", "work", 13, kMay1 + 20, 0, 4, "\"Boss\" <+7>", ""),
      record("Inbox\\Work\\Old", "old news", 10, kMay1 + 30, 1, 3, "\"Old\" <+3>", ""),
      record("Sentedbox", "sent", 12, kMay1 + 40, 0, 4, "\"\" <>",
             "\"Bob\" <+1> 1;\"Eve\" <+2> 2"),
      record("Wastebox", "gone", 15, kMay1 + 50, 0, 4, "\"X\" <+9>", ""),
  };
}

// ---- WriteBackupFile -------------------------------------------------------------------------

TEST(WriteBackupFile, EmptyBackupIsTwentyBytes) {
  TempStore store;
  const std::string bytes = BackupAll(store);
  ASSERT_EQ(bytes.size(), 20u);
  // MD5 of "20KVELT_MarnoPidesta".
  EXPECT_EQ(Hex(bytes.substr(0, 16)), "a8e547cd6630e3703fce57952081abf3");
  EXPECT_EQ(bytes.substr(16), std::string(4, '\0'));
}

TEST(WriteBackupFile, ReproducesGoldenFile) {
  TempStore store;
  BackupJob job(u"unused.bak", 1, 1, 1, 1, 1);
  const std::vector<GoldenRecord> records = FillStore(job.session);
  EXPECT_EQ(Backup(store, job), BackupBytes(records));
  EXPECT_EQ(job.written, 7u);
  EXPECT_EQ(job.total, 7);
}

TEST(WriteBackupFile, WritesOnlySelectedFolders) {
  TempStore store;
  BackupJob job(u"unused.bak", 0, 0, 0, 1, 1);
  const std::vector<GoldenRecord> records = FillStore(job.session);
  EXPECT_EQ(Backup(store, job), BackupBytes({records[5], records[6]}));
}

TEST(WriteBackupFile, CountIsTheNumberOfRecordsWritten) {
  TempStore store;
  BackupJob job(u"unused.bak", 1, 1, 1, 1, 1);
  const std::vector<GoldenRecord> records = FillStore(job.session);
  const std::u16string path = store.File("out.bak");
  for (int32_t counted : {0, 3, 100}) {
    job.total = counted;  // as if messages arrived or went away after counting
    job.written = 0;
    {
      CFile file(path, CFile::modeCreate | CFile::modeWrite);
      CFileSink sink(file);
      ASSERT_TRUE(WriteStoreBackup(job, sink));
      file.Close();
    }
    EXPECT_EQ(ReadBytes(path), BackupBytes(records)) << counted;
  }
}

TEST(WriteBackupFile, BackupRestoreBackupGivesTheSameBytes) {
  TempStore store;
  std::string first;
  {
    BackupJob job(u"unused.bak", 1, 1, 1, 1, 1);
    FillStore(job.session);
    first = Backup(store, job);
  }
  const auto original = ListStore();
  store.UseDatabase("empty.db");
  EXPECT_EQ(RestoreBytes(store, first), u"");
  EXPECT_EQ(ListStore(), original);
  EXPECT_EQ(BackupAll(store), first);
  // And once more: nothing comes again, the draft without a delivery time included.
  EXPECT_EQ(RestoreBytes(store, first), u"");
  EXPECT_EQ(ListStore(), original);
}

TEST(WriteBackupFile, UnreadableFoldersAreLeftOutAndCounted) {
  TempStore store;
  std::vector<GoldenRecord> records;
  {
    RestoreJob filler(u"unused");
    records = FillStore(filler.session);
  }
  BackupJob job(u"unused.bak", 1, 1, 0, 0, 0);
  job.total = 7;
  // The drafts folder cannot be located; Inbox\Work cannot be opened (the first store open is
  // the inbox itself, the second its first listed subfolder), so Inbox\Work\Old is out of reach.
  mapi::AddFault("IMsgStore::GetProps", 1, MAPI_E_NOT_FOUND);
  mapi::AddFault("IMsgStore::OpenEntry", 2, MAPI_E_CALL_FAILED);
  const std::u16string path = store.File("out.bak");
  {
    CFile file(path, CFile::modeCreate | CFile::modeWrite);
    CFileSink sink(file);
    EXPECT_TRUE(WriteStoreBackup(job, sink));
    file.Close();
  }
  EXPECT_EQ(ReadBytes(path), BackupBytes({records[1], records[2]}));
  EXPECT_EQ(job.session.unreadableFolders, 2u);
  EXPECT_EQ(job.written, 2u);
}

TEST(WriteBackupFile, FailedWalkLeavesFileThatDoesNotValidate) {
  TempStore store;
  BackupJob job(u"unused.bak", 1, 1, 1, 1, 1);
  FillStore(job.session);
  mapi::AddFault("IMAPITable::SeekRow", 2, MAPI_E_CALL_FAILED);  // the inbox cursor's rewind
  bool ok = true;
  const std::string bytes = Backup(store, job, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(bytes.substr(0, 16), std::string(16, '\0'));
  EXPECT_EQ(RestoreBytes(store, bytes), u"File Validation Failed.");
}

// ---- Writing records -------------------------------------------------------------------------

// The jobs of these tests select the Inbox only, so WriteSelected gives the records of its tree.

TEST(WriteRecords, ReproducesGoldenRecord) {
  TempStore store;
  BackupJob job(u"unused.bak", 0, 1, 0, 0, 0);
  AddMessage(job.session, {u"Inbox\\Work", u"See you at 8", kMay1Later, kMay1, 1, 42, u"Ann",
                           u"+4915112345678",
                           {{u"Bob", u"+4930123", 1}, {u"Eve", u"+4940456", 2}}});
  AddMessage(job.session, {u"Inbox", u"Caf\u00E9 \u20AC \u4E2D", 0, 0, 0, 0, u"", u""});
  job.total = 2;
  GoldenRecord plain;
  plain.text = "Caf\xE9 \x80 ?";  // Windows-1252; a character it lacks becomes "?"
  EXPECT_EQ(WriteSelected(store, job), RecordBytes(plain) + RecordBytes(Sample()));
  EXPECT_EQ(job.written, 2u);
  EXPECT_EQ(job.progress, 1.0);
}

// Whatever the writer writes, the reader takes back: names far longer than a line of old, names
// with the characters the record uses as separators. (A name holding a whole recipient entry,
// "\" <y> 2;" and all, cannot be told from two entries: it is read, but split there.)
TEST(WriteRecords, WhatTheWriterWritesTheReaderTakes) {
  TempStore store;
  BackupJob job(u"unused.bak", 0, 1, 0, 0, 0);
  const std::u16string longName(5000, u'n');
  std::u16string awkward;
  for (int i = 0; i < 300; ++i) awkward += u"x>1;\"b\" <c>;";
  AddMessage(job.session, {u"Inbox", u"text", 0, kMay1, 0, 0, longName, u"+49",
                           {{awkward, u"a;b", 1}, {longName, u"+1", 2}}});
  job.total = 1;
  const std::string records = WriteSelected(store, job);
  const std::vector<ListedMessage> before = ListStore();
  store.UseDatabase("fresh.db");
  EXPECT_EQ(RestoreBytes(store, BackupOfRawRecords(records, 1)), u"");
  EXPECT_EQ(ListStore(), before);
}

TEST(WriteRecords, LineBreaksInNamesBecomeBlanks) {
  TempStore store;
  BackupJob job(u"unused.bak", 0, 1, 0, 0, 0);
  AddMessage(job.session, {u"Inbox\\Two\nLines", u"a\r\nb", 0, 0, 0, 0, u"A\rB", u"1\n2",
                           {{u"C\nD", u"3\r\n4", 1}}});
  GoldenRecord expected;
  expected.folderPath = "Inbox\\Two Lines";
  expected.recipients = "\"C D\" <3  4> 1";
  expected.sender = "\"A B\" <1 2>";
  expected.text = "a\r\nb";  // the text is counted, so its line breaks stay
  EXPECT_EQ(WriteSelected(store, job), RecordBytes(expected));
}

}  // namespace
}  // namespace larkpost
