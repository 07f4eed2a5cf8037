#include "app/frame.h"

#include <QtCore/QTimer>
#include <QtGui/QCloseEvent>
#include <QtGui/QResizeEvent>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QShortcut>
#include <QtWidgets/QScrollArea>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QToolButton>

#include <algorithm>

#include "app/commands.h"
#include "app/file_dialog.h"
#include "app/home_view.h"
#include "app/soft_key_menu.h"
#include "platform/framework/strings.h"

namespace larkpost::app {

namespace {

// The strip's and the soft keys' colours: the handheld's dark blue bars with white text.
void PaintBar(QPainter& painter, const QRect& area, QColor top, QColor bottom) {
  QLinearGradient fill(area.topLeft(), area.bottomLeft());
  fill.setColorAt(0, top);
  fill.setColorAt(1, bottom);
  painter.fillRect(area, fill);
}

}  // namespace

const std::vector<MenuPopup>& MenuResource128() {
  static const std::vector<MenuPopup> menu = {
      {"Buttons", {{"&Exit", ID_APP_EXIT}}},
      {"Menu",
       {{"&Backup Messages", ID_BACKUP_MESSAGES},
        {"&Restore Messages", ID_RESTORE_MESSAGES},
        {"About", ID_APP_ABOUT}}},
  };
  return menu;
}

// ---- Main frame ----

CMainFrame::CMainFrame() {
  setWindowTitle(LoadQString(AFX_IDS_APP_TITLE));
  setWindowIcon(QIcon(":/art/larkpost-gui.png"));
  UseScreenColours(this);

  scroll_ = new QScrollArea(this);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroll_->setWidgetResizable(false);
  UseScreenColours(scroll_);
  view_ = new CTidewellView(scroll_);
  scroll_->setWidget(view_);
  view_->OnInitialUpdate();

  softKeys_ = new QWidget(this);
  auto makeKey = [&](const QString& text, bool opensMenu = false) {
    auto* key = new QToolButton(softKeys_);
    if (opensMenu) MarkAsMenuKey(key);  // before anything makes its accessible view
    key->setText(text);
    key->setAutoRaise(true);
    key->setFocusPolicy(Qt::NoFocus);
    key->setToolButtonStyle(Qt::ToolButtonTextOnly);
    key->setStyleSheet(
        "QToolButton { color: white; border: none; background: transparent; }"
        "QToolButton:pressed { background: rgba(255,255,255,60); }");
    return key;
  };
  leftKey_ = makeKey(LoadQString(IDS_EXIT));
  rightKey_ = makeKey(LoadQString(IDS_MENU), true);
  connect(leftKey_, &QToolButton::clicked, this, [this] { SendCommand(ID_APP_EXIT); });
  connect(rightKey_, &QToolButton::clicked, this, [this] { OpenSoftKeyMenu(); });

  captionOk_ = new QToolButton(this);
  captionOk_->setText("ok");
  captionOk_->setFocusPolicy(Qt::NoFocus);
  captionOk_->setStyleSheet(
      "QToolButton { color: white; border: 1px solid rgba(255,255,255,150); border-radius: 3px;"
      " background: transparent; }"
      "QToolButton:pressed { background: rgba(255,255,255,60); }");
  captionOk_->hide();
  connect(captionOk_, &QToolButton::clicked, this, [this] {
    if (CDeviceDialog* dialog = TopDialog()) dialog->accept();
  });

  leftKey_->setAccessibleName(LoadQString(IDS_EXIT));
  leftKey_->setAccessibleDescription("Left soft key: close Larkpost (Ctrl+Q)");
  rightKey_->setAccessibleName(LoadQString(IDS_MENU));
  rightKey_->setAccessibleDescription("Right soft key: open the menu (F2 or F10)");
  captionOk_->setAccessibleName("OK");
  captionOk_->setAccessibleDescription("Close this screen (Esc, Enter, Space or Alt+O)");

  // The keyboard. The right soft key is F2 (the handheld emulators' key), F10 or the Menu key as
  // on a desktop. F1 is Help on a desktop: it shows the About box and never quits; the left soft
  // key's Exit is Ctrl+Q. Alt+B and Alt+R are the home view's Backup and Restore.
  auto shortcut = [this](QKeySequence keys, std::function<void()> action) {
    auto* made = new QShortcut(keys, this);
    connect(made, &QShortcut::activated, this, std::move(action));
    return made;
  };
  auto onHome = [this](int command) {
    return [this, command] {
      if (TopDialog() == nullptr) SendCommand(command);
    };
  };
  homeKeys_ = {shortcut(QKeySequence(Qt::Key_F1), onHome(ID_APP_ABOUT)),
               shortcut(QKeySequence(Qt::ALT | Qt::Key_B), onHome(ID_BACKUP_MESSAGES)),
               shortcut(QKeySequence(Qt::ALT | Qt::Key_R), onHome(ID_RESTORE_MESSAGES))};
  // Quitting is asked as the window's close button asks it, from any screen.
  shortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { close(); });
  for (const Qt::Key key : {Qt::Key_F2, Qt::Key_F10, Qt::Key_Menu}) {
    homeKeys_.push_back(shortcut(QKeySequence(key), [this] {
      if (TopDialog() == nullptr) OpenSoftKeyMenu();
    }));
  }
  // The caption's "ok" (the About box's); only while it shows, as the file dialogs' own Alt+O.
  captionOkKey_ = shortcut(QKeySequence(Qt::ALT | Qt::Key_O), [this] {
    if (CDeviceDialog* dialog = TopDialog(); dialog != nullptr && dialog->OkInCaption()) {
      dialog->accept();
    }
  });

  // Turning the device: width and height swap.
  auto* rotate = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_R), this);
  rotate->setContext(Qt::WindowShortcut);
  connect(rotate, &QShortcut::activated, this, [this] { Rotate(); });

  ApplyScreen();
}

CMainFrame::~CMainFrame() = default;

FileDialogs& CMainFrame::Dialogs() {
  if (fileDialogs_ != nullptr) return *fileDialogs_;
  if (!ownDialogs_) ownDialogs_ = std::make_unique<QtFileDialogs>();
  return *ownDialogs_;
}

void CMainFrame::ApplyScreen() {
  const ScreenMetrics& screen = SystemMetrics();
  setMinimumSize(kSmallestScreen, kSmallestScreen);
  // Always: a window never resized is sized from its children when it is first shown.
  resize(screen.width, screen.height);
  const QFont keyFont = CellFont(screen.T(15), 700);
  const Rect bar = SoftKeyBar(screen);
  softKeys_->setGeometry(ToQRect(bar));
  const int keyWidth = screen.width / 2;
  leftKey_->setFont(keyFont);
  rightKey_->setFont(keyFont);
  leftKey_->setGeometry(0, 0, keyWidth, bar.Height());
  rightKey_->setGeometry(screen.width - keyWidth, 0, keyWidth, bar.Height());
  const Rect strip = TitleStrip(screen);
  captionOk_->setFont(CellFont(screen.T(13), 700));
  const int okWidth = screen.S(34);
  captionOk_->setGeometry(strip.right - okWidth - screen.S(4), strip.top + screen.T(3), okWidth,
                          strip.Height() - 2 * screen.T(3));
  if (menu_ != nullptr) menu_->ApplyScreen();
  // The column is laid out for the screen; when the view is shorter (a turned screen), it
  // scrolls rather than cutting off the lower rows.
  const Rect client = FrameClient(screen);
  scroll_->setGeometry(ToQRect(client));
  const int columnBottom = LayOutHome(screen).back().second.bottom + screen.T(4);
  const bool scrolls = columnBottom > client.Height();
  const int barWidth = scrolls ? scroll_->verticalScrollBar()->sizeHint().width() : 0;
  view_->resize(client.Width() - barWidth, std::max(client.Height(), columnBottom));
  view_->LayOut();  // a size message reaches the view even when its own size stays
  for (CDeviceDialog* dialog : dialogs_) {
    dialog->setGeometry(ToQRect(DialogClient(screen)));
    dialog->OnScreenChanged();
  }
  UpdateChrome();
}

void CMainFrame::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // The window is the screen: a new size of the window is a new size of the screen, laid out as
  // a rotation is (the image lists follow the height).
  ScreenMetrics& screen = SystemMetrics();
  if (event->size() == QSize(screen.width, screen.height)) return;
  screen.width = std::max(event->size().width(), kSmallestScreen);
  screen.height = std::max(event->size().height(), kSmallestScreen);
  ApplyScreen();
}

void CMainFrame::Rotate() {
  SystemMetrics() = SystemMetrics().Rotated();
  ApplyScreen();
}

void CMainFrame::DialogShown(CDeviceDialog* dialog) {
  if (std::find(dialogs_.begin(), dialogs_.end(), dialog) == dialogs_.end()) {
    dialogs_.push_back(dialog);
  }
  dialog->setGeometry(ToQRect(DialogClient(SystemMetrics())));
  UpdateChrome();
}

void CMainFrame::DialogHidden(CDeviceDialog* dialog) {
  dialogs_.erase(std::remove(dialogs_.begin(), dialogs_.end(), dialog), dialogs_.end());
  UpdateChrome();
}

QString CMainFrame::TitleText() const {
  return TopDialog() != nullptr ? TopDialog()->Caption() : windowTitle();
}

void CMainFrame::UpdateChrome() {
  CDeviceDialog* top = TopDialog();
  captionOk_->setVisible(top != nullptr && top->OkInCaption());
  captionOkKey_->setEnabled(top != nullptr && top->OkInCaption());
  // A dialog's own keys (the open dialog's Alt+O among them) are never taken from it.
  for (QShortcut* key : homeKeys_) key->setEnabled(top == nullptr);
  captionOk_->raise();
  softKeys_->setVisible(top == nullptr);
  update(ToQRect(TitleStrip(SystemMetrics())));
}

void CMainFrame::paintEvent(QPaintEvent*) {
  const ScreenMetrics& screen = SystemMetrics();
  QPainter painter(this);
  const QRect strip = ToQRect(TitleStrip(screen));
  PaintBar(painter, strip, QColor(0x2c, 0x5a, 0x9a), QColor(0x16, 0x34, 0x64));
  painter.setPen(QColor(0x0c, 0x22, 0x44));
  painter.drawLine(strip.bottomLeft(), strip.bottomRight());
  painter.setPen(Qt::white);
  painter.setFont(CellFont(screen.T(15), 700));
  painter.drawText(strip.adjusted(screen.S(8), 0, -screen.S(8), 0),
                   Qt::AlignLeft | Qt::AlignVCenter, TitleText());
  const QRect bar = ToQRect(SoftKeyBar(screen));
  PaintBar(painter, bar, QColor(0x3a, 0x3f, 0x47), QColor(0x1d, 0x20, 0x25));
  painter.setPen(QColor(0x5a, 0x60, 0x6a));
  painter.drawLine(bar.topLeft(), bar.topRight());
  if (softKeys_->isVisible()) {
    // The divider between the two soft keys.
    const int middle = bar.center().x();
    painter.drawLine(middle, bar.top() + screen.T(5), middle, bar.bottom() - screen.T(5));
  }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  const std::vector<CDeviceDialog*> open = dialogs_;
  if (open.empty()) {
    event->accept();
    return;
  }
  event->ignore();
  bool running = false;
  for (CDeviceDialog* dialog : open) running = running || !dialog->MayClose();
  // Every dialog is answered as its Escape key answers it (a running progress dialog says that
  // the program ends after the run instead).
  for (CDeviceDialog* dialog : open) dialog->OnCloseRequested();
  if (running) {
    // The worker still uses the run's job: the command that waits for it closes the program
    // when it returns.
    closeAfterRun_ = true;
    return;
  }
  // Close once the dialogs' loops are left.
  QTimer::singleShot(0, this, [this] { close(); });
}

CSoftKeyMenu* CMainFrame::SoftKeyMenu() {
  if (menu_ == nullptr) {
    menu_ = new CSoftKeyMenu(this);
    for (const MenuItem& item : MenuResource128()[1].items) {
      const int command = item.command;
      connect(menu_->AddItem(QString::fromUtf8(item.text)), &QAction::triggered, this,
              [this, command] {
                // Posted, as a menu command arrives after the menu has closed.
                QTimer::singleShot(0, this, [this, command] { SendCommand(command); });
              });
    }
  }
  return menu_;
}

void CMainFrame::OpenSoftKeyMenu() { SoftKeyMenu()->Popup(); }

void CMainFrame::CloseIfAsked() {
  if (!closeAfterRun_) return;
  closeAfterRun_ = false;
  QTimer::singleShot(0, this, [this] { close(); });
}

void CMainFrame::SendCommand(int id) {
  if (OnCommand(id)) return;
  // The view and the document handle no menu command; the application comes last.
  if (CTidewellApp* app = AfxGetApp()) app->OnCommand(id);
}

bool CMainFrame::OnCommand(int id) {
  switch (id) {
    case ID_APP_EXIT:
      close();
      return true;
    case ID_BACKUP_MESSAGES:
      OnBackupMessages(Dialogs());
      CloseIfAsked();
      return true;
    case ID_RESTORE_MESSAGES:
      OnRestoreMessages(Dialogs());
      CloseIfAsked();
      return true;
    default:
      return false;
  }
}

}  // namespace larkpost::app
