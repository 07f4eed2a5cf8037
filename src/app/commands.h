// The Backup and Restore commands: ask for a file, build the job and run it. Both return when
// the run, with its progress dialog, is over; a cancelled dialog or an unconfirmed restore does
// nothing.
#pragma once

#include <QtCore/QString>

#include "app/frame.h"

class QFileDialog;

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

// A file dialog of the handheld's screen: Qt's own (the same on every desktop, headless too),
// covering the screen below the title strip, which shows its title. The proposed name's ending
// follows the filter the user picks; replacing an existing file is confirmed first.
class CFileDialog : public CDeviceDialog {
 public:
  CFileDialog(QWidget* frame, const QString& title, bool save);
  // `framework` in the "desc|pattern|" convention.
  void SetFilter(const QString& framework, const QString& defaultExtension);
  void SetFileName(const QString& name);
  // Shows the dialog; false when it is not closed with OK.
  bool Ask(QString* path);
  QFileDialog* Files() const { return files_; }  // for tests and screenshots

 private:
  QFileDialog* files_;
  bool save_;
};

// The screen's file dialogs.
class QtFileDialogs : public FileDialogs {
 public:
  bool AskSavePath(const QString& title, const QString& filter, const QString& defaultExtension,
                   const QString& initialName, QString* path) override;
  bool AskOpenPath(const QString& title, const QString& filter, const QString& defaultExtension,
                   QString* path) override;
};

// "Larkpost File(*.bak)|*.bak|Text File(*.txt)|*.txt|" as Qt writes filters, each pattern list
// shown once: "Larkpost File(*.bak);;Text File(*.txt)"; "Pictures|*.png;*.bmp|" gives
// "Pictures (*.png *.bmp)".
QString QtFilter(const QString& framework);

void OnBackupMessages(FileDialogs& dialogs);
void OnRestoreMessages(FileDialogs& dialogs);

}  // namespace larkpost::app
