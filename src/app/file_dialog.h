// The file dialogs of the handheld's screen and the program's settings they keep (the folder of
// the last file chosen, the code page of the text in files).
//
// Runs on the user-interface thread.
#pragma once

#include <QtCore/QString>

#include "app/frame.h"

class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QSettings;

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
  // Open dialog for an existing file, or a folder that is an input (an iPhone backup); false when
  // not closed with OK.
  virtual bool AskOpenPath(const QString& title, const QString& filter,
                           const QString& defaultExtension, QString* path) = 0;
};

// The program's settings (the last folder, the code page), kept between runs.
QSettings& ProgramSettings();
// The code page chosen in a file dialog of an earlier run; 0 when none (or no longer known).
unsigned SavedCodePage();

// A file dialog of the handheld's screen: Qt's own (the same on every desktop, headless too),
// covering the screen below the title strip, which shows its title. Arranged for a narrow screen,
// one field a row (the folder, the files, the whole name, the type, the code page, the buttons),
// with icons at the screen's resolution; its drop-down lists and messages stay on the screen.
// The save dialog's "Encrypt the file" box adds ".age" to the name (and follows it); the open
// dialog takes the folder of an iPhone backup as the file to open (chosen with Open, or entered).
// The proposed name's ending follows the filter the user picks; replacing an existing file is
// confirmed first. It opens in the folder of the last file chosen, and the code page chosen
// becomes the program's (for the run and the next start).
class CFileDialog : public CDeviceDialog {
 public:
  CFileDialog(QWidget* frame, const QString& title, bool save);
  // `framework` in the "desc|pattern|" convention.
  void SetFilter(const QString& framework, const QString& defaultExtension);
  void SetFileName(const QString& name);
  // Shows the dialog; false when it is not closed with OK.
  bool Ask(QString* path);
  QFileDialog* Files() const { return files_; }  // for tests and screenshots

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ArrangeForTheScreen();
  bool MayReplace(const QString& path);  // asks before a file or a page's folder is replaced
  void Remember(const QString& path);  // the folder and the code page of a chosen file

  QFileDialog* files_;
  QLabel* codePageLabel_ = nullptr;
  QComboBox* codePage_ = nullptr;
  QCheckBox* encrypt_ = nullptr;  // the save dialog's: the name ends in ".age"
  bool save_;
  QString proposed_;  // the name the dialog proposed, while the user has not changed it
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

}  // namespace larkpost::app
