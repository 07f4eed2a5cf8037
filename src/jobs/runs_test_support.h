// The fixture of the run tests: a fresh store in a temporary folder per test, a scripted user
// interface that records every message box with the job's state at that moment, and short ways
// to fill the store, run a backup or restore and read the files they leave.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backupfile/backup_test_util.h"
#include "jobs/job_records.h"
#include "jobs/outcome.h"
#include "jobs/runs.h"
#include "jobs/worker.h"
#include "platform/framework/framework.h"
#include "platform/mapi/provider.h"
#include "platform/time/filetime.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"
#include "testing/temp_dir.h"

namespace larkpost::testing {

namespace fs = std::filesystem;

// Keeps the text of every message box, and waits for the worker.
class ShownTexts : public UserInterface {
 public:
  int MessageBox(const std::u16string& text, unsigned) override {
    shown.push_back(WideToUtf8(text));
    return IDOK;
  }
  void WaitForWorker(const std::atomic<double>&, const std::atomic<int32_t>& finished) override {
    while (finished.load() == 0) std::this_thread::yield();
  }
  std::vector<std::string> shown;
};

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
  void Status(const std::u16string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    statuses.push_back(text);
  }
  void WaitForWorker(const std::atomic<double>&, const std::atomic<int32_t>& done) override {
    ++waits;
    while (done.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  std::vector<Shown> shown;
  std::vector<std::u16string> statuses;
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

  // A run asked to stop (Ctrl-C) before it started: it stops at its first check.
  void RunRestoreAskedToStop(RestoreJob& job) {
    RequestStop(SIGINT);
    RunRestore(job);
    ClearStopRequest();
  }

  void Backup(const std::u16string& path) {
    BackupJob job(path, 1, 1, 1, 1, 1);
    ASSERT_TRUE(job.session.initialized);
    RunBackup(job);
  }
  void Restore(const std::u16string& path) {
    RestoreJob job(path);
    ASSERT_TRUE(job.session.initialized);
    RunRestore(job);
  }

  static std::string ReadFile(const fs::path& path) { return testing::FileBytes(path); }
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

  TempDir temp_;
  const fs::path dir_{temp_.path()};
  ScriptedUserInterface ui_;
};

// The record count field of a backup file, as the file holds it.
inline std::string CountField(uint32_t count) {
  std::string out;
  PutLittleEndian(out, count, 4);
  return out;
}

// The record of a message in `folder` from Ann to Bob, built from the layout.
inline std::string RecordOf(const std::string& folder, uint64_t delivery, const std::string& text) {
  GoldenRecord record;
  record.folderPath = folder;
  record.lastModified = record.deliveryTime = delivery;
  record.flags = 1;
  record.size = static_cast<uint32_t>(text.size() + 1);
  record.recipients = "\"Bob\" <+4930> 1";
  record.sender = "\"Ann\" <+49151>";
  record.text = text;
  return RecordBytes(record);
}

}  // namespace larkpost::testing
