// What a backup does to its output file and to the files beside it: the old file stays until a
// complete new one replaces it, a failed or incomplete run says where its partial output is, and
// the store itself, links and permissions are handled with care.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "jobs/runs.h"
#include "jobs/runs_test_support.h"

namespace larkpost {
namespace {

namespace fs = std::filesystem;
using testing::CountField;
using testing::RunsTest;

TEST_F(RunsTest, FailedWalkKeepsOldFileAndNamesPartialOutput) {
  FillStore();
  WriteFile(dir_ / "keep.bak", "old backup");
  mapi::AddFault("IMAPITable::SeekRow", 1, MAPI_E_CALL_FAILED, 1000);
  Backup(PathOf("keep.bak"));
  mapi::ClearFaults();
  ASSERT_EQ(ui_.shown.size(), 1u);
  const std::vector<fs::path> partial = PartialFiles();
  ASSERT_EQ(partial.size(), 1u);
  const std::string partialPath = partial[0].string();
  EXPECT_EQ(ui_.shown[0].text, u"Error occurred. Backup Failed.\nPartial output: " +
                                   std::u16string(partialPath.begin(), partialPath.end()));
  EXPECT_EQ(ui_.shown[0].type, MB_ICONWARNING);
  EXPECT_EQ(ui_.shown[0].finishedWhenShown, 0);
  EXPECT_EQ(ReadFile(dir_ / "keep.bak"), "old backup");
  EXPECT_EQ(partial[0].filename().string().rfind(".keep.bak.", 0), 0u);
}

TEST_F(RunsTest, SuccessfulBackupReplacesOldFile) {
  FillStore();
  WriteFile(dir_ / "keep.bak", "old backup");
  Backup(PathOf("keep.bak"));
  EXPECT_EQ(ReadFile(dir_ / "keep.bak").substr(16, 4), CountField(4));
  EXPECT_TRUE(PartialFiles().empty());
}

TEST_F(RunsTest, WriteErrorKeepsOldFileAndIsReportedAfterFinished) {
  FillStore();
  {
    SmsSession session(u"SMS");
    std::u16string big(40000, u'x');
    AddMessage(*session.StandardFolder(FolderKind::Draft), 133000000000000020ULL, big);
  }
  WriteFile(dir_ / "keep.bak", "old backup");
  // Files may not grow past 16 KiB: the backup's write fails (EFBIG) half-way. The store is
  // opened before, and a backup only reads it.
  BackupJob job(PathOf("keep.bak"), 1, 1, 1, 1, 1);
  ASSERT_TRUE(job.session.initialized);
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit limited = old;
  limited.rlim_cur = 16384;
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  RunBackup(job);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);

  ASSERT_EQ(ui_.shown.size(), 1u);
  const std::u16string& text = ui_.shown[0].text;
  EXPECT_EQ(text.rfind(u"An unexpected error occurred while accessing " + PathOf("keep.bak") +
                           u".\nPartial output: ",
                       0),
            0u);
  EXPECT_EQ(ui_.shown[0].type, MB_ICONWARNING);
  EXPECT_EQ(ui_.shown[0].finishedWhenShown, 1);
  EXPECT_EQ(ReadFile(dir_ / "keep.bak"), "old backup");
  EXPECT_EQ(PartialFiles().size(), 1u);
}

TEST_F(RunsTest, ReadOnlyTargetIsNotReplaced) {
  WriteFile(dir_ / "locked.bak", "old backup");
  fs::permissions(dir_ / "locked.bak", fs::perms::owner_read);
  if (access((dir_ / "locked.bak").c_str(), W_OK) == 0) GTEST_SKIP() << "running as root";
  Backup(PathOf("locked.bak"));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, u"Access to " + PathOf("locked.bak") + u" was denied.");
  EXPECT_EQ(ReadFile(dir_ / "locked.bak"), "old backup");
}

TEST_F(RunsTest, MissingTargetFolderIsAFileError) {
  Backup(PathOf("no/such/folder.bak"));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, PathOf("no/such/folder.bak") + u" was not found.");
  EXPECT_EQ(ui_.shown[0].type, MB_ICONWARNING);
  EXPECT_EQ(ui_.shown[0].finishedWhenShown, 1);
}

// An incomplete backup is sealed and valid, but kept under its partial name: an older file of
// the same name may be complete, so it is never replaced.
TEST_F(RunsTest, IncompleteBackupIsKeptBesideTheOlderFile) {
  FillStore();
  WriteFile(dir_ / "all.bak", "old backup");
  mapi::AddFault("IMAPIFolder::GetContentsTable", 1, MAPI_E_CALL_FAILED, 1000);
  BackupJob job(PathOf("all.bak"), 1, 1, 1, 1, 1);
  RunBackup(job);
  mapi::ClearFaults();
  EXPECT_EQ(job.outcome.load(), RunOutcome::kIncomplete);
  EXPECT_EQ(ReadFile(dir_ / "all.bak"), "old backup");
  const std::vector<fs::path> partial = PartialFiles();
  ASSERT_EQ(partial.size(), 1u);
  const std::string partialPath = partial[0].string();
  ASSERT_EQ(ui_.shown.size(), 1u);
  const std::u16string& text = ui_.shown[0].text;
  EXPECT_EQ(text.rfind(u"Backup incomplete: ", 0), 0u);
  EXPECT_NE(text.find(u"folders could not be read"), std::u16string::npos);
  EXPECT_NE(text.find(u"\nPartial output: " +
                      std::u16string(partialPath.begin(), partialPath.end()) + u"\n" +
                      PathOf("all.bak") + u" was not replaced."),
            std::u16string::npos);
  EXPECT_EQ(ui_.shown[0].type, MB_ICONWARNING);
  // What could be read is a complete, valid file: here no message at all.
  EXPECT_EQ(ReadFile(partial[0]), testing::BackupOfRawRecords("", 0));
}

TEST_F(RunsTest, BackupOverTheStoreIsRefusedAndTheStoreStays) {
  FillStore();
  const fs::path store = dir_ / "store.db";
  fs::create_symlink(store, dir_ / "link.bak");
  fs::create_hard_link(store, dir_ / "hard.bak");
  fs::create_symlink(dir_ / "store.db-wal", dir_ / "wal-link.bak");
  const std::vector<std::string> targets = {"store.db", "./store.db", "store.db-wal",
                                            "store.db-shm", "link.bak", "hard.bak",
                                            "wal-link.bak"};
  for (const std::string& name : targets) {
    ui_.shown.clear();
    BackupJob job(PathOf(name), 1, 1, 1, 1, 1);
    ASSERT_TRUE(job.session.initialized);
    RunBackup(job);
    EXPECT_EQ(job.outcome.load(), RunOutcome::kFailed) << name;
    ASSERT_EQ(ui_.shown.size(), 1u) << name;
    EXPECT_EQ(ui_.shown[0].text, PathOf(name) + u" is the message store or one of its files; a "
                                                u"backup is never written over it.");
    EXPECT_EQ(ui_.shown[0].type, MB_ICONWARNING);
  }
  EXPECT_EQ(MessagesInStore(), 4u);
  EXPECT_TRUE(PartialFiles().empty());
}

// As cp does: a link to a file is written through (the file replaced, the link kept), though the
// file becomes readable by its owner only, as every file a backup writes; a link that points
// nowhere is refused and nothing is created.
TEST_F(RunsTest, SymbolicLinkTargetsAreHandledAsCpDoes) {
  FillStore();
  fs::create_directories(dir_ / "real");
  WriteFile(dir_ / "real" / "sms.bak", "old backup");
  fs::permissions(dir_ / "real" / "sms.bak",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("real/sms.bak", dir_ / "sms.bak");
  Backup(PathOf("sms.bak"));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, u"Backup Succeeded.");
  EXPECT_TRUE(fs::is_symlink(dir_ / "sms.bak"));
  EXPECT_EQ(ReadFile(dir_ / "real" / "sms.bak").substr(16, 4), CountField(4));
  EXPECT_EQ(fs::status(dir_ / "real" / "sms.bak").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  fs::create_symlink("real/nowhere.bak", dir_ / "dangling.bak");
  BackupJob job(PathOf("dangling.bak"), 1, 1, 1, 1, 1);
  RunBackup(job);
  EXPECT_EQ(job.outcome.load(), RunOutcome::kFailed);
  ASSERT_EQ(ui_.shown.size(), 2u);
  EXPECT_EQ(ui_.shown[1].text, PathOf("dangling.bak") +
                                   u" is a symbolic link to a file that does not exist; not "
                                   u"writing through it.");
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.bak"));
  EXPECT_FALSE(fs::exists(dir_ / "real" / "nowhere.bak"));
  EXPECT_TRUE(PartialFiles().empty());
}

// Partial files of runs that are gone are removed by the next backup to the same target; one
// that a live run holds (locked) and files of other names stay.
TEST_F(RunsTest, NextBackupRemovesStalePartialFilesOnly) {
  FillStore();
  WriteFile(dir_ / ".all.bak.Stale1.part", "killed run");
  WriteFile(dir_ / ".all.bak.Alive1.part", "running");
  WriteFile(dir_ / ".other.bak.Stale2.part", "another target");
  WriteFile(dir_ / ".all.bak.toolong.part", "not ours");
  const int alive = open((dir_ / ".all.bak.Alive1.part").c_str(), O_RDONLY);
  ASSERT_GE(alive, 0);
  ASSERT_EQ(flock(alive, LOCK_EX), 0);
  Backup(PathOf("all.bak"));
  close(alive);
  EXPECT_EQ(ui_.shown.back().text, u"Backup Succeeded.");
  EXPECT_FALSE(fs::exists(dir_ / ".all.bak.Stale1.part"));
  EXPECT_TRUE(fs::exists(dir_ / ".all.bak.Alive1.part"));
  EXPECT_TRUE(fs::exists(dir_ / ".other.bak.Stale2.part"));
  EXPECT_TRUE(fs::exists(dir_ / ".all.bak.toolong.part"));
}

// A store that others may read is made the owner's alone when it is opened, with the files
// SQLite keeps beside it (those it creates take the store's mode).
TEST_F(RunsTest, StoreReadableByOthersIsTightenedWithItsCompanions) {
  FillStore();
  const fs::path store = dir_ / "store.db";
  WriteFile(dir_ / "store.db-wal", "");
  const auto open = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                    fs::perms::others_read;
  fs::permissions(store, open);
  fs::permissions(dir_ / "store.db-wal", open);
  fs::remove(dir_ / "store.db-shm");
  SmsSession session(u"SMS");
  ASSERT_TRUE(session.initialized);
  ASSERT_NE(session.StandardFolder(FolderKind::Inbox), nullptr);
  for (const char* name : {"store.db", "store.db-wal", "store.db-shm"}) {
    ASSERT_TRUE(fs::exists(dir_ / name)) << name;
    EXPECT_EQ(fs::status(dir_ / name).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << name;
  }
}

}  // namespace
}  // namespace larkpost
