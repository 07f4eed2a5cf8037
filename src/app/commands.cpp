#include "app/commands.h"

#include <QtCore/QStringList>

#include <functional>
#include <memory>

#include "app/progress_dialog.h"
#include "app/sealed_files.h"
#include "jobs/backup_code_page.h"
#include "jobs/job_records.h"
#include "jobs/message_files.h"
#include "platform/file/output_file.h"
#include "jobs/runs.h"
#include "jobs/store_access.h"
#include "jobs/targets.h"
#include "message/counts.h"
#include "platform/framework/framework.h"
#include "platform/framework/strings.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"

namespace larkpost::app {

namespace {

// Adds to the messages shown while a command runs what the command knows and the system's texts
// do not say; removed again when the command returns.
class ScopedAddendum {
 public:
  explicit ScopedAddendum(std::function<std::u16string(unsigned type)> addendum)
      : ui_(dynamic_cast<QtUserInterface*>(&CurrentUserInterface())) {
    if (ui_ != nullptr) ui_->SetAddendum(std::move(addendum));
  }
  ~ScopedAddendum() {
    if (ui_ != nullptr) ui_->SetAddendum(nullptr);
  }
  ScopedAddendum(const ScopedAddendum&) = delete;
  ScopedAddendum& operator=(const ScopedAddendum&) = delete;

 private:
  QtUserInterface* ui_;
};

std::u16string Wide(const std::string& utf8) { return QString::fromStdString(utf8).toStdU16String(); }

// The code page of one run, when it is not the one chosen in the dialogs: the chosen one again
// once the command returns.
class ScopedRunCodePage {
 public:
  ScopedRunCodePage() : chosen_(GetACP()) {}
  ~ScopedRunCodePage() { SetAnsiCodePage(chosen_); }
  ScopedRunCodePage(const ScopedRunCodePage&) = delete;
  ScopedRunCodePage& operator=(const ScopedRunCodePage&) = delete;

 private:
  unsigned chosen_;
};

// Where the store cannot be used, the line that names it (the warning before a job exists is
// "SMS Account Initialization Failed.").
std::u16string StoreFailureLine() {
  const std::string path = mapi::DatabasePath();
  return u"\n" + Wide(StoreLine(path)) +
         (StoreFileExists(path) ? u"\nThe file exists but cannot be opened as a message store."
                                : u"\nThe file is missing.");
}

}  // namespace

std::string StoreLine(const std::string& database) { return "Message store: " + database; }

std::u16string BackupSummaryLine(uint64_t written, const std::u16string& path, uint64_t multimedia,
                                 uint64_t calls, const std::u16string& callLog) {
  // As the command line counts them: SMS, multimedia messages and calls apart when there are any.
  const std::u16string what = multimedia == 0 && calls == 0
                                  ? Wide(Counted(written, "message", "messages"))
                                  : EntryCountsText(written - multimedia - calls, multimedia, calls);
  std::u16string line = u"Backed up " + what + u" into " + path;
  if (!callLog.empty()) line += u"\nCalls written into " + callLog;
  return line;
}

std::u16string ReadableFilter(const std::u16string& framework) {
  const QStringList parts = QString::fromStdU16String(framework).split('|');
  QStringList patterns;
  for (int i = 1; i < parts.size(); i += 2) {
    for (const QString& pattern : parts[i].split(';')) {
      if (!pattern.isEmpty() && !patterns.contains(pattern)) patterns << pattern;
    }
  }
  if (patterns.size() < 2) return framework;
  const QString all = patterns.join(';');
  return ("Readable Files(" + all + ")|" + all + "|").toStdU16String() + framework;
}

std::u16string CodePageHint() {
  return u"In Larkpost: choose the code page in the save dialog (UTF-8, 65001, keeps every "
         u"character).";
}

void OnBackupMessages(FileDialogs& dialogs) {
  const QString title = LoadQString(IDS_SAVE_DIALOG_TITLE);
  const QString name = QString::fromStdU16String(DefaultBackupName(CTime::GetCurrentTime()));
  QString chosen;
  if (!dialogs.AskSavePath(title, QString::fromStdU16String(SaveDialogFilter()),
                           QString::fromStdU16String(kDefaultExtension), name, &chosen)) {
    return;
  }
  const std::u16string path = chosen.toStdU16String();
  // A name ending in ".age": encrypted as it is written, to the key or passphrase asked now.
  SealedRun sealed(dynamic_cast<QtUserInterface*>(&CurrentUserInterface()));
  if (sealed.PrepareOutput(path) != SealedRun::Ready::kYes) return;
  std::unique_ptr<BackupJob> job;
  bool started = false;  // set before the worker starts, read by it
  ScopedAddendum addendum([&job, &started](unsigned type) -> std::u16string {
    if (!started) return type == MB_ICONWARNING ? StoreFailureLine() : std::u16string();
    const RunOutcome outcome = job->outcome;
    if (type == MB_ICONINFORMATION &&
        (outcome == RunOutcome::kSucceeded || outcome == RunOutcome::kLossy)) {
      return u"\n" + BackupSummaryLine(job->written, job->path, job->multimediaWritten,
                                       job->callsWritten, job->callLog);
    }
    // The way out the warning names is a command-line option: here it is a setting.
    if (type == MB_ICONWARNING && job->replacedMessages > 0 &&
        (outcome == RunOutcome::kLossy || outcome == RunOutcome::kIncomplete)) {
      return u"\n" + CodePageHint();
    }
    return std::u16string();
  });
  if (!StoreReadyForRun()) return;
  job = std::make_unique<BackupJob>(path, 1, 1, 1, 1, 1);
  if (!SessionReady(job->session)) return;
  started = true;
  StartBackup(*job);
}

void OnRestoreMessages(FileDialogs& dialogs) {
  const QString title = LoadQString(IDS_OPEN_DIALOG_TITLE);
  QString chosen;
  if (!dialogs.AskOpenPath(title, QString::fromStdU16String(ReadableFilter(OpenDialogFilter())),
                           QString::fromStdU16String(kDefaultExtension), &chosen)) {
    return;
  }
  const std::u16string path = chosen.toStdU16String();
  // An encrypted file is opened, and an encrypted iPhone backup unlocked, before the question:
  // a wrong key ends here with nothing restored.
  SealedRun sealed(dynamic_cast<QtUserInterface*>(&CurrentUserInterface()));
  if (sealed.OpenInput(path) != SealedRun::Ready::kYes) return;
  // The question names the store the messages go into, as the command line does.
  std::u16string question =
      RestoreQuestion(path) + u"\n" + Wide(StoreLine(mapi::DatabasePath()));
  // A backup file whose texts do not read right in the code page chosen would be restored
  // garbled for good: the question says which one they look like, and the run reads them so.
  DetectedCodePage detected;
  const unsigned codePage =
      DetectFileCodePage(path, detected) ? OtherCodePage(detected, GetACP()) : 0;
  if (codePage != 0) {
    const std::u16string page = Wide(std::to_string(codePage));
    question += u"\nIts texts look like code page " + page + u", not " +
                Wide(std::to_string(GetACP())) + u": they are read as " + page + u".";
  }
  if (AfxMessageBox(question, MB_OKCANCEL | MB_ICONQUESTION) != IDOK) return;
  ScopedRunCodePage runCodePage;
  if (codePage != 0) SetAnsiCodePage(codePage);
  std::unique_ptr<RestoreJob> job;
  bool started = false;  // set before the worker starts, read by it
  ScopedAddendum addendum([&job, &started](unsigned type) -> std::u16string {
    if (!started) return type == MB_ICONWARNING ? StoreFailureLine() : std::u16string();
    // After "Restore Succeeded." what the run did; what it left out follows as its warning.
    const RunOutcome outcome = job->outcome;
    if (type == MB_ICONINFORMATION &&
        (outcome == RunOutcome::kSucceeded || outcome == RunOutcome::kLossy)) {
      return u"\n" + RestoreSummaryLine(job->Counts());
    }
    return std::u16string();
  });
  if (!StoreReadyForRun()) return;
  job = std::make_unique<RestoreJob>(path);
  if (!SessionReady(job->session)) return;
  started = true;
  StartRestore(*job);
}

}  // namespace larkpost::app
