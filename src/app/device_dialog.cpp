// The dialogs that are part of the handheld's screen, and the About box made from its templates.
#include <QtGui/QKeyEvent>
#include <QtGui/QResizeEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>

#include <algorithm>

#include "app/commands.h"
#include "app/frame.h"
#include "app/home_view.h"
#include "app/message_box.h"
#include "jobs/store_access.h"
#include "platform/mapi/provider.h"

namespace larkpost::app {

// ---- Dialogs of the screen ----

CDeviceDialog::CDeviceDialog(QWidget* frame, QString caption, bool okInCaption)
    : QDialog(frame), caption_(std::move(caption)), okInCaption_(okInCaption) {
  // A dialog of the handheld is part of its screen, not a window of the desktop.
  setWindowFlags(Qt::Widget);
  setAutoFillBackground(true);
  UseScreenColours(this);
  setGeometry(ToQRect(DialogClient(SystemMetrics())));
  setAccessibleName(caption_);
  // It takes the keyboard when nothing inside it can (Escape and the dialog's own keys).
  setFocusPolicy(Qt::StrongFocus);
}

void CDeviceDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  raise();
  if (auto* frame = dynamic_cast<CMainFrame*>(parentWidget())) frame->DialogShown(this);
  // The keyboard goes to the screen on top, never to the screen below it.
  QWidget* focused = QApplication::focusWidget();
  if (focused == nullptr || !isAncestorOf(focused)) {
    QWidget* first = nextInFocusChain();
    while (first != this && (!isAncestorOf(first) || !first->isVisibleTo(this) ||
                             (first->focusPolicy() & Qt::TabFocus) == 0)) {
      first = first->nextInFocusChain();
    }
    first->setFocus(Qt::OtherFocusReason);
  }
}

void CDeviceDialog::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (auto* frame = dynamic_cast<CMainFrame*>(parentWidget())) frame->DialogHidden(this);
}

// ---- About box ----

CAboutDlg::CAboutDlg(QWidget* frame) : CDeviceDialog(frame, "About Tidewell", true) {
  const ScreenMetrics& screen = SystemMetrics();
  setFont(CellFont(screen.T(13)));
  auto* icon = new QLabel(this);
  icon->setObjectName("1033");
  icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  auto* name = new QLabel(this);
  name->setObjectName("202");
  name->setTextFormat(Qt::PlainText);  // no prefix processing
  name->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  auto* rights = new QLabel(this);
  rights->setObjectName("1035");
  rights->setTextFormat(Qt::PlainText);
  rights->setWordWrap(true);
  rights->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // Below the template's controls: the store the program works on, where a user looks before
  // deciding on a restore.
  auto* store = new QLabel(this);
  store->setObjectName("store");
  store->setTextFormat(Qt::PlainText);
  store->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // The box is made from the portrait template; its size messages apply the rule.
  PlaceFromTemplate(100);
}

QString CAboutDlg::StoreText() {
  const std::string path = mapi::DatabasePath();
  return QString::fromStdString(StoreLine(path)) +
         (StoreFileExists(path) ? QString() : QString(" (missing)"));
}

void CAboutDlg::PlaceStoreLine() {
  auto* store = findChild<QLabel*>("store");
  auto* rights = findChild<QLabel*>("1035");
  if (store == nullptr || rights == nullptr) return;
  const ScreenMetrics& screen = SystemMetrics();
  const QFont font = CellFont(screen.T(12));
  store->setFont(font);
  const int left = rights->x();
  const int width = std::max(this->width() - left - screen.S(8), 1);
  // Broken as the message boxes break a path: between its folders.
  const QString text = WrapLines(StoreText(), font, width).join("\n");
  store->setText(text);
  store->setAccessibleName(StoreText());
  const int top = rights->geometry().bottom() + 1 + screen.T(8);
  store->setGeometry(left, top, width, std::max(this->height() - top, 0));
}

bool CAboutDlg::RelayoutFromTemplate() { return PlaceFromTemplate(AboutTemplate(SystemMetrics())); }

bool CAboutDlg::PlaceFromTemplate(int templateId) {
  const ScreenMetrics& screen = SystemMetrics();
  templateId_ = templateId;
  bool allMoved = true;
  int unnamed = 0;
  for (const DialogItem& item : AboutItems(templateId_)) {
    if (item.id == 0xFFFF) ++unnamed;
    auto* control = findChild<QLabel*>(QString::number(item.id));
    if (control == nullptr) {
      allMoved = false;
      continue;
    }
    const Rect place = DialogUnitsToPixels(screen, item);
    control->setGeometry(ToQRect(place));
    // Content is loaded anew, as the template's titles say.
    switch (item.id) {
      case 1033:
        control->setPixmap(LoadAppIcon().scaled(std::min(place.Width(), place.Height()),
                                                std::min(place.Width(), place.Height()),
                                                Qt::KeepAspectRatio, Qt::SmoothTransformation));
        break;
      case 202:
        // "Quenby Larkpost\r\nVersion 2.0": the line break as the desktop writes it.
        control->setText("Quenby Larkpost\nVersion 2.0");
        break;
      case 1035:
        control->setText(QString::fromUtf8("Copyright \u00A9 2026 Quenby"));
        break;
    }
  }
  PlaceStoreLine();
  return allMoved && unnamed < 2;
}

void CAboutDlg::keyPressEvent(QKeyEvent* event) {
  // The caption's "ok": Return, Enter and Space as well as Escape close the box.
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
      accept();
      return;
    default:
      CDeviceDialog::keyPressEvent(event);
  }
}

void CAboutDlg::resizeEvent(QResizeEvent* event) {
  CDeviceDialog::resizeEvent(event);
  if (ResolutionAwareRelayout()) RelayoutFromTemplate();
}

void CAboutDlg::OnScreenChanged() {
  setFont(CellFont(SystemMetrics().T(13)));
  if (ResolutionAwareRelayout()) RelayoutFromTemplate();
}

}  // namespace larkpost::app
