// The progress dialog against scripted jobs, and the Backup and Restore commands through
// scripted file dialogs and message boxes against a real store.
#include <gtest/gtest.h>

#include <QtCore/QRegularExpression>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtGui/QKeyEvent>
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>

#include <chrono>
#include <cstdio>
#include <functional>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/commands.h"
#include "app/gui_test_support.h"
#include "app/message_box.h"
#include "app/progress_dialog.h"
#include "formats/age_keys.h"
#include "formats/format_table.h"
#include "formats/formats_test_util.h"
#include "formats/ios_backup.h"
#include "formats/ios_test_util.h"
#include "jobs/outcome.h"
#include "jobs/store_access.h"
#include "jobs/targets.h"
#include "jobs/worker.h"
#include "platform/file/file_lock.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "storejson/store_json.h"
#include "testing/temp_dir.h"

namespace larkpost::app {
namespace {

namespace fs = std::filesystem;

struct Shown {
  QString text;
  unsigned type;
  bool overProgress;  // a progress dialog was on the screen
  bool onUiThread;
};

// Answers message boxes from a script (IDOK when it runs out) and remembers what was shown.
class ScriptedUi : public QtUserInterface {
 public:
  using QtUserInterface::QtUserInterface;
  std::deque<int> answers;
  std::vector<Shown> shown;
  std::function<void()> onShow;  // runs while a box is up, before it is answered
  bool realBoxes = false;        // the screen's own boxes, answered by the test's hands
  // Answers of the password screen: what is typed, or a key file; none left (or both empty)
  // declines.
  struct Key {
    std::string typed;
    QString keyFile{};
  };
  std::deque<Key> keys;
  QStringList asked;  // the password screens' prompts

 protected:
  bool ShowSecretBox(const QString& prompt, const QString&, std::string& secret,
                     QString* keyFile) override {
    asked << prompt;
    if (keys.empty()) return false;
    const Key key = keys.front();
    keys.pop_front();
    if (key.typed.empty() && (key.keyFile.isEmpty() || keyFile == nullptr)) return false;
    secret = key.typed;
    if (keyFile != nullptr) *keyFile = key.keyFile;
    return true;
  }

  int ShowMessageBox(const QString& text, unsigned type) override {
    shown.push_back({text, type, dynamic_cast<CProgressDialog*>(Frame()->TopDialog()) != nullptr,
                     QThread::currentThread() == qApp->thread()});
    if (realBoxes) return QtUserInterface::ShowMessageBox(text, type);
    if (onShow) onShow();
    if (answers.empty()) return IDOK;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

class ScriptedDialogs : public FileDialogs {
 public:
  QString path;  // empty: the dialog is cancelled
  QString title, filter, extension, initialName;
  int asked = 0;

  bool AskSavePath(const QString& t, const QString& f, const QString& e, const QString& name,
                   QString* out) override {
    initialName = name;
    return Answer(t, f, e, out);
  }
  bool AskOpenPath(const QString& t, const QString& f, const QString& e, QString* out) override {
    return Answer(t, f, e, out);
  }

 private:
  bool Answer(const QString& t, const QString& f, const QString& e, QString* out) {
    ++asked;
    title = t;
    filter = f;
    extension = e;
    if (path.isEmpty()) return false;
    *out = path;
    return true;
  }
};

class Flows : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = testing::StartApp({480, 640, 192, 192});
    ui_ = std::make_unique<ScriptedUi>(app_->MainFrame());
    InstallUserInterface(ui_.get());
    app_->MainFrame()->SetFileDialogs(&dialogs_);
  }
  void TearDown() override {
    InstallUserInterface(nullptr);
    ui_.reset();
    app_.reset();
  }

  CMainFrame& Frame() { return *app_->MainFrame(); }
  QString PathOf(const char* name) const { return QString::fromStdString((dir_ / name).string()); }
  void UseStore(const char* name) {
    store_ = (dir_ / name).string();
    mapi::SetDatabasePath(store_);
  }
  // Loads NDJSON lines (store_json.h) into the store.
  void Load(const std::string& lines) {
    std::istringstream in(lines);
    SmsSession session(u"SMS");
    std::string error;
    ASSERT_TRUE(LoadStore(session, in, error)) << error;
  }
  // One received SMS, as the backup tests start from.
  void LoadOneSms() {
    Load(R"({"folder":["Inbox"],"flags":1,"subject":"See you at 8","lastModified":133564365010000000,"deliveryTime":133564365000000000,"messageClass":"IPM.SMStext","senderEmailAddress":"\"Ann\" <+4915112345678>","senderName":"Ann","size":24,"recipients":[{"name":"Me","address":"+4915112340000","type":1}]})"
         "\n");
  }
  std::string Dump() {
    SmsSession session(u"SMS");
    EXPECT_TRUE(session.initialized);
    std::ostringstream out;
    std::string error;
    EXPECT_TRUE(DumpStore(session, out, error)) << error;
    return out.str();
  }

  std::unique_ptr<CTidewellApp> app_;
  std::unique_ptr<ScriptedUi> ui_;
  ScriptedDialogs dialogs_;
  larkpost::testing::TempDir temp_;
  const fs::path dir_{temp_.path()};
  std::string store_;
};

TEST_F(Flows, FinishedJobEndsTheDialogOnItsFirstTick) {
  const std::atomic<double> progress{1.0};
  const std::atomic<int32_t> finished{1};
  CProgressDialog dialog(&progress, &finished, &Frame());
  EXPECT_EQ(dialog.exec(), QDialog::Accepted);
  EXPECT_EQ(dialog.Ticks(), 1);
  EXPECT_EQ(dialog.findChild<QProgressBar*>("1012")->value(), 100);
  EXPECT_EQ(dialog.findChild<QLabel*>("1013")->text(), "100");
  EXPECT_EQ(dialog.findChild<QLabel*>("1014")->text(), "Quenby Larkpost");
  EXPECT_EQ(dialog.findChild<QLabel*>("1015")->text(), "https://larkpost.example.org/");
}

TEST_F(Flows, ProgressShownAsWholePercentBarFullAbove100) {
  std::atomic<double> progress{0.0};
  const std::atomic<int32_t> finished{0};
  CProgressDialog dialog(&progress, &finished, &Frame());
  auto* number = dialog.findChild<QLabel*>("1013");
  auto* bar = dialog.findChild<QProgressBar*>("1012");
  dialog.OnTimer();  // nothing counted yet
  EXPECT_EQ(number->text(), "0");
  EXPECT_EQ(bar->value(), 0);
  progress = 0.4299;
  dialog.OnTimer();
  EXPECT_EQ(number->text(), "42");
  EXPECT_EQ(bar->value(), 42);
  progress = 1.37;  // more written than counted
  dialog.OnTimer();
  EXPECT_EQ(number->text(), "137");
  EXPECT_EQ(bar->value(), 100);
}

TEST_F(Flows, CloseOkAndCancelRefusedUntilFinished) {
  const std::atomic<double> progress{0.5};
  std::atomic<int32_t> finished{0};
  CProgressDialog dialog(&progress, &finished, &Frame());
  dialog.show();
  dialog.close();
  dialog.reject();
  dialog.accept();
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(&dialog, &escape);
  Frame().close();  // the desktop's close button while the run goes on
  QApplication::processEvents();
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(Frame().isVisible());
  finished = 1;
  dialog.OnTimer();
  EXPECT_FALSE(dialog.isVisible());
}

TEST_F(Flows, WorkerMessageShownOnUiThreadWhileDialogStaysUp) {
  std::atomic<double> progress{0.0};
  std::atomic<int32_t> finished{0};
  ui_->answers = {IDCANCEL};
  int answer = 0;
  std::thread worker([&] {
    progress = 0.6;
    answer = AfxMessageBox(u"Backup Succeeded.", MB_ICONINFORMATION);
    finished = 1;
  });
  ui_->WaitForWorker(progress, finished);
  worker.join();
  ASSERT_EQ(ui_->shown.size(), 1u);
  EXPECT_EQ(ui_->shown[0].text, "Backup Succeeded.");
  EXPECT_TRUE(ui_->shown[0].overProgress);
  EXPECT_TRUE(ui_->shown[0].onUiThread);
  EXPECT_EQ(answer, IDCANCEL);  // the worker got the user's answer
  EXPECT_TRUE(Frame().TopDialog() == nullptr);
}

TEST_F(Flows, MessageAfterFinishedIsServedBeforeTheWorkerIsJoined) {
  // A file error: the worker lets the dialog go first and tells the cause afterwards, here
  // certainly after the dialog's tick has ended it.
  std::atomic<double> progress{0.0};
  std::atomic<int32_t> finished{0};
  const bool ran = RunWorker(
      [&] {
        finished = 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1300));
        AfxMessageBox(u"/nowhere/x.bak was not found.", MB_ICONWARNING);
      },
      progress, finished);
  EXPECT_TRUE(ran);
  ASSERT_EQ(ui_->shown.size(), 1u);
  EXPECT_FALSE(ui_->shown[0].overProgress);
  EXPECT_TRUE(ui_->shown[0].onUiThread);
}

// Quitting while the worker waits for the answer to a message box it shows after `finished` (the
// frame lets the program close then): the quit ends every event loop, but the waits must keep
// serving the worker (its second box too) until its thread has ended, or the join never returns.
// The watchdog turns a hang into a failure.
TEST_F(Flows, QuitDuringAWorkerMessageBoxDoesNotHang) {
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 300 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!done) {
      std::fputs("QuitDuringAWorkerMessageBoxDoesNotHang: the run never ended\n", stderr);
      std::_Exit(1);
    }
  });
  ui_->onShow = [] { QCoreApplication::quit(); };
  std::atomic<double> progress{0.0};
  std::atomic<int32_t> finished{0};
  bool ran = false;
  QTimer::singleShot(0, [&] {
    ran = RunWorker(
        [&] {
          finished = 1;
          AfxMessageBox(u"/nowhere/x.bak was not found.", MB_ICONWARNING);
          AfxMessageBox(u"Partial output: /nowhere/.x.bak.part", MB_ICONWARNING);
        },
        progress, finished);
  });
  QApplication::exec();  // the quit ends it
  done = true;
  watchdog.join();
  EXPECT_TRUE(ran);
  EXPECT_EQ(ui_->shown.size(), 2u);
}

TEST_F(Flows, CancelledDialogsAndUnconfirmedRestoreDoNothing) {
  UseStore("missing.db");  // a logon would create it
  Frame().SendCommand(ID_BACKUP_MESSAGES);
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  EXPECT_EQ(dialogs_.asked, 2);
  dialogs_.path = PathOf("some.bak");
  ui_->answers = {IDCANCEL};
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  ASSERT_EQ(ui_->shown.size(), 1u);
  // The question names the store the messages would go into.
  EXPECT_EQ(ui_->shown[0].text, "Are you sure to restore sms from file:" + PathOf("some.bak") +
                                    "\nMessage store: " + PathOf("missing.db"));
  EXPECT_EQ(ui_->shown[0].type, MB_OKCANCEL | MB_ICONQUESTION);
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(Flows, MissingStoreIsAFailedLogonAndNotCreated) {
  UseStore("gone.db");
  dialogs_.path = PathOf("x.bak");
  Frame().SendCommand(ID_BACKUP_MESSAGES);
  ASSERT_EQ(ui_->shown.size(), 1u);
  EXPECT_EQ(ui_->shown[0].text, "SMS Account Initialization Failed.\nMessage store: " +
                                    PathOf("gone.db") + "\nThe file is missing.");
  EXPECT_EQ(ui_->shown[0].type, MB_ICONWARNING);
  EXPECT_TRUE(fs::is_empty(dir_));
  // A file that is there but no store: the same failure, told apart.
  { std::ofstream(dir_ / "notes.db") << "not a database"; }
  UseStore("notes.db");
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  ASSERT_EQ(ui_->shown.size(), 3u);
  EXPECT_EQ(ui_->shown[2].text, "SMS Account Initialization Failed.\nMessage store: " +
                                    PathOf("notes.db") +
                                    "\nThe file exists but cannot be opened as a message store.");
}

TEST_F(Flows, UpperCaseTxtGivesABackupFile) {
  UseStore("messages.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  dialogs_.path = PathOf("sms.TXT");
  Frame().SendCommand(ID_BACKUP_MESSAGES);
  EXPECT_EQ(dialogs_.title, "Select Save Path.");
  // The system's two filters first, in their order, then every other format a backup writes.
  EXPECT_EQ(dialogs_.filter,
            "Larkpost File(*.bak)|*.bak|Text File(*.txt)|*.txt|Phone XML(*.xml)|*.xml|"
            "Phone ZIP(*.zip)|*.zip|HTML Page(*.html;*.htm)|*.html;*.htm|");
  EXPECT_EQ(dialogs_.extension, "bak");
  EXPECT_TRUE(QRegularExpression("^BAK_[0-9]{8}_[0-9]{4}\\.bak$").match(dialogs_.initialName)
                  .hasMatch())
      << dialogs_.initialName.toStdString();
  ASSERT_EQ(ui_->shown.size(), 1u);
  EXPECT_EQ(ui_->shown[0].text, "Backup Succeeded.\nBacked up 0 messages into " + PathOf("sms.TXT"));
  EXPECT_TRUE(ui_->shown[0].overProgress);
  // A backup file of an empty store: the digest and a record count of 0.
  EXPECT_EQ(fs::file_size(dir_ / "sms.TXT"), 20u);
}

TEST_F(Flows, BackupAndRestoreThroughTheScreens) {
  UseStore("source.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  {
    // Text the backup file's code page (Windows-1252) holds, so the round trip keeps every byte;
    // the sender names as a restore stores them.
    std::istringstream messages(
        R"({"folder":["Draft"],"flags":8,"subject":"Tickets for Saturday!","lastModified":133592329210000000,"deliveryTime":133592329200000000,"messageClass":"IPM.SMStext","senderEmailAddress":"\"Me\" <+4915112340000>","senderName":"Me","size":42,"recipients":[{"name":"Ann Becker","address":"+4915112345678","type":1}]})"
        "\n"
        R"({"folder":["Inbox","Work"],"flags":1,"subject":"Grüße, café à 10?","lastModified":133564365010000000,"deliveryTime":133564365000000000,"messageClass":"IPM.SMStext","senderEmailAddress":"\"Chloé\" <+33612345678>","senderName":"Chloé","size":34,"recipients":[{"name":"Me","address":"+4915112340000","type":1},{"name":"Bob","address":"+4930123456","type":2}]})"
        "\n"
        R"({"folder":["Sentedbox"],"flags":1,"subject":"Got it","lastModified":133569846010000000,"deliveryTime":133569846000000000,"messageClass":"IPM.SMStext","senderEmailAddress":"\"Me\" <+4915112340000>","senderName":"Me","size":12,"recipients":[{"name":"Bob","address":"+4930123456","type":1}]})"
        "\n");
    SmsSession session(u"SMS");
    std::string error;
    uint32_t loaded = 0;
    ASSERT_TRUE(LoadStore(session, messages, error, &loaded)) << error;
    ASSERT_EQ(loaded, 3u);
  }
  const std::string before = Dump();
  dialogs_.path = PathOf("all.bak");
  Frame().SendCommand(ID_BACKUP_MESSAGES);

  UseStore("target.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  EXPECT_EQ(dialogs_.title, "Select File Path.");
  // Every readable format together first, so that a phone's file shows beside the backups.
  EXPECT_EQ(dialogs_.filter,
            "Readable Files(*.bak;*.xml;*.zip;sms.db;chat.db)|*.bak;*.xml;*.zip;sms.db;chat.db|"
            "Larkpost File(*.bak)|*.bak|Phone XML(*.xml)|*.xml|Phone ZIP(*.zip)|*.zip|"
            "iPhone Messages(sms.db;chat.db)|sms.db;chat.db|");

  ASSERT_EQ(ui_->shown.size(), 3u);
  EXPECT_EQ(ui_->shown[0].text, "Backup Succeeded.\nBacked up 3 messages into " + PathOf("all.bak"));
  EXPECT_EQ(ui_->shown[1].text, "Are you sure to restore sms from file:" + PathOf("all.bak") +
                                    "\nMessage store: " + PathOf("target.db"));
  EXPECT_FALSE(ui_->shown[1].overProgress);
  // What the restore did, below the system's text: the Work subfolder of the Inbox was made.
  EXPECT_EQ(ui_->shown[2].text,
            "Restore Succeeded.\nRestored: 3, already present: 0, folders created: 1");
  EXPECT_TRUE(ui_->shown[2].overProgress);
  EXPECT_EQ(Dump(), before);

  // Once more: everything is there already.
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  ASSERT_EQ(ui_->shown.size(), 5u);
  EXPECT_EQ(ui_->shown[4].text,
            "Restore Succeeded.\nRestored: 0, already present: 3, folders created: 0");
  EXPECT_EQ(Dump(), before);
}

// A backup file written in UTF-8 and restored with Windows-1252 chosen: the question says what
// its texts look like, and the restore reads them so, not garbled; the choice stays 1252.
TEST_F(Flows, RestoreReadsABackupFileInTheCodePageItsTextsAreIn) {
  UseStore("source.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  {
    std::istringstream messages(
        R"({"folder":["Inbox"],"flags":1,"subject":"Grüße aus 東京 🙂","lastModified":133564365010000000,"deliveryTime":133564365000000000,"messageClass":"IPM.SMStext","senderEmailAddress":"\"Chloé\" <+33612345678>","senderName":"Chloé","size":24})"
        "\n");
    SmsSession session(u"SMS");
    std::string error;
    ASSERT_TRUE(LoadStore(session, messages, error)) << error;
  }
  const std::string before = Dump();
  ASSERT_TRUE(SetAnsiCodePage(65001));
  dialogs_.path = PathOf("utf8.bak");
  Frame().SendCommand(ID_BACKUP_MESSAGES);
  ASSERT_TRUE(SetAnsiCodePage(1252));
  UseStore("target.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  ASSERT_EQ(ui_->shown.size(), 3u);
  EXPECT_EQ(ui_->shown[1].text, "Are you sure to restore sms from file:" + PathOf("utf8.bak") +
                                    "\nMessage store: " + PathOf("target.db") +
                                    "\nIts texts look like code page 65001, not 1252: they are "
                                    "read as 65001.");
  EXPECT_EQ(Dump(), before);
  EXPECT_EQ(GetACP(), 1252u);
}

// A character the code page lacks: the warning names the command line's option, and below it the
// program's own way out.
TEST_F(Flows, LossyBackupPointsToTheCodePageSetting) {
  UseStore("source.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  {
    std::istringstream messages(
        R"({"folder":["Inbox"],"flags":1,"subject":"東京で会いましょう","lastModified":133564365010000000,"deliveryTime":133564365000000000,"messageClass":"IPM.SMStext","senderEmailAddress":"\"Ann\" <+4915112345678>","senderName":"Ann","size":24,"recipients":[{"name":"Me","address":"+4915112340000","type":1}]})"
        "\n");
    SmsSession session(u"SMS");
    std::string error;
    ASSERT_TRUE(LoadStore(session, messages, error)) << error;
  }
  ASSERT_TRUE(SetAnsiCodePage(1252));
  dialogs_.path = PathOf("sms.bak");
  Frame().SendCommand(ID_BACKUP_MESSAGES);
  ASSERT_EQ(ui_->shown.size(), 2u);
  EXPECT_EQ(ui_->shown[0].text, "Backup Succeeded.\nBacked up 1 message into " + PathOf("sms.bak"));
  EXPECT_EQ(ui_->shown[1].text,
            QString::fromStdU16String(LossyBackupText(1, 1252) + u"\n" + CodePageHint()));
  EXPECT_EQ(ui_->shown[1].type, MB_ICONWARNING);
}

// Closing the window while a run goes on is never ignored: the progress screen says that the
// program closes when the run has ended, a result box up then is answered, and the program
// closes once the command has returned.
TEST_F(Flows, CloseDuringARunClosesWhenTheRunHasEnded) {
  UseStore("source.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  for (const bool resultBoxUp : {false, true}) {
    SCOPED_TRACE(resultBoxUp ? "while the result box is up" : "while the run goes on");
    Frame().show();
    QString note;
    auto closeNow = [&] {
      Frame().close();
      for (QObject* child : Frame().children()) {
        if (auto* progress = dynamic_cast<CProgressDialog*>(child)) {
          if (auto* label = progress->findChild<QLabel*>("closing"); label && label->isVisible()) {
            note = label->text();
          }
        }
      }
      EXPECT_TRUE(Frame().isVisible());
      EXPECT_TRUE(Frame().ClosingAfterRun());
    };
    ui_->realBoxes = resultBoxUp;
    ui_->onShow = resultBoxUp ? std::function<void()>() : closeNow;
    auto* poll = new QTimer(&Frame());
    if (resultBoxUp) {
      // The screen's own result box: the close answers it.
      QObject::connect(poll, &QTimer::timeout, poll, [&, poll] {
        if (dynamic_cast<CMessageBox*>(Frame().TopDialog()) == nullptr) return;
        poll->stop();
        closeNow();
      });
      poll->start(10);
    }
    dialogs_.path = PathOf(resultBoxUp ? "b.bak" : "a.bak");
    Frame().SendCommand(ID_BACKUP_MESSAGES);
    delete poll;
    EXPECT_EQ(note, "Larkpost closes when the run has ended.");
    EXPECT_TRUE(Frame().isVisible());  // the run's command has just returned
    QApplication::processEvents();
    EXPECT_FALSE(Frame().isVisible());
    EXPECT_FALSE(Frame().ClosingAfterRun());
    EXPECT_TRUE(fs::exists(dir_ / (resultBoxUp ? "b.bak" : "a.bak")));  // the run was whole
  }
}

// A restore started while another run holds the store waits, and the progress screen says so
// below the percentage; it goes on once the store is free.
TEST_F(Flows, RestoreWaitsForAnotherRunOnTheStoreAndSaysSo) {
  UseStore("messages.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  std::ofstream(dir_ / "one.xml", std::ios::binary)
      << larkpost::testing::AppXml(
             larkpost::testing::AppSms("+1", "1704103626000", "1", "one"), 1);
  ExclusiveLock other;
  std::string error;
  ASSERT_TRUE(other.Acquire(StoreLockPath(store_), nullptr, nullptr, error)) << error;
  Frame().show();
  QString status;
  auto* poll = new QTimer(&Frame());
  QObject::connect(poll, &QTimer::timeout, poll, [&, poll] {
    for (QObject* child : Frame().children()) {
      auto* progress = dynamic_cast<CProgressDialog*>(child);
      QLabel* label = progress ? progress->findChild<QLabel*>("status") : nullptr;
      if (label && label->isVisible()) {
        status = label->text();
        poll->stop();
        other.Release();
      }
    }
  });
  poll->start(10);
  dialogs_.path = PathOf("one.xml");
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  delete poll;
  EXPECT_EQ(status, "Waiting for another run on " + QString::fromStdString(store_) + " to end...");
  ASSERT_FALSE(ui_->shown.empty());
  EXPECT_TRUE(ui_->shown.back().text.startsWith("Restore Succeeded.\nRestored: 1,"))
      << ui_->shown.back().text.toStdString();
}

// Every format a backup writes goes through the save dialog, and every one a restore reads
// through the open dialog, chosen by the same table as on the command line.
TEST_F(Flows, EveryFormatThroughTheScreens) {
  UseStore("source.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  LoadOneSms();
  const std::pair<const char*, std::string> written[] = {
      {"sms.xml", "<?xml"}, {"sms.ZIP", "PK"}, {"sms.html", "<!DOCTYPE html"}, {"sms.txt", ""}};
  for (const auto& [name, start] : written) {
    dialogs_.path = PathOf(name);
    Frame().SendCommand(ID_BACKUP_MESSAGES);
    ASSERT_EQ(ui_->shown.back().text, "Backup Succeeded.\nBacked up 1 message into " + PathOf(name))
        << name;
    std::ifstream file(dir_ / name, std::ios::binary);
    std::string head(start.size(), '\0');
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    EXPECT_EQ(head, start) << name;
    EXPECT_EQ(FileKindForPath(PathOf(name).toStdU16String()) == FileKind::kTextExport,
              std::string(name) == "sms.txt");
  }
  // A call in the store's call log: counted apart, and a ZIP's goes into the app's call log.
  Load(R"({"folder":["Call Log"],"flags":1,"subject":"","lastModified":133564365010000000,"deliveryTime":133564365010000000,"messageClass":"IPM.Call","senderEmailAddress":"\"\" <+4915112345678>","senderName":"","size":0,"callFolder":"Inbox","columns":[["duration","5"],["type","1"]]})"
       "\n");
  dialogs_.path = PathOf("calls.zip");
  Frame().SendCommand(ID_BACKUP_MESSAGES);
  EXPECT_EQ(ui_->shown.back().text, "Backup Succeeded.\nBacked up 1 SMS, 0 multimedia messages "
                                    "and 1 call into " + PathOf("calls.zip") +
                                    "\nCalls written into " + PathOf("calls-calls.json"));
  for (const char* name : {"sms.xml", "sms.ZIP"}) {
    UseStore(name[4] == 'x' ? "from-xml.db" : "from-zip.db");
    ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
    dialogs_.path = PathOf(name);
    Frame().SendCommand(ID_RESTORE_MESSAGES);
    EXPECT_EQ(ui_->shown.back().text,
              "Restore Succeeded.\nRestored: 1, already present: 0, folders created: 0")
        << name;
  }
}

// A backup into a name ending in ".age" is encrypted, with a passphrase typed twice or to a
// recipient; restoring it asks for the passphrase or key file, and a wrong one restores nothing.
TEST_F(Flows, EncryptedBackupsThroughThePasswordScreen) {
  UseStore("source.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  LoadOneSms();
  const std::string before = Dump();
  auto head = [this](const char* name) {
    std::ifstream file(dir_ / name, std::ios::binary);
    std::string line;
    std::getline(file, line);
    return line;
  };
  ui_->keys = {{"correct horse"}, {"correct horse"}};
  dialogs_.path = PathOf("all.bak.age");
  Frame().SendCommand(ID_BACKUP_MESSAGES);
  EXPECT_EQ(ui_->asked.size(), 2);
  ASSERT_EQ(ui_->shown.size(), 1u);
  EXPECT_EQ(ui_->shown[0].text, "Backup Succeeded.\nBacked up 1 message into " + PathOf("all.bak.age"));
  EXPECT_EQ(head("all.bak.age"), "age-encryption.org/v1");
  // Two passphrases that differ write nothing.
  ui_->keys = {{"one"}, {"two"}};
  dialogs_.path = PathOf("differ.bak.age");
  Frame().SendCommand(ID_BACKUP_MESSAGES);
  EXPECT_EQ(ui_->shown.back().text, "The two passphrases differ.\nNothing was written.");
  EXPECT_FALSE(fs::exists(dir_ / "differ.bak.age"));
  // To a recipient typed, opened with its key file.
  const age::X25519Identity identity = age::GenerateIdentity();
  std::ofstream(dir_ / "key.txt") << "# a key\n" << age::IdentityText(identity) << "\n";
  ui_->keys = {{age::RecipientText(identity.publicKey)}};
  dialogs_.path = PathOf("to-key.bak.age");
  Frame().SendCommand(ID_BACKUP_MESSAGES);
  EXPECT_EQ(ui_->shown.back().text,
            "Backup Succeeded.\nBacked up 1 message into " + PathOf("to-key.bak.age"));

  UseStore("target.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  const std::string empty = Dump();
  const size_t shownBefore = ui_->shown.size();
  ui_->keys = {{"wrong horse"}};
  dialogs_.path = PathOf("all.bak.age");
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  ASSERT_EQ(ui_->shown.size(), shownBefore + 1);  // one box, no question
  EXPECT_EQ(ui_->shown.back().text, "all.bak.age: wrong passphrase (or it needs a key file).\n"
                                    "Nothing was restored.");
  EXPECT_EQ(Dump(), empty);
  ui_->keys = {{"correct horse"}};
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  EXPECT_EQ(ui_->shown.back().text,
            "Restore Succeeded.\nRestored: 1, already present: 0, folders created: 0");
  EXPECT_EQ(Dump(), before);
  ui_->keys = {{"", PathOf("key.txt")}};
  dialogs_.path = PathOf("to-key.bak.age");
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  EXPECT_EQ(ui_->shown.back().text,
            "Restore Succeeded.\nRestored: 0, already present: 1, folders created: 0");
  // Declined: nothing shown, nothing done.
  const size_t shown = ui_->shown.size();
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  EXPECT_EQ(ui_->shown.size(), shown);

  // The phone app's encrypted export, as the app writes it, opens with its passphrase alone.
  const std::string zip = larkpost::testing::ZipOf(
      {{"messages.ndjson",
        larkpost::testing::AppLine("\"+4915112345678\"", "1700000000000", "1", "\"Hi\"") +
            larkpost::testing::AppLine("\"+4915112345678\"", "1700000060000", "2", "\"Ho\"")}});
  std::ofstream(dir_ / "messages.zip", std::ios::binary)
      << larkpost::testing::AppEncryptedExport(zip, "pw", 65536, true, 1, 8);
  dialogs_.path = PathOf("messages.zip");
  ui_->keys = {{"wrong"}, {"pw"}};
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  EXPECT_EQ(ui_->shown.back().text,
            "messages.zip: wrong passphrase (or the file was modified).\nNothing was restored.");
  EXPECT_TRUE(ui_->asked.back().startsWith("messages.zip is an encrypted export of SMS Import"));
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  EXPECT_EQ(ui_->shown.back().text,
            "Restore Succeeded.\nRestored: 2, already present: 0, folders created: 0");
}

// An iPhone backup folder restores through the screens, what the store cannot hold named; an
// encrypted one asks its password on the screen, and a wrong one restores nothing.
TEST_F(Flows, IphoneBackupsThroughTheScreens) {
  const std::string db = (dir_ / "sms.db").string();
  std::string below;
  {
    larkpost::testing::IosDatabase messages(db);
    const int64_t ann = messages.Handle("+4915111111111", "SMS");
    const int64_t bob = messages.Handle("+4915122222222");
    const int64_t chat = messages.Chat(45, {ann});
    const int64_t group = messages.Chat(43, {ann, bob}, "Climbing");
    constexpr int64_t kNanoseconds = 730987200LL * 1000000000LL;
    messages.Message({.handle = ann, .chat = chat, .date = kNanoseconds, .text = "See you"});
    messages.Message({.handle = ann, .chat = chat, .date = kNanoseconds + 1000000000,
                      .fromMe = true, .text = "Sure", .ownAddress = "+4915199999999"});
    const int64_t photo = messages.Message({.handle = bob, .chat = group,
                                            .date = kNanoseconds + 2000000000,
                                            .text = "\xEF\xBF\xBC" "Summit!"});
    below = messages.Attachment(photo, "IMG_0042.JPG", "image/jpeg", 400);
  }
  const std::string picture = larkpost::testing::Picture("jpeg", 400);
  {
    larkpost::testing::IosBackupFolder plain(dir_ / "plain" / "00008110-001A2B3C");
    plain.Add(kIosHomeDomain, kIosMessagesPath, larkpost::testing::FileBytes(db));
    plain.Add(kIosMediaDomain, "Library/SMS/" + below, picture);
    larkpost::testing::EncryptedIosBackupFolder locked(dir_ / "locked", "pa55word");
    locked.Add(kIosHomeDomain, kIosMessagesPath, larkpost::testing::FileBytes(db));
    locked.Seal();
  }
  UseStore("plain.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  // The folder that holds the backup's folder, as a user finds it.
  dialogs_.path = PathOf("plain");
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  // The group's picture message is kept with the SMS, and counted apart.
  ASSERT_EQ(ui_->shown.size(), 2u);
  EXPECT_TRUE(ui_->asked.isEmpty());
  EXPECT_EQ(ui_->shown[1].text,
            "Restore Succeeded.\nRestored: 3 (2 SMS and 1 multimedia message), already present: "
            "0, folders created: 0");

  UseStore("locked.db");
  ASSERT_EQ(mapi::InitializeDatabase(store_), S_OK);
  const std::string empty = Dump();
  ui_->shown.clear();
  dialogs_.path = PathOf("locked");
  Frame().SendCommand(ID_RESTORE_MESSAGES);  // the password screen declined
  EXPECT_EQ(ui_->asked.size(), 1);
  EXPECT_TRUE(ui_->shown.empty());
  ui_->keys = {{"not it"}};
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  ASSERT_EQ(ui_->shown.size(), 1u);
  EXPECT_EQ(ui_->shown[0].text, PathOf("locked") +
                                    ": wrong password for the encrypted backup\n"
                                    "Nothing was restored.");
  EXPECT_EQ(Dump(), empty);
  ui_->keys = {{"pa55word"}};
  Frame().SendCommand(ID_RESTORE_MESSAGES);
  EXPECT_EQ(ui_->asked.size(), 3);
  ASSERT_GE(ui_->shown.size(), 3u);
  EXPECT_EQ(ui_->shown[2].text,
            "Restore Succeeded.\nRestored: 3 (2 SMS and 1 multimedia message), already present: "
            "0, folders created: 0");
}

// The patterns of each filter select, through the path's ending, the format the filter names:
// the dialogs and the command line read one table.
TEST(DialogFilters, EachPatternSelectsItsFormat) {
  const QStringList save = QString::fromStdU16String(SaveDialogFilter()).split('|');
  EXPECT_TRUE(save.join('|').startsWith("Larkpost File(*.bak)|*.bak|Text File(*.txt)|*.txt|"));
  const std::vector<FileKind> expected = {FileKind::kBackup, FileKind::kTextExport,
                                          FileKind::kPhoneXml, FileKind::kPhoneZip,
                                          FileKind::kHtml};
  ASSERT_EQ(save.size(), 2 * static_cast<int>(expected.size()) + 1);
  for (size_t i = 0; i < expected.size(); ++i) {
    for (const QString& pattern : save[2 * i + 1].split(';')) {
      const std::u16string path = ("/home/ann/BAK_20260105_0845" + pattern.mid(1)).toStdU16String();
      EXPECT_EQ(FileKindForPath(path), expected[i]) << pattern.toStdString();
    }
  }
  const QStringList open = QString::fromStdU16String(OpenDialogFilter()).split('|');
  int readable = 0;
  for (int i = 1; i < open.size(); i += 2) {
    for (const QString& pattern : open[i].split(';')) {
      // An ending selects its format; a whole name is one of an input told by its content.
      if (!pattern.startsWith("*.")) continue;
      const FileKind kind = FileKindForPath(("/x/y" + pattern.mid(1)).toStdU16String());
      EXPECT_TRUE(IsReadable(kind)) << pattern.toStdString();
    }
    ++readable;
  }
  EXPECT_EQ(readable, 4);  // .bak, .xml, .zip and the iPhone's databases: all a restore reads
}

TEST(QtFilter, FrameworkFiltersAsQtWritesThemEachPatternOnce) {
  EXPECT_EQ(QtFilter("Larkpost File(*.bak)|*.bak|Text File(*.txt)|*.txt|"),
            "Larkpost File(*.bak);;Text File(*.txt)");
  EXPECT_EQ(QtFilter("HTML Page(*.html;*.htm)|*.html;*.htm|"), "HTML Page(*.html *.htm)");
  EXPECT_EQ(QtFilter("Pictures|*.png;*.bmp|"), "Pictures (*.png *.bmp)");
  // The open dialog's "all together" first: each pattern once, and nothing to add for one format.
  EXPECT_EQ(ReadableFilter(u"A(*.x)|*.x|B(*.y;*.x)|*.y;*.x|"),
            u"Readable Files(*.x;*.y)|*.x;*.y|A(*.x)|*.x|B(*.y;*.x)|*.y;*.x|");
  EXPECT_EQ(ReadableFilter(u"Larkpost File(*.bak)|*.bak|"), u"Larkpost File(*.bak)|*.bak|");
}

}  // namespace
}  // namespace larkpost::app
