#include "app/commands.h"

#include <QtCore/QStringList>
#include <QtWidgets/QFileDialog>

#include "app/frame.h"
#include "jobs/job_records.h"
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

bool RunFileDialog(QFileDialog& dialog, const QString& filter, const QString& defaultExtension,
                   QString* path) {
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setNameFilters(QtFilter(filter).split(";;"));
  dialog.setDefaultSuffix(defaultExtension);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  *path = dialog.selectedFiles().first();
  return true;
}

}  // namespace

QString QtFilter(const QString& framework) {
  const QStringList parts = framework.split('|');
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty()) break;
    QString patterns = parts[i + 1];
    patterns.replace(';', ' ');
    filters << parts[i] + " (" + patterns + ")";
  }
  return filters.join(";;");
}

bool QtFileDialogs::AskSavePath(const QString& title, const QString& filter,
                                const QString& defaultExtension, const QString& initialName,
                                QString* path) {
  QFileDialog dialog(DialogParent(), title);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.selectFile(initialName);
  // Qt's save dialog asks before replacing an existing file.
  return RunFileDialog(dialog, filter, defaultExtension, path);
}

bool QtFileDialogs::AskOpenPath(const QString& title, const QString& filter,
                                const QString& defaultExtension, QString* path) {
  QFileDialog dialog(DialogParent(), title);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  return RunFileDialog(dialog, filter, defaultExtension, path);
}

void OnBackupMessages(FileDialogs& dialogs) {
  const QString title = LoadQString(IDS_SAVE_DIALOG_TITLE);
  const QString name = QString::fromStdU16String(DefaultBackupName(CTime::GetCurrentTime()));
  QString chosen;
  if (!dialogs.AskSavePath(title, QString::fromStdU16String(kSaveDialogFilter),
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
  if (!dialogs.AskOpenPath(title, QString::fromStdU16String(kOpenDialogFilter),
                           QString::fromStdU16String(kDefaultExtension), &chosen)) {
    return;
  }
  const std::u16string path = chosen.toStdU16String();
  if (AfxMessageBox(RestoreQuestion(path), MB_OKCANCEL | MB_ICONQUESTION) != IDOK) return;
  if (!StoreReadyForRun()) return;
  RestoreJob job(path);
  if (!SessionReady(job.session)) return;
  StartRestore(job);
}

}  // namespace larkpost::app
