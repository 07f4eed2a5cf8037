// The Backup and Restore commands: ask for a file, build the job and run it. Both return when
// the run, with its progress dialog, is over; a cancelled dialog or an unconfirmed restore does
// nothing.
#pragma once

#include <QtCore/QString>

namespace larkpost::app {

// The file dialogs the commands ask through. Filters are in the framework's "desc|pattern|"
// convention; `defaultExtension` is appended to a name typed without one.
class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  // Save dialog that asks before replacing an existing file; false when not closed with OK.
  virtual bool AskSavePath(const QString& title, const QString& filter,
                           const QString& defaultExtension, const QString& initialName,
                           QString* path) = 0;
  // Open dialog for an existing file; false when not closed with OK.
  virtual bool AskOpenPath(const QString& title, const QString& filter,
                           const QString& defaultExtension, QString* path) = 0;
};

// Qt's own file dialogs (the same on every desktop, headless too).
class QtFileDialogs : public FileDialogs {
 public:
  bool AskSavePath(const QString& title, const QString& filter, const QString& defaultExtension,
                   const QString& initialName, QString* path) override;
  bool AskOpenPath(const QString& title, const QString& filter, const QString& defaultExtension,
                   QString* path) override;
};

// "Larkpost File(*.bak)|*.bak|Text File(*.txt)|*.txt|" as Qt writes filters:
// "Larkpost File(*.bak) (*.bak);;Text File(*.txt) (*.txt)".
QString QtFilter(const QString& framework);

void OnBackupMessages(FileDialogs& dialogs);
void OnRestoreMessages(FileDialogs& dialogs);

}  // namespace larkpost::app
