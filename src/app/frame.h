// The program's skeleton: the application object, the main frame that is the handheld's screen
// (title strip, the home view, the soft-key bar), the empty document, the About box and the
// routing of commands by identifier.
//
// The window's client area is the emulated device screen: its size and resolution stand in for
// the system metrics and the pixels per inch that the layout reads (SystemMetrics()). Rotating
// swaps width and height and lays every open window out again, as the device does. The handheld
// needed a marker resource to keep the shell from scaling a high-resolution program; here the
// resolution is ours to set, so there is nothing to mark.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <QtWidgets/QDialog>
#include <QtWidgets/QWidget>

#include <functional>
#include <memory>
#include <vector>

#include "app/layout.h"

class QLabel;
class QScrollArea;
class QShortcut;
class QToolButton;

namespace larkpost::app {

class CSoftKeyMenu;
class CTidewellView;
class FileDialogs;

// Commands, routed by identifier.
constexpr int ID_APP_EXIT = 32785;
constexpr int ID_BACKUP_MESSAGES = 32786;
constexpr int ID_RESTORE_MESSAGES = 32787;
constexpr int ID_HOME_PAGE = 32791;
constexpr int ID_ONLINE_GUIDE = 32792;
constexpr int ID_APP_ABOUT = 57664;
constexpr int ID_MENU_SOFTKEY = 402;

// The screen the program runs on: what the handheld's system metrics and screen device context
// would answer. Set at start (--screen); rotation swaps its width and height, and resizing the
// window gives it the window's size.
ScreenMetrics& SystemMetrics();
constexpr int kSmallestScreen = 100;  // pixels, each way

// Menu resource 128: pop-up 0 "Buttons" (Exit), pop-up 1 "Menu" (what the right soft key opens).
struct MenuItem {
  const char* text;
  int command;
};
struct MenuPopup {
  const char* title;
  std::vector<MenuItem> items;
};
const std::vector<MenuPopup>& MenuResource128();

// The support page that command 32792 opens (the home page is string 140).
extern const char* const kSupportPageAddress;

// A dialog of the handheld: it covers the screen below the title strip, and the title strip
// shows its caption (with an "ok" button there when the dialog has one).
class CDeviceDialog : public QDialog {
 public:
  CDeviceDialog(QWidget* frame, QString caption, bool okInCaption);
  const QString& Caption() const { return caption_; }
  bool OkInCaption() const { return okInCaption_; }
  // The screen was rotated: the dialog has its new size already.
  virtual void OnScreenChanged() {}
  // Whether the program may be closed while this dialog is up.
  virtual bool MayClose() const { return true; }
  // The program is asked to close while the dialog is up: answered as by Escape, unless the
  // dialog cannot end yet (then it says that the program closes later).
  virtual void OnCloseRequested() { reject(); }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QString caption_;
  bool okInCaption_;
};

// The About box: icon, name and version, rights notice, laid out from template 100 (portrait)
// or 200 (landscape and square) in dialog units, and laid out again when the screen turns.
class CAboutDlg : public CDeviceDialog {
 public:
  explicit CAboutDlg(QWidget* frame);
  // The template the box is laid out from now (100 or 200); for tests.
  int TemplateId() const { return templateId_; }
  // Lays the controls out from the template for the current screen; true when every control of
  // the template was found and moved and fewer than two were unnamed.
  bool RelayoutFromTemplate();
  void OnScreenChanged() override;
  // "Message store: PATH", with " (missing)" when the file is not there.
  static QString StoreText();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  bool PlaceFromTemplate(int templateId);
  void PlaceStoreLine();  // below the template's controls

  int templateId_ = 0;
};

class CTidewellDoc {};  // the single-document template needs one; it holds nothing

class CMainFrame : public QWidget {
 public:
  CMainFrame();
  ~CMainFrame() override;

  // The home view; for tests, which press its buttons.
  CTidewellView* View() const { return view_; }
  CTidewellDoc& Document() { return document_; }
  // Routes a command as the framework does: frame, then view, document and application.
  void SendCommand(int id);
  // The right soft key's pop-up, positioned above the key (built on first use).
  CSoftKeyMenu* SoftKeyMenu();
  void OpenSoftKeyMenu();
  // Swaps the screen's width and height and lays everything out again.
  void Rotate();
  // Applies SystemMetrics() to the window, its view and its open dialogs. Resizing the window
  // does the same for the window's new size.
  void ApplyScreen();

  // The dialogs asking for files; replaced by tests.
  void SetFileDialogs(FileDialogs* dialogs) { fileDialogs_ = dialogs; }
  FileDialogs& Dialogs();

  // Dialogs of the screen, topmost last.
  void DialogShown(CDeviceDialog* dialog);
  void DialogHidden(CDeviceDialog* dialog);
  CDeviceDialog* TopDialog() const { return dialogs_.empty() ? nullptr : dialogs_.back(); }

  // The title strip's current text.
  QString TitleText() const;

  // Whether the program closes as soon as the running command has returned (it was asked to
  // close while a run went on).
  bool ClosingAfterRun() const { return closeAfterRun_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  bool OnCommand(int id);  // the frame's own handlers
  void CloseIfAsked();     // after a run's command: closes when that was asked during the run
  void UpdateChrome();

  CTidewellDoc document_;
  QScrollArea* scroll_ = nullptr;  // the view scrolls when the column is taller than it
  CTidewellView* view_ = nullptr;
  QWidget* softKeys_ = nullptr;
  QToolButton* leftKey_ = nullptr;
  QToolButton* rightKey_ = nullptr;
  QToolButton* captionOk_ = nullptr;
  CSoftKeyMenu* menu_ = nullptr;
  std::vector<QShortcut*> homeKeys_;  // the home screen's keys, off while a dialog is up
  QShortcut* captionOkKey_ = nullptr;
  std::vector<CDeviceDialog*> dialogs_;
  std::unique_ptr<FileDialogs> ownDialogs_;
  FileDialogs* fileDialogs_ = nullptr;
  bool closeAfterRun_ = false;
};

class CTidewellApp {
 public:
  CTidewellApp();
  ~CTidewellApp();
  // Creates the frame with its document and view and shows it; false when that fails.
  bool InitInstance(bool show = true);
  CMainFrame* MainFrame() const { return frame_.get(); }
  // The application's own commands; false for an identifier it does not handle.
  bool OnCommand(int id);
  // About: shown modally with the resolution-aware relayout switched on.
  void OnAppAbout();

  // Opens a web address; the desktop's URL handler unless replaced (tests).
  std::function<bool(const QString&)> openUrl;

 private:
  std::unique_ptr<CMainFrame> frame_;
};

// The one application object (null before it is constructed and after it is destroyed).
CTidewellApp* AfxGetApp();

// Whether an About box lays itself out again on every size change (on exactly while it is shown).
bool ResolutionAwareRelayout();

// The screen's own colours (black on white) for a window of it.
void UseScreenColours(QWidget* widget);
inline QRect ToQRect(const Rect& r) { return QRect(r.left, r.top, r.Width(), r.Height()); }
// A string table entry as Qt text.
QString LoadQString(unsigned id);

// A font of the screen's family with the given cell height (ascent plus descent, in pixels),
// weight (400 regular, 700 bold) and, when not 0, average character width.
QFont CellFont(int cellHeight, int weight = 400, int averageWidth = 0);

}  // namespace larkpost::app
