#include "app/commands.h"

#include <QtCore/QFileInfo>
#include <QtCore/QRegularExpression>
#include <QtCore/QStringList>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QVBoxLayout>

#include "app/frame.h"
#include "app/progress_dialog.h"
#include "jobs/job_records.h"
#include "jobs/message_files.h"
#include "jobs/output_file.h"
#include "jobs/runs.h"
#include "jobs/store_access.h"
#include "jobs/targets.h"
#include "platform/framework/framework.h"
#include "platform/framework/strings.h"

namespace larkpost::app {

namespace {

QWidget* DialogParent() {
  CTidewellApp* app = AfxGetApp();
  return app != nullptr ? app->MainFrame() : nullptr;
}

// "*.xml" → "xml": the ending a filter's first pattern gives a name typed without one.
QString SuffixOf(const QString& qtFilter) {
  const QRegularExpressionMatch match =
      QRegularExpression("\\(\\*\\.([A-Za-z0-9]+)").match(qtFilter);
  return match.hasMatch() ? match.captured(1) : QString();
}

}  // namespace

CFileDialog::CFileDialog(QWidget* frame, const QString& title, bool save)
    : CDeviceDialog(frame, title, false), save_(save) {
  const ScreenMetrics& screen = SystemMetrics();
  setFont(CellFont(screen.T(13)));
  files_ = new QFileDialog(this);
  // Qt's own dialog, as a part of this screen: not the desktop's, not a window of its own.
  files_->setOption(QFileDialog::DontUseNativeDialog);
  files_->setWindowFlags(Qt::Widget);
  // Replacing a file is confirmed by the screen's own message box.
  files_->setOption(QFileDialog::DontConfirmOverwrite);
  files_->setViewMode(QFileDialog::List);
  files_->setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  files_->setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  files_->setSizeGripEnabled(false);
  // A handheld's screen has no room for the desktop's side bar of places.
  if (auto* sidebar = files_->findChild<QWidget*>("sidebar")) sidebar->hide();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(files_);
  connect(files_, &QFileDialog::finished, this, [this](int result) { done(result); });
  connect(files_, &QFileDialog::filterSelected, this, [this](const QString& filter) {
    // The name follows the chosen filter: its ending replaces one of the other filters'.
    const QString suffix = SuffixOf(filter);
    if (suffix.isEmpty()) return;
    files_->setDefaultSuffix(suffix);
    auto* name = files_->findChild<QLineEdit*>("fileNameEdit");
    if (!save_ || name == nullptr) return;
    for (const QString& other : files_->nameFilters()) {
      const QString ending = "." + SuffixOf(other);
      if (ending.size() > 1 && name->text().endsWith(ending)) {
        name->setText(name->text().chopped(ending.size()) + "." + suffix);
        break;
      }
    }
  });
}

void CFileDialog::SetFilter(const QString& framework, const QString& defaultExtension) {
  files_->setNameFilters(QtFilter(framework).split(";;"));
  files_->setDefaultSuffix(defaultExtension);
}

void CFileDialog::SetFileName(const QString& name) { files_->selectFile(name); }

bool CFileDialog::Ask(QString* path) {
  for (;;) {
    files_->show();  // it hides itself when it is answered
    if (exec() != QDialog::Accepted || files_->selectedFiles().isEmpty()) return false;
    *path = files_->selectedFiles().first();
    if (!save_) return true;
    // A page comes with its media folder, which is replaced with it: only one made for it.
    std::u16string folderName;
    const CompanionState folder = PageFolderState(path->toStdU16String(), folderName);
    const QString folderText = QString::fromStdU16String(folderName);
    if (folder == CompanionState::kOther) {
      const QString refusal = folderText + " already exists and was not made for this page.\n"
                                           "Choose another name.";
      AfxMessageBox(refusal.toStdU16String(), MB_OK | MB_ICONWARNING);
      continue;
    }
    const bool page = QFileInfo::exists(*path);
    if (!page && folder == CompanionState::kAbsent) return true;
    QString question = (page ? QFileInfo(*path).fileName() : folderText) + " already exists.";
    if (page && folder == CompanionState::kMadeForTarget) {
      question += "\nIts folder " + folderText + " goes with it.";
    }
    question += "\nDo you want to replace it?";
    if (AfxMessageBox(question.toStdU16String(), MB_OKCANCEL | MB_ICONWARNING) == IDOK) {
      return true;
    }
  }
}

namespace {

}  // namespace

QString QtFilter(const QString& framework) {
  const QStringList parts = framework.split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty()) break;
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    // A description that names its patterns already, "Larkpost File(*.bak)", keeps them once.
    QString description = parts[i];
    const QString named = "(" + parts[i + 1] + ")";
    if (description.endsWith(named)) {
      description.chop(named.size());
      filters << description + "(" + patterns + ")";
    } else {
      filters << description + " (" + patterns + ")";
    }
  }
  return filters.join(";;");
}

bool QtFileDialogs::AskSavePath(const QString& title, const QString& filter,
                                const QString& defaultExtension, const QString& initialName,
                                QString* path) {
  CFileDialog dialog(DialogParent(), title, true);
  dialog.SetFilter(filter, defaultExtension);
  dialog.SetFileName(initialName);
  return dialog.Ask(path);
}

bool QtFileDialogs::AskOpenPath(const QString& title, const QString& filter,
                                const QString& defaultExtension, QString* path) {
  CFileDialog dialog(DialogParent(), title, false);
  dialog.SetFilter(filter, defaultExtension);
  return dialog.Ask(path);
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
  if (!StoreReadyForRun()) return;
  BackupJob job(FileKindForPath(path), path, 1, 1, 1, 1, 1);
  if (!SessionReady(job.session)) return;
  StartBackup(job);
}

void OnRestoreMessages(FileDialogs& dialogs) {
  const QString title = LoadQString(IDS_OPEN_DIALOG_TITLE);
  QString chosen;
  if (!dialogs.AskOpenPath(title, QString::fromStdU16String(OpenDialogFilter()),
                           QString::fromStdU16String(kDefaultExtension), &chosen)) {
    return;
  }
  const std::u16string path = chosen.toStdU16String();
  if (AfxMessageBox(RestoreQuestion(path), MB_OKCANCEL | MB_ICONQUESTION) != IDOK) return;
  if (!StoreReadyForRun()) return;
  RestoreJob job(path);
  if (!SessionReady(job.session)) return;
  // After "Restore Succeeded." the box says what the run did.
  auto* ui = dynamic_cast<QtUserInterface*>(&CurrentUserInterface());
  if (ui != nullptr) {
    ui->SetAddendum([&job] {
      return job.outcome == RunOutcome::kSucceeded ? u"\n" + RestoreSummaryLine(job.Counts())
                                                   : std::u16string();
    });
  }
  StartRestore(job);
  if (ui != nullptr) ui->SetAddendum(nullptr);
}

}  // namespace larkpost::app
