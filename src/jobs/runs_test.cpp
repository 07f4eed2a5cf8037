#include "jobs/runs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "backupfile/backup_test_util.h"
#include "jobs/job_records.h"
#include "jobs/worker.h"
#include "platform/framework/framework.h"
#include "platform/mapi/provider.h"
#include "platform/time/filetime.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {
namespace {

namespace fs = std::filesystem;

// Records every message box with the job's `finished` flag and `progress` at the moment it was
// shown, and waits for the worker the way a progress view does.
class ScriptedUserInterface : public UserInterface {
 public:
  struct Shown {
    std::u16string text;
    unsigned type;
    int32_t finishedWhenShown;
    double progressWhenShown;
  };

  int MessageBox(const std::u16string& text, unsigned type) override {
    std::lock_guard<std::mutex> lock(mutex_);
    shown.push_back({text, type, finished ? finished->load() : -1,
                     progress ? progress->load() : -1.0});
    return IDOK;
  }
  void WaitForWorker(const std::atomic<double>&, const std::atomic<int32_t>& done) override {
    ++waits;
    while (done.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  std::vector<Shown> shown;
  int waits = 0;
  const std::atomic<int32_t>* finished = nullptr;
  const std::atomic<double>* progress = nullptr;

 private:
  std::mutex mutex_;
};

class RunsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseStore("store.db");
    mapi::ClearFaults();
    InstallUserInterface(&ui_);
  }
  void TearDown() override {
    InstallUserInterface(nullptr);
    mapi::ClearFaults();
    FailWorkerCreationForTesting(false);
  }

  void UseStore(const std::string& name) {
    const std::string path = (dir_ / name).string();
    ASSERT_EQ(mapi::InitializeDatabase(path), S_OK);
    mapi::SetDatabasePath(path);
  }

  std::u16string PathOf(const std::string& name) const {
    const std::string path = (dir_ / name).string();
    return std::u16string(path.begin(), path.end());
  }

  static void AddMessage(SmsFolder& folder, uint64_t delivery, const std::u16string& text) {
    std::unique_ptr<SmsMessage> message = folder.CreateMessage();
    ASSERT_NE(message, nullptr);
    message->deliveryTime = UInt64ToFileTime(delivery);
    message->lastModified = UInt64ToFileTime(delivery + 1);
    message->text = text;
    message->senderName = u"Ann";
    message->senderAddress = u"+49151";
    message->flags = 1;
    message->size = static_cast<uint32_t>(text.size());
    ASSERT_NE(message->Recipients(), nullptr);
    auto bob = std::make_unique<SmsRecipient>();
    bob->displayName = u"Bob";
    bob->address = u"+4930";
    message->Recipients()->push_back(std::move(bob));
    ASSERT_TRUE(message->Save());
  }

  // Two messages in the inbox, one in its subfolder "Work", one in Sent.
  void FillStore() {
    SmsSession session(u"SMS");
    ASSERT_TRUE(session.initialized);
    SmsFolder* inbox = session.StandardFolder(FolderKind::Inbox);
    ASSERT_NE(inbox, nullptr);
    AddMessage(*inbox, 133000000000000001ULL, u"first");
    AddMessage(*inbox, 133000000000000002ULL, u"second");
    std::unique_ptr<SmsFolder> work = inbox->CreateSubfolder(u"Work");
    ASSERT_NE(work, nullptr);
    AddMessage(*work, 133000000000000003ULL, u"at work");
    SmsFolder* sent = session.StandardFolder(FolderKind::Sent);
    ASSERT_NE(sent, nullptr);
    AddMessage(*sent, 133000000000000004ULL, u"sent one");
  }

  static uint32_t MessagesInStore() {
    SmsSession session(u"SMS");
    uint32_t count = 0;
    for (int kind = 0; kind < kFolderKindCount; ++kind) {
      if (SmsFolder* folder = session.StandardFolder(static_cast<FolderKind>(kind))) {
        count += CountMessages(*folder);
      }
    }
    return count;
  }

  void RunBackup(BackupJob& job) {
    ui_.finished = &job.finished;
    ui_.progress = &job.progress;
    StartBackup(job);
  }
  void RunRestore(RestoreJob& job) {
    ui_.finished = &job.finished;
    ui_.progress = &job.progress;
    StartRestore(job);
  }

  void Backup(const std::u16string& path, BackupFormat format = kBackupFile) {
    BackupJob job(format, path, 1, 1, 1, 1, 1);
    ASSERT_TRUE(job.session.initialized);
    RunBackup(job);
  }
  void Restore(const std::u16string& path) {
    RestoreJob job(path);
    ASSERT_TRUE(job.session.initialized);
    RunRestore(job);
  }

  static std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // Files beside the target that a failed run left behind.
  std::vector<fs::path> PartialFiles() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().extension() == ".part") found.push_back(entry.path());
    }
    return found;
  }

  testing::TempDir temp_;
  const fs::path dir_{temp_.path()};
  ScriptedUserInterface ui_;
};

std::string Le(uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

std::string RecordOf(const std::string& folder, uint64_t delivery, const std::string& text) {
  const std::string body = text + "\n";
  return "IPM.SMStext\n" + folder + "\n" + Le(delivery, 8) + Le(delivery, 8) + Le(1, 4) +
         Le(body.size(), 4) + "\"Bob\" <+4930> 1\n" + "\"Ann\" <+49151>\n" + Le(body.size(), 4) +
         body;
}

TEST_F(RunsTest, BackupRefusesBlankPathAndNoFolder) {
  {
    BackupJob job(kBackupFile, u"  \t ", 1, 1, 1, 1, 1);
    RunBackup(job);
  }
  {
    BackupJob job(kBackupFile, PathOf("none.bak"), 0, 0, 0, 0, 0);
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
  BackupJob job(kBackupFile, u"  " + PathOf("all.bak") + u" ", 1, 1, 1, 1, 1);
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
  EXPECT_EQ(bytes.substr(16, 4), Le(4, 4));
  EXPECT_EQ(fs::status(dir_ / "all.bak").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(PartialFiles().empty());
}

TEST_F(RunsTest, BackupOfSelectedFoldersOnly) {
  FillStore();
  BackupJob job(kBackupFile, PathOf("sent.bak"), 0, 0, 0, 1, 0);
  RunBackup(job);
  EXPECT_EQ(job.total, 1);
  EXPECT_EQ(ReadFile(dir_ / "sent.bak").substr(16, 4), Le(1, 4));
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
  Backup(PathOf("all.txt"), kTextExport);
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

TEST_F(RunsTest, CountLargerThanRecordsEndsWithReadFolderLineError) {
  WriteFile(dir_ / "short.bak",
            testing::BackupOfRawRecords(RecordOf("Inbox", 133000000000000010ULL, "one"), 2));
  Restore(PathOf("short.bak"));
  ASSERT_EQ(ui_.shown.size(), 1u);
  EXPECT_EQ(ui_.shown[0].text, u"No.2, Read folder line error!");
  EXPECT_EQ(MessagesInStore(), 1u);
}

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
  EXPECT_EQ(ReadFile(dir_ / "keep.bak").substr(16, 4), Le(4, 4));
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
  BackupJob job(kBackupFile, PathOf("keep.bak"), 1, 1, 1, 1, 1);
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
  BackupJob job(kBackupFile, PathOf("all.bak"), 1, 1, 1, 1, 1);
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

TEST_F(RunsTest, UnreadableMessagesMakeTheBackupIncomplete) {
  FillStore();
  BackupJob job(kBackupFile, PathOf("all.bak"), 1, 1, 1, 1, 1);
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
  BackupJob refused(kBackupFile, u" ", 1, 1, 1, 1, 1);
  RunBackup(refused);
  EXPECT_EQ(refused.outcome.load(), RunOutcome::kNotRun);
  BackupJob done(kBackupFile, PathOf("all.bak"), 1, 1, 1, 1, 1);
  RunBackup(done);
  EXPECT_EQ(done.outcome.load(), RunOutcome::kSucceeded);
  BackupJob failed(kBackupFile, PathOf("no/such/all.bak"), 1, 1, 1, 1, 1);
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

// The message store's own files, under any name, are never a backup's target.
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
    BackupJob job(kBackupFile, PathOf(name), 1, 1, 1, 1, 1);
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

// As cp does: a link to a file is written through (the file replaced, its mode kept, the link
// kept); a link that points nowhere is refused and nothing is created.
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
  EXPECT_EQ(ReadFile(dir_ / "real" / "sms.bak").substr(16, 4), Le(4, 4));
  EXPECT_EQ(fs::status(dir_ / "real" / "sms.bak").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  fs::create_symlink("real/nowhere.bak", dir_ / "dangling.bak");
  BackupJob job(kBackupFile, PathOf("dangling.bak"), 1, 1, 1, 1, 1);
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
