// The runs from start to end: what they refuse before starting, what a backup holds, what a
// restore puts back or reports, and the outcome each ending records.
#include "jobs/runs.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "jobs/runs_test_support.h"
#include "jobs/store_access.h"
#include "platform/file/file_lock.h"
#include "platform/text/text.h"

namespace larkpost {
namespace {

namespace fs = std::filesystem;
using testing::CountField;
using testing::RecordOf;
using testing::RunsTest;

TEST_F(RunsTest, BackupRefusesBlankPathAndNoFolder) {
  {
    BackupJob job(u"  \t ", 1, 1, 1, 1, 1);
    RunBackup(job);
  }
  {
    BackupJob job(PathOf("none.bak"), 0, 0, 0, 0, 0);
    RunBackup(job);
  }
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[0].text, u"Please Select Save Path.");
  EXPECT_EQ(ui_.shown[0].type, MB_ICONINFORMATION);
  EXPECT_EQ(ui_.shown[1].text, u"Please Select Folder for Backup.");
  EXPECT_EQ(ui_.shown[1].type, MB_ICONINFORMATION);
  EXPECT_EQ(ui_.waits, 0);
  EXPECT_FALSE(fs::exists(dir_ / "none.bak"));
}

TEST_F(RunsTest, RestoreRefusesEmptyPath) {
  Restore(u"");
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, u"Please Select File Path.");
  EXPECT_EQ(ui_.shown[0].type, MB_ICONINFORMATION);
  EXPECT_EQ(ui_.waits, 0);
}

TEST_F(RunsTest, WorkerThatCannotStartIsReported) {
  FailWorkerCreationForTesting(true);
  Backup(PathOf("a.bak"));
  Restore(PathOf("a.bak"));
  ASSERT_EQ(ui_.shown.size(), 2u);
  for (const auto& shown : ui_.shown) {
    EXPECT_EQ(shown.text, u"Create thread error.");
    EXPECT_EQ(shown.type, MB_ICONWARNING);
  }
  EXPECT_EQ(ui_.waits, 0);
  EXPECT_FALSE(fs::exists(dir_ / "a.bak"));
}

TEST_F(RunsTest, BackupSucceedsBeforeFinishedAndCountsEveryMessage) {
  FillStore();
  BackupJob job(u"  " + PathOf("all.bak") + u" ", 1, 1, 1, 1, 1);
  RunBackup(job);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, u"Backup Succeeded.");
  EXPECT_EQ(ui_.shown[0].type, MB_ICONINFORMATION);
  EXPECT_EQ(ui_.shown[0].finishedWhenShown, 0);  // the progress view stays up meanwhile
  EXPECT_EQ(ui_.shown[0].progressWhenShown, 1.0);
  EXPECT_EQ(job.finished.load(), 1);
  EXPECT_EQ(job.total, 4);
  EXPECT_EQ(job.written.load(), 4u);
  EXPECT_EQ(job.path, PathOf("all.bak"));  // trimmed
  const std::string bytes = ReadFile(dir_ / "all.bak");
  ASSERT_GE(bytes.size(), 20u);
  EXPECT_EQ(bytes.substr(16, 4), CountField(4));
  EXPECT_EQ(fs::status(dir_ / "all.bak").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(PartialFiles().empty());
}

TEST_F(RunsTest, BackupOfSelectedFoldersOnly) {
  FillStore();
  BackupJob job(PathOf("sent.bak"), 0, 0, 0, 1, 0);
  RunBackup(job);
  EXPECT_EQ(job.total, 1);
  EXPECT_EQ(ReadFile(dir_ / "sent.bak").substr(16, 4), CountField(1));
}

TEST_F(RunsTest, EmptyStoreGivesTwentyByteBackupThatRestores) {
  Backup(PathOf("empty.bak"));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, u"Backup Succeeded.");
  EXPECT_EQ(ui_.shown[0].progressWhenShown, 0.0);
  EXPECT_EQ(fs::file_size(dir_ / "empty.bak"), 20u);

  Restore(PathOf("empty.bak"));
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[1].text, u"Restore Succeeded.");
  EXPECT_EQ(ui_.shown[1].type, MB_ICONINFORMATION);
  EXPECT_EQ(ui_.shown[1].finishedWhenShown, 0);
  EXPECT_EQ(MessagesInStore(), 0u);
}

TEST_F(RunsTest, TextExportIsWrittenForFormatTwo) {
  FillStore();
  Backup(PathOf("all.txt"));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, u"Backup Succeeded.");
  const std::string text = ReadFile(dir_ / "all.txt");
  EXPECT_EQ(text.rfind("Sender: \"Ann\" <+49151>\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("Content:\r\nat work\r\n\r\n"), std::string::npos);
}

TEST_F(RunsTest, BackupAndRestoreRoundTripIntoFreshStore) {
  FillStore();
  Backup(PathOf("all.bak"));
  UseStore("fresh.db");
  Restore(PathOf("all.bak"));
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[1].text, u"Restore Succeeded.");
  EXPECT_EQ(ui_.shown[1].finishedWhenShown, 0);
  EXPECT_EQ(ui_.shown[1].progressWhenShown, 1.0);
  EXPECT_EQ(MessagesInStore(), 4u);

  // The same file again adds nothing.
  Restore(PathOf("all.bak"));
  ASSERT_EQ(ui_.shown.size(), 3u);
  EXPECT_EQ(ui_.shown[2].text, u"Restore Succeeded.");
  EXPECT_EQ(MessagesInStore(), 4u);
}

TEST_F(RunsTest, MissingRestoreFileIsNamedAfterFinished) {
  Restore(u" " + PathOf("gone.bak"));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, PathOf("gone.bak") + u" was not found.");
  EXPECT_EQ(ui_.shown[0].type, MB_ICONWARNING);
  EXPECT_EQ(ui_.shown[0].finishedWhenShown, 1);  // the progress view closes first
}

TEST_F(RunsTest, FileThatFailsValidationLeavesStoreUntouched) {
  FillStore();
  Backup(PathOf("all.bak"));
  std::string bytes = ReadFile(dir_ / "all.bak");
  WriteFile(dir_ / "longer.bak", bytes + "x");
  WriteFile(dir_ / "short.bak", bytes.substr(0, 10));
  UseStore("fresh.db");
  Restore(PathOf("longer.bak"));
  Restore(PathOf("short.bak"));
  ASSERT_EQ(ui_.shown.size(), 3u);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(ui_.shown[i].text, u"File Validation Failed.");
    EXPECT_EQ(ui_.shown[i].type, MB_ICONINFORMATION);
    EXPECT_EQ(ui_.shown[i].finishedWhenShown, 1);
  }
  EXPECT_EQ(MessagesInStore(), 0u);
}

TEST_F(RunsTest, FailingRecordIsNumberedAndEarlierRecordsStay) {
  WriteFile(dir_ / "bad.bak",
            testing::BackupOfRawRecords(RecordOf("Inbox", 133000000000000010ULL, "one") +
                                            RecordOf("Inbox\\Trips", 133000000000000011ULL, "two") +
                                            RecordOf("Attic", 133000000000000012ULL, "three"),
                                        3));
  Restore(PathOf("bad.bak"));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, u"No.3, Create folder 'Attic' error!");
  EXPECT_EQ(ui_.shown[0].type, MB_ICONWARNING);
  EXPECT_EQ(ui_.shown[0].finishedWhenShown, 0);
  EXPECT_EQ(ui_.shown[0].progressWhenShown, 1.0);  // set before record 3 was read
  EXPECT_EQ(MessagesInStore(), 2u);
}

// A store that refuses a step for a full disk, whichever step it is, is reported with the disk
// as the cause; refused for another reason, with the record's own error.
TEST_F(RunsTest, AFullDiskIsNamedWhicheverStepItStopped) {
  WriteFile(dir_ / "one.bak",
            testing::BackupOfRawRecords(RecordOf("Inbox\\Trips", 133000000000000010ULL, "one"), 1));
  int store = 0;
  for (const auto& [step, otherwise] :
       {std::pair{"IMAPIFolder::CreateFolder", u"No.1, Create folder 'Inbox\\Trips' error!"},
        {"IMAPIFolder::CreateMessage", u"No.1, Create message error!"},
        {"IMessage::SetProps", u"No.1, Save sms error!"},
        {"IMessage::ModifyRecipients", u"No.1, Save sms error!"}}) {
    SCOPED_TRACE(step);
    for (const HRESULT answer : {MAPI_E_NOT_ENOUGH_DISK, MAPI_E_CALL_FAILED}) {
      UseStore("store" + std::to_string(++store) + ".db");
      ui_.shown.clear();
      mapi::AddFault(step, 1, answer);
      Restore(PathOf("one.bak"));
      mapi::ClearFaults();
      ASSERT_EQ(ui_.shown.size(), 1u);
      EXPECT_EQ(ui_.shown[0].text,
                answer == MAPI_E_NOT_ENOUGH_DISK
                    ? u"No.1, Disk full while accessing " + Utf8ToWide(mapi::DatabasePath()) + u"."
                    : std::u16string(otherwise));
      EXPECT_EQ(MessagesInStore(), 0u);
    }
  }
}

TEST_F(RunsTest, CountLargerThanRecordsEndsWithReadFolderLineError) {
  WriteFile(dir_ / "short.bak",
            testing::BackupOfRawRecords(RecordOf("Inbox", 133000000000000010ULL, "one"), 2));
  Restore(PathOf("short.bak"));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, u"No.2, Read folder line error!");
  EXPECT_EQ(MessagesInStore(), 1u);
}

TEST_F(RunsTest, UnreadableMessagesMakeTheBackupIncomplete) {
  FillStore();
  BackupJob job(PathOf("all.bak"), 1, 1, 1, 1, 1);
  job.session.unreadableFolders = 1;
  job.session.unreadableMessages = 3;
  RunBackup(job);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text.substr(0, ui_.shown[0].text.find(u'\n')),
            u"Backup incomplete: 1 folder and 3 messages could not be read and are not in the "
            u"file.");
  EXPECT_EQ(ui_.shown[0].type, MB_ICONWARNING);
  EXPECT_EQ(ui_.shown[0].finishedWhenShown, 0);
  EXPECT_EQ(job.outcome.load(), RunOutcome::kIncomplete);
  EXPECT_FALSE(fs::exists(dir_ / "all.bak"));
}

TEST_F(RunsTest, OutcomeIsRecordedForEveryEnding) {
  FillStore();
  BackupJob refused(u" ", 1, 1, 1, 1, 1);
  RunBackup(refused);
  EXPECT_EQ(refused.outcome.load(), RunOutcome::kNotRun);
  BackupJob done(PathOf("all.bak"), 1, 1, 1, 1, 1);
  RunBackup(done);
  EXPECT_EQ(done.outcome.load(), RunOutcome::kSucceeded);
  BackupJob failed(PathOf("no/such/all.bak"), 1, 1, 1, 1, 1);
  RunBackup(failed);
  EXPECT_EQ(failed.outcome.load(), RunOutcome::kFailed);

  RestoreJob restored(PathOf("all.bak"));
  RunRestore(restored);
  EXPECT_EQ(restored.outcome.load(), RunOutcome::kSucceeded);
  WriteFile(dir_ / "bad.bak", "not a backup");
  RestoreJob invalid(PathOf("bad.bak"));
  RunRestore(invalid);
  EXPECT_EQ(invalid.outcome.load(), RunOutcome::kFailed);
}

// Asked to stop (Ctrl-C), a restore commits what it has and says how far it got; the same
// command again completes the store, adding nothing twice.
TEST_F(RunsTest, InterruptedRestoreCommitsWhatItDidAndARerunCompletes) {
  WriteFile(dir_ / "three.bak",
            testing::BackupOfRawRecords(RecordOf("Inbox", 133000000000000010ULL, "one") +
                                            RecordOf("Inbox", 133000000000000011ULL, "two") +
                                            RecordOf("Inbox", 133000000000000012ULL, "three"),
                                        3));
  RestoreJob interrupted(PathOf("three.bak"));
  RunRestoreAskedToStop(interrupted);
  EXPECT_EQ(interrupted.outcome.load(), RunOutcome::kInterrupted);
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text,
            u"Interrupted: 1 of 3 messages restored; run the same command again to complete it.");
  EXPECT_EQ(ui_.shown[0].finishedWhenShown, 0);
  EXPECT_EQ(MessagesInStore(), 1u);

  Restore(PathOf("three.bak"));
  EXPECT_EQ(ui_.shown.back().text, u"Restore Succeeded.");
  EXPECT_EQ(MessagesInStore(), 3u);
}

// While another run holds the store, a restore waits and says so; asked to stop meanwhile, it
// ends having written nothing. A dry run does not wait, and once the store is free a restore
// goes on.
TEST_F(RunsTest, RestoreWaitsForAnotherRunOnTheStore) {
  WriteFile(dir_ / "one.bak",
            testing::BackupOfRawRecords(RecordOf("Inbox", 133000000000000010ULL, "one"), 1));
  {
    ExclusiveLock other;
    std::string error;
    ASSERT_TRUE(other.Acquire(StoreLockPath(mapi::DatabasePath()), nullptr, nullptr, error));
    RestoreJob dryRun(PathOf("one.bak"), true);
    RunRestore(dryRun);
    EXPECT_EQ(dryRun.Counts().restored, 1u);
    EXPECT_TRUE(ui_.statuses.empty());

    RestoreJob waiting(PathOf("one.bak"));
    RunRestoreAskedToStop(waiting);
    EXPECT_EQ(waiting.outcome.load(), RunOutcome::kInterrupted);
    ASSERT_EQ(ui_.statuses.size(), 1u);
    EXPECT_EQ(ui_.statuses[0],
              u"Waiting for another run on " + PathToWide(mapi::DatabasePath()) + u" to end...");
    EXPECT_EQ(ui_.shown.back().text, u"Interrupted while waiting for another run on the message "
                                     u"store; nothing was restored.");
    EXPECT_EQ(MessagesInStore(), 0u);
  }
  Restore(PathOf("one.bak"));
  EXPECT_EQ(ui_.shown.back().text, u"Restore Succeeded.");
  EXPECT_EQ(MessagesInStore(), 1u);
}

// An interrupted backup leaves nothing of itself, and an older file stays as it was.
TEST_F(RunsTest, InterruptedBackupRemovesItsPartialOutput) {
  FillStore();
  WriteFile(dir_ / "all.bak", "older backup");
  for (FileKind format : {FileKind::kBackup, FileKind::kTextExport, FileKind::kPhoneZip}) {
    RequestStop(SIGTERM);
    BackupJob job(PathOf("all.bak"), 1, 1, 1, 1, 1);
    job.format = format;  // each format's writer, to the same target
    RunBackup(job);
    ClearStopRequest();
    EXPECT_EQ(job.outcome.load(), RunOutcome::kInterrupted) << FileKindName(format);
    EXPECT_EQ(ui_.shown.back().text,
              u"Interrupted: stopped after 1 of 4 messages; the partial output was removed and " +
                  PathOf("all.bak") + u" was not replaced.")
        << FileKindName(format);
    EXPECT_EQ(ReadFile(dir_ / "all.bak"), "older backup");
    EXPECT_TRUE(PartialFiles().empty());
  }
}

// Characters the code page lacks do not make a backup incomplete: it takes the target's place
// and the warning follows "Backup Succeeded.", both before the progress view closes.
TEST_F(RunsTest, LossyBackupReplacesTheTargetAndWarnsAfterSucceeding) {
  SmsSession session(u"SMS");
  AddMessage(*session.StandardFolder(FolderKind::Inbox), 133000000000000001ULL, u"done \u2713");
  WriteFile(dir_ / "all.bak", "older backup");
  BackupJob job(PathOf("all.bak"), 1, 1, 1, 1, 1);
  RunBackup(job);
  EXPECT_EQ(job.outcome.load(), RunOutcome::kLossy);
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[0].text, u"Backup Succeeded.");
  EXPECT_EQ(ui_.shown[1].text.rfind(u"1 message holds characters code page 1252 lacks", 0), 0u);
  EXPECT_EQ(ui_.shown[1].type, MB_ICONWARNING);
  EXPECT_EQ(ui_.shown[1].finishedWhenShown, 0);
  EXPECT_EQ(ReadFile(dir_ / "all.bak").substr(16, 4), CountField(1));
  EXPECT_TRUE(PartialFiles().empty());
}

// The message store's own files, under any name, are never a backup's target.

}  // namespace
}  // namespace larkpost
