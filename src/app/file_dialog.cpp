#include "app/file_dialog.h"

#include <QtCore/QEvent>
#include <QtCore/QFileInfo>
#include <QtCore/QRegularExpression>
#include <QtCore/QSettings>
#include <QtCore/QStringList>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QCompleter>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QToolButton>
#include <QtWidgets/QVBoxLayout>

#include <algorithm>

#include "app/message_box.h"
#include "jobs/message_files.h"
#include "platform/file/output_file.h"
#include "jobs/targets.h"
#include "formats/format_table.h"
#include "platform/framework/framework.h"
#include "platform/text/text.h"

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

// Qt's file dialog, whose own messages are the screen's: a name that is not there is told in a
// message box of the screen, not in a window of the desktop.
class ScreenFileDialog : public QFileDialog {
 public:
  ScreenFileDialog(QWidget* parent, QWidget* frame) : QFileDialog(parent), frame_(frame) {}

  void accept() override {
    const QStringList chosen = selectedFiles();
    if (acceptMode() == AcceptOpen) {
      // An input that is a folder (an iPhone backup) is chosen as it is, not entered: selected
      // in the list, or its name typed (which Qt would give the default ending).
      QStringList folders = chosen.mid(0, 1);
      if (auto* name = findChild<QLineEdit*>("fileNameEdit"); name && !name->text().isEmpty()) {
        folders << directory().absoluteFilePath(name->text());
      }
      for (const QString& folder : folders) {
        if (IsInputFolder(folder)) {
          ChooseFolder(folder);
          return;
        }
      }
      // Any other folder whose name was typed is entered (not "Name.bak" reported missing).
      if (folders.size() > 1 && QFileInfo(folders.last()).isDir()) {
        setDirectory(folders.last());
        if (auto* name = findChild<QLineEdit*>("fileNameEdit")) name->clear();
        return;
      }
    }
    if (acceptMode() == AcceptOpen && !chosen.isEmpty() && !QFileInfo::exists(chosen.first())) {
      CMessageBox box(frame_,
                      QFileInfo(chosen.first()).fileName() +
                          "\nFile not found.\nCheck the file name and try again.",
                      MB_ICONWARNING);
      box.Run();
      if (auto* name = findChild<QLineEdit*>("fileNameEdit")) name->setFocus();
      return;
    }
    QFileDialog::accept();
  }

  // The folder chosen as an input; empty when a file was.
  const QString& ChosenFolder() const { return folder_; }
  void ChooseFolder(const QString& folder) {
    folder_ = QFileInfo(folder).absoluteFilePath();
    QDialog::accept();
  }

  // A folder that is itself an input the table tells by its content (an iPhone backup, or the
  // folder holding one).
  static bool IsInputFolder(const QString& path) {
    if (!QFileInfo(path).isDir()) return false;
    return FormatOf(InputKindOf(QFileInfo(path).absoluteFilePath().toStdU16String())).recognises !=
           nullptr;
  }

 private:
  QWidget* frame_;
  QString folder_;
};

// Keeps a pop-up (a drop-down list, the name completer's list) on the emulated screen: where Qt
// would open it below the screen's edge it opens above its field, no taller than the screen.
class KeepOnScreen : public QObject {
 public:
  KeepOnScreen(QWidget* popup, QWidget* frame, QWidget* anchor)
      : QObject(popup), frame_(frame), anchor_(anchor) {
    popup->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && !placing_) {
      placing_ = true;
      Place(static_cast<QWidget*>(watched));
      placing_ = false;
    }
    return false;
  }

 private:
  void Place(QWidget* popup) {
    const QRect screen(frame_->mapToGlobal(QPoint(0, 0)), frame_->size());
    const QRect field(anchor_->mapToGlobal(QPoint(0, 0)), anchor_->size());
    QRect place = popup->geometry();
    place.setHeight(std::min(place.height(), screen.height()));
    place.setWidth(std::min(place.width(), screen.width()));
    if (place.bottom() > screen.bottom()) {
      // Above the field when there is more room there, else as low as the screen allows.
      const int above = field.top() - screen.top();
      const int below = screen.bottom() - field.bottom();
      if (above > below) {
        place.setHeight(std::min(place.height(), above));
        place.moveBottom(field.top() - 1);
      } else {
        place.setHeight(std::min(place.height(), below));
        place.moveTop(field.bottom() + 1);
      }
    }
    if (place.right() > screen.right()) place.moveRight(screen.right());
    if (place.left() < screen.left()) place.moveLeft(screen.left());
    if (place.top() < screen.top()) place.moveTop(screen.top());
    popup->setGeometry(place);
  }

  QWidget* frame_;
  QWidget* anchor_;
  bool placing_ = false;
};

// The code pages offered for the text of backup files, the handheld's usual ones.
struct CodePageChoice {
  unsigned codePage;
  const char* name;
};
constexpr CodePageChoice kCodePages[] = {
    {1252, "Western (1252)"},        {65001, "UTF-8 (65001)"},
    {1250, "Central European (1250)"}, {1251, "Cyrillic (1251)"},
    {1253, "Greek (1253)"},          {1254, "Turkish (1254)"},
    {1255, "Hebrew (1255)"},         {1256, "Arabic (1256)"},
    {1257, "Baltic (1257)"},         {1258, "Vietnamese (1258)"},
    {874, "Thai (874)"},             {932, "Japanese (932)"},
    {936, "Chinese, simplified (936)"}, {949, "Korean (949)"},
    {950, "Chinese, traditional (950)"},
};

constexpr const char* kLastFolderKey = "files/lastFolder";
constexpr const char* kCodePageKey = "text/codePage";

}  // namespace

QSettings& ProgramSettings() {
  static QSettings settings(QSettings::IniFormat, QSettings::UserScope, "larkpost", "larkpost-gui");
  return settings;
}

unsigned SavedCodePage() {
  bool ok = false;
  const unsigned codePage = ProgramSettings().value(kCodePageKey).toUInt(&ok);
  return ok && IsKnownCodePage(codePage) ? codePage : 0;
}

CFileDialog::CFileDialog(QWidget* frame, const QString& title, bool save)
    : CDeviceDialog(frame, title, false), save_(save) {
  const ScreenMetrics& screen = SystemMetrics();
  setFont(CellFont(screen.T(13)));
  files_ = new ScreenFileDialog(this, frame);
  // Qt's own dialog, as a part of this screen: not the desktop's, not a window of its own.
  files_->setOption(QFileDialog::DontUseNativeDialog);
  files_->setWindowFlags(Qt::Widget);
  // Replacing a file is confirmed by the screen's own message box.
  files_->setOption(QFileDialog::DontConfirmOverwrite);
  files_->setViewMode(QFileDialog::List);
  files_->setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  files_->setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  files_->setSizeGripEnabled(false);
  files_->setAccessibleName(title);
  // The folder the last file was chosen in.
  const QString last = ProgramSettings().value(kLastFolderKey).toString();
  if (!last.isEmpty() && QFileInfo(last).isDir()) files_->setDirectory(last);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(files_);
  ArrangeForTheScreen();
  connect(files_, &QFileDialog::finished, this, [this](int result) { done(result); });
  if (!save) {
    // An iPhone backup's own folder holds nothing to pick by hand (Manifest.db and folders of
    // files named by their hashes): entering it chooses it.
    files_->setAccessibleDescription(
        "A file to restore from, or the folder of an iPhone backup: select the folder and press "
        "Open");
    auto* screenFiles = static_cast<ScreenFileDialog*>(files_);
    connect(files_, &QFileDialog::directoryEntered, this, [this, screenFiles](const QString& dir) {
      if (isVisible() && QFileInfo::exists(dir + "/Manifest.db") &&
          ScreenFileDialog::IsInputFolder(dir)) {
        screenFiles->ChooseFolder(dir);
      }
    });
  }
  auto* nameField = files_->findChild<QLineEdit*>("fileNameEdit");
  if (encrypt_ != nullptr && nameField != nullptr) {
    connect(encrypt_, &QCheckBox::toggled, this, [nameField](bool on) {
      const QString text = nameField->text();
      if (on == IsAgeName(text.toStdU16String())) return;
      nameField->setText(on ? text + ".age" : text.chopped(4));
    });
    connect(nameField, &QLineEdit::textChanged, this, [this](const QString& text) {
      encrypt_->setChecked(IsAgeName(text.toStdU16String()));
    });
  }
  connect(files_, &QFileDialog::filterSelected, this, [this](const QString& filter) {
    // The name follows the chosen filter: its ending replaces one of the other filters'.
    const QString suffix = SuffixOf(filter);
    if (suffix.isEmpty()) return;
    files_->setDefaultSuffix(suffix);
    auto* name = files_->findChild<QLineEdit*>("fileNameEdit");
    if (!save_ || name == nullptr) return;
    // An encrypted file's ".age" stays after the format's ending.
    QString typed = name->text();
    const QString sealed = IsAgeName(typed.toStdU16String()) ? typed.right(4) : QString();
    typed.chop(sealed.size());
    // The name the dialog proposed is proposed anew for the format ("SMS Backup & Restore" lists
    // only files named sms-*.xml); one the user typed keeps its stem.
    if (!proposed_.isEmpty() && typed == proposed_) {
      const FileKind kind = FileKindForPath(u"x." + suffix.toStdU16String());
      proposed_ = QString::fromStdU16String(DefaultFileName(kind, CTime::GetCurrentTime()));
      name->setText(proposed_ + sealed);
      return;
    }
    for (const QString& other : files_->nameFilters()) {
      const QString ending = "." + SuffixOf(other);
      if (ending.size() > 1 && typed.endsWith(ending)) {
        name->setText(typed.chopped(ending.size()) + "." + suffix + sealed);
        break;
      }
    }
  });
}

void CFileDialog::ArrangeForTheScreen() {
  const ScreenMetrics& screen = SystemMetrics();
  auto* grid = qobject_cast<QGridLayout*>(files_->layout());
  auto child = [this](const char* name) { return files_->findChild<QWidget*>(name); };
  QWidget* lookInLabel = child("lookInLabel");
  QWidget* lookIn = child("lookInCombo");
  QWidget* splitter = child("splitter");
  QWidget* nameLabel = child("fileNameLabel");
  QWidget* name = child("fileNameEdit");
  auto* buttons = files_->findChild<QDialogButtonBox*>("buttonBox");
  QWidget* typeLabel = child("fileTypeLabel");
  QWidget* types = child("fileTypeCombo");
  if (grid == nullptr || lookIn == nullptr || splitter == nullptr || name == nullptr ||
      buttons == nullptr || types == nullptr || nameLabel == nullptr || typeLabel == nullptr) {
    return;  // another Qt's dialog: left as it comes
  }
  // A handheld's screen has no room for the desktop's side bar of places, nor for the buttons
  // that only repeat the folder list's own keys.
  for (const char* spare :
       {"sidebar", "backButton", "forwardButton", "listModeButton", "detailModeButton"}) {
    if (QWidget* widget = child(spare)) widget->hide();
  }
  if (!save_) {
    if (QWidget* widget = child("newFolderButton")) widget->hide();
  }
  if (lookInLabel != nullptr) lookInLabel->hide();  // the folder takes the row's whole width
  // One field a row: the folder, the files, the name across the whole width, the type, the code
  // page, the buttons.
  QLayoutItem* folderRow = nullptr;
  for (int i = 0; i < grid->count(); ++i) {
    if (QLayout* row = grid->itemAt(i)->layout(); row != nullptr && row->indexOf(lookIn) >= 0) {
      folderRow = grid->itemAt(i);
    }
  }
  for (QWidget* widget : {lookInLabel, splitter, nameLabel, name, static_cast<QWidget*>(buttons),
                          typeLabel, types}) {
    if (widget != nullptr) grid->removeWidget(widget);
  }
  if (folderRow != nullptr) {
    grid->removeItem(folderRow);
    grid->addItem(folderRow, 0, 0, 1, 2);
  }
  codePageLabel_ = new QLabel("&Code page:", files_);
  codePage_ = new QComboBox(files_);
  codePage_->setObjectName("codePageCombo");
  codePageLabel_->setBuddy(codePage_);
  codePage_->setAccessibleName("Code page");
  codePage_->setAccessibleDescription(
      "The code page of the text in backup and text files; UTF-8 keeps every character");
  for (const CodePageChoice& choice : kCodePages) {
    if (!IsKnownCodePage(choice.codePage)) continue;
    codePage_->addItem(QString::fromUtf8(choice.name), choice.codePage);
    if (choice.codePage == GetACP()) codePage_->setCurrentIndex(codePage_->count() - 1);
  }
  grid->addWidget(splitter, 1, 0, 1, 2);
  grid->addWidget(nameLabel, 2, 0, 1, 2);
  grid->addWidget(name, 3, 0, 1, 2);
  grid->addWidget(typeLabel, 4, 0);
  grid->addWidget(types, 4, 1);
  grid->addWidget(codePageLabel_, 5, 0);
  grid->addWidget(codePage_, 5, 1);
  if (save_) {
    // One row that says what the name's ".age" says, and sets it: a box is quicker to find and
    // to press on a small screen than an ending to type.
    encrypt_ = new QCheckBox("&Encrypt the file (.age)", files_);
    encrypt_->setObjectName("encryptCheck");
    encrypt_->setAccessibleName("Encrypt the file");
    encrypt_->setAccessibleDescription(
        "Writes the file encrypted in the age format, its name ending in .age, with a passphrase "
        "or to a recipient asked next");
    // Its box as large as the text beside it at every resolution (the style draws it for 96 dpi).
    const int side = QFontMetrics(encrypt_->font()).ascent();
    encrypt_->setStyleSheet(
        QString("QCheckBox::indicator { width: %1px; height: %1px; }").arg(side));
    grid->addWidget(encrypt_, 6, 0, 1, 2);
  }
  buttons->setOrientation(Qt::Horizontal);
  grid->addWidget(buttons, 7, 0, 1, 2);
  grid->setColumnStretch(0, 0);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(1, 1);
  const int margin = screen.S(4);
  grid->setContentsMargins(margin, screen.T(4), margin, screen.T(4));
  grid->setHorizontalSpacing(screen.S(4));
  grid->setVerticalSpacing(screen.T(3));
  // Icons at the screen's resolution.
  const QSize icon(screen.S(16), screen.T(16));
  for (auto* view : files_->findChildren<QAbstractItemView*>()) {
    view->setIconSize(icon);
    // No rename or delete menu: its questions would be windows of the desktop.
    view->setContextMenuPolicy(Qt::NoContextMenu);
  }
  for (auto* combo : files_->findChildren<QComboBox*>()) {
    combo->setIconSize(icon);
    new KeepOnScreen(combo->view()->window(), parentWidget(), combo);
  }
  // The folder's buttons as tall as its field, beside it; the dialog's keys as wide as the
  // message boxes' at any resolution.
  const int row = lookIn->sizeHint().height();
  for (auto* button : files_->findChildren<QToolButton*>()) {
    button->setIconSize(QSize(std::min(icon.width(), row - screen.T(4)),
                              std::min(icon.height(), row - screen.T(4))));
    button->setFixedSize(row, row);
  }
  for (QAbstractButton* key : buttons->buttons()) {
    key->setMinimumSize(screen.S(70), std::max(screen.T(26), key->sizeHint().height()));
  }
  if (auto* edit = qobject_cast<QLineEdit*>(name); edit != nullptr && edit->completer() != nullptr) {
    new KeepOnScreen(edit->completer()->popup(), parentWidget(), edit);
  }
}

void CFileDialog::showEvent(QShowEvent* event) {
  CDeviceDialog::showEvent(event);
  // Typing goes into the name, as on a desktop's file dialog.
  if (auto* name = files_->findChild<QLineEdit*>("fileNameEdit")) name->setFocus();
}

void CFileDialog::SetFilter(const QString& framework, const QString& defaultExtension) {
  files_->setNameFilters(QtFilter(framework).split(";;"));
  files_->setDefaultSuffix(defaultExtension);
}

void CFileDialog::SetFileName(const QString& name) {
  files_->selectFile(name);
  proposed_ = name;
}

bool CFileDialog::Ask(QString* path) {
  for (;;) {
    files_->show();  // it hides itself when it is answered
    if (exec() != QDialog::Accepted) return false;
    if (files_->selectedFiles().isEmpty() &&
        static_cast<ScreenFileDialog*>(files_)->ChosenFolder().isEmpty()) {
      return false;
    }
    const QString& folder = static_cast<ScreenFileDialog*>(files_)->ChosenFolder();
    *path = !folder.isEmpty() ? folder : files_->selectedFiles().first();
    if (save_ && !MayReplace(*path)) continue;
    Remember(*path);
    return true;
  }
}

// A page comes with its media folder, which is replaced with it: only one made for it.
bool CFileDialog::MayReplace(const QString& path) {
  std::u16string folderName;
  const CompanionState folder = CompanionFolderState(path.toStdU16String(), folderName);
  const QString folderText = QString::fromStdU16String(folderName);
  if (folder == CompanionState::kOther) {
    const QString refusal = folderText + " already exists and was not made for this page.\n"
                                         "Choose another name.";
    AfxMessageBox(refusal.toStdU16String(), MB_OK | MB_ICONWARNING);
    return false;
  }
  const bool page = QFileInfo::exists(path);
  if (!page && folder == CompanionState::kAbsent) return true;
  QString question = (page ? QFileInfo(path).fileName() : folderText) + " already exists.";
  if (page && folder == CompanionState::kMadeForTarget) {
    question += "\nIts folder " + folderText + " goes with it.";
  }
  question += "\nDo you want to replace it?";
  return AfxMessageBox(question.toStdU16String(), MB_OKCANCEL | MB_ICONWARNING) == IDOK;
}

void CFileDialog::Remember(const QString& path) {
  ProgramSettings().setValue(kLastFolderKey, QFileInfo(path).absolutePath());
  const unsigned codePage = codePage_ != nullptr ? codePage_->currentData().toUInt() : 0;
  if (codePage != 0 && SetAnsiCodePage(codePage)) {
    ProgramSettings().setValue(kCodePageKey, codePage);
  }
  ProgramSettings().sync();
}

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

}  // namespace larkpost::app
