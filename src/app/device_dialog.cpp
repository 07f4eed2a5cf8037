// The dialogs that are part of the handheld's screen, and the About box made from its templates.
#include <QtGui/QResizeEvent>
#include <QtWidgets/QLabel>

#include <algorithm>

#include "app/frame.h"
#include "app/home_view.h"

namespace larkpost::app {

// ---- Dialogs of the screen ----

CDeviceDialog::CDeviceDialog(QWidget* frame, QString caption, bool okInCaption)
    : QDialog(frame), caption_(std::move(caption)), okInCaption_(okInCaption) {
  // A dialog of the handheld is part of its screen, not a window of the desktop.
  setWindowFlags(Qt::Widget);
  setAutoFillBackground(true);
  UseScreenColours(this);
  setGeometry(ToQRect(DialogClient(SystemMetrics())));
}

void CDeviceDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  raise();
  if (auto* frame = dynamic_cast<CMainFrame*>(parentWidget())) frame->DialogShown(this);
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
  // The box is made from the portrait template; its size messages apply the rule.
  PlaceFromTemplate(100);
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
  return allMoved && unnamed < 2;
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
