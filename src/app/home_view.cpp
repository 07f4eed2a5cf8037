#include "app/home_view.h"

#include <QtCore/QFile>
#include <QtGui/QFocusEvent>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QLabel>

#include <algorithm>

#include "app/frame.h"
#include "platform/framework/strings.h"

namespace larkpost::app {

namespace {

int32_t ReadInt32(const QByteArray& data, int offset) {
  if (data.size() < offset + 4) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData() + offset);
  return static_cast<int32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                              static_cast<uint32_t>(bytes[3]) << 24);
}

// A static text control of form 101.
QLabel* MakeLabel(QWidget* parent, const QString& text, Qt::Alignment alignment) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(alignment | Qt::AlignTop);
  label->setWordWrap(true);  // the handheld's static text breaks between words
  return label;
}

}  // namespace

BitmapResource LoadBitmapResource(int id) {
  BitmapResource bitmap;
  QFile file(QString(":/art/bitmap%1.bmp").arg(id));
  if (!file.open(QIODevice::ReadOnly)) return bitmap;
  const QByteArray data = file.readAll();
  // BITMAPINFOHEADER: biXPelsPerMeter at offset 38 and biYPelsPerMeter at 42 of the file.
  bitmap.pixelsPerMetreX = ReadInt32(data, 38);
  bitmap.pixelsPerMetreY = ReadInt32(data, 42);
  bitmap.image = QImage::fromData(data, "BMP").convertToFormat(QImage::Format_RGB32);
  return bitmap;
}

QPixmap LoadAppIcon() { return QPixmap(":/art/icon128.bmp", "BMP"); }

CImageList LoadButtonImages(int bitmapId, int side, const ScreenMetrics& screen) {
  CImageList list;
  const BitmapResource bitmap = LoadBitmapResource(bitmapId);
  if (!bitmap.Valid() || side <= 0) return list;
  const int count = bitmap.image.width() / side;
  const ImageListPlan plan =
      PlanImageList(screen, side, bitmap.image.height(), BitmapDpi(bitmap.pixelsPerMetreX),
                    BitmapDpi(bitmap.pixelsPerMetreY));
  if (count <= 0 || plan.imageWidth <= 0 || plan.imageHeight <= 0) return list;
  QImage strip;
  if (!plan.scaled) {
    strip = bitmap.image;
  } else if (plan.onePiece) {
    // A plain pixel copy: every pixel becomes a block, nothing is blended.
    strip = bitmap.image.scaled(count * plan.imageWidth, plan.imageHeight, Qt::IgnoreAspectRatio,
                                Qt::FastTransformation);
  } else {
    strip = QImage(count * plan.imageWidth, plan.imageHeight, QImage::Format_RGB32);
    QPainter painter(&strip);
    for (int i = 0; i < count; ++i) {
      const QImage one = bitmap.image.copy(i * side, 0, side, bitmap.image.height());
      painter.drawImage(i * plan.imageWidth, 0,
                        one.scaled(plan.imageWidth, plan.imageHeight, Qt::IgnoreAspectRatio,
                                   Qt::FastTransformation));
    }
  }
  list.imageWidth = plan.imageWidth;
  list.imageHeight = plan.imageHeight;
  for (int i = 0; i < count; ++i) {
    list.images.push_back(QPixmap::fromImage(
        strip.copy(i * plan.imageWidth, 0, plan.imageWidth, plan.imageHeight)));
  }
  return list;
}

void CMyStatic::paintEvent(QPaintEvent*) {
  const BitmapResource bitmap = LoadBitmapResource(bitmapId_);
  if (!bitmap.Valid()) return;  // nothing to paint with
  QPainter painter(this);
  painter.drawImage(rect(), bitmap.image);  // stretched, pixel by pixel
}

COwnerDrawButton::COwnerDrawButton(CTidewellView* view, int id)
    : QPushButton(view), view_(view), id_(id) {
  // Reached by Tab and Shift+Tab in the column's order; pressed by Space, Return or Enter.
  setFocusPolicy(Qt::TabFocus);
  setAutoDefault(false);
}

void COwnerDrawButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  view_->DrawItem(*this, painter);
  if (keyboardFocus_ && hasFocus()) {
    // The image fills the button: the focus is a dotted frame just inside it.
    QPen pen(QColor(0x16, 0x34, 0x64), std::max(1, width() / 48), Qt::DotLine);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const int inset = pen.width();
    painter.drawRect(rect().adjusted(inset, inset, -inset - 1, -inset - 1));
  }
}

void COwnerDrawButton::focusInEvent(QFocusEvent* event) {
  // Shown when the keyboard brought the focus, never for the first focus of a window.
  keyboardFocus_ = event->reason() == Qt::TabFocusReason ||
                   event->reason() == Qt::BacktabFocusReason ||
                   event->reason() == Qt::ShortcutFocusReason;
  QPushButton::focusInEvent(event);
}

void COwnerDrawButton::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    keyboardFocus_ = true;
    animateClick();
    return;
  }
  keyboardFocus_ = true;  // Space and the arrows: the keyboard is in use
  QPushButton::keyPressEvent(event);
}

CTidewellView::CTidewellView(QWidget* parent) : QWidget(parent) {
  UseScreenColours(this);
  const ScreenMetrics& screen = SystemMetrics();
  setFont(CellFont(screen.T(13)));  // the form's own font

  controls_[IDC_TITLE] = MakeLabel(this, "Larkpost", Qt::AlignHCenter);
  controls_[IDC_MAKER] = MakeLabel(this, "Quenby", Qt::AlignLeft);
  for (int id : {IDC_LINE1, IDC_LINE2, IDC_LINE3, IDC_LINE4}) controls_[id] = new CMyStatic(this);
  controls_[IDC_BACKUP_HEADING] = MakeLabel(this, "Backup SMS", Qt::AlignLeft);
  controls_[IDC_BACKUP_TEXT] =
      MakeLabel(this, "Backup mobile phone SMS and transfer to pc", Qt::AlignLeft);
  controls_[IDC_RESTORE_HEADING] = MakeLabel(this, "Restore SMS", Qt::AlignLeft);
  controls_[IDC_RESTORE_TEXT] =
      MakeLabel(this, "Restore SMS from bak file to mobile phone  ", Qt::AlignLeft);
  controls_[IDC_EXIT_HEADING] = MakeLabel(this, "EXIT", Qt::AlignLeft);
  controls_[IDC_ADDRESS] = MakeLabel(this, QString(), Qt::AlignHCenter);

  for (auto& [id, control] : controls_) control->setObjectName(QString::number(id));

  // The three buttons are made here, not by the form; the first layout places them.
  struct Command {
    int button, command;
    const char* name;
    const char* description;
  };
  // The image buttons have no text of their own: assistive tools read these names (the row's
  // heading) and descriptions.
  for (const Command& entry :
       {Command{IDC_BACKUP_BUTTON, ID_BACKUP_MESSAGES, "Backup SMS",
                "Back up the messages of the message store into a file (Alt+B)"},
        Command{IDC_RESTORE_BUTTON, ID_RESTORE_MESSAGES, "Restore SMS",
                "Restore messages from a backup file into the message store (Alt+R)"},
        Command{IDC_EXIT_BUTTON, ID_APP_EXIT, "Exit", "Close Larkpost (Ctrl+Q)"}}) {
    auto* button = new COwnerDrawButton(this, entry.button);
    button->setGeometry(100, 4, screen.S(64), screen.T(64));
    button->setObjectName(QString::number(entry.button));
    button->setAccessibleName(QString::fromUtf8(entry.name));
    button->setAccessibleDescription(QString::fromUtf8(entry.description));
    button->setToolTip(QString::fromUtf8(entry.description));
    controls_[entry.button] = button;
    const int command = entry.command;
    connect(button, &QPushButton::clicked, this, [this, command] {
      // The view forwards its options to the main window, which runs the same handlers.
      if (auto* frame = dynamic_cast<CMainFrame*>(window())) frame->SendCommand(command);
    });
  }
}

void CTidewellView::OnInitialUpdate() {
  const ScreenMetrics& screen = SystemMetrics();
  const QFont text = CellFont(screen.T(12));
  const QFont heading = CellFont(screen.T(20), 700);
  const QFont title = CellFont(screen.T(24), 700, screen.S(10));
  controls_[IDC_MAKER]->setFont(text);
  controls_[IDC_TITLE]->setFont(title);
  for (int id : {IDC_LINE1, IDC_LINE2, IDC_LINE3, IDC_LINE4}) {
    static_cast<CMyStatic*>(controls_[id])->SetBitmap(150);
  }
  for (int id : {IDC_BACKUP_HEADING, IDC_RESTORE_HEADING, IDC_EXIT_HEADING}) {
    controls_[id]->setFont(heading);
  }
  for (int id : {IDC_BACKUP_TEXT, IDC_RESTORE_TEXT}) controls_[id]->setFont(text);
  auto* address = static_cast<QLabel*>(controls_[IDC_ADDRESS]);
  address->setText(LoadQString(IDS_HOME_PAGE));
  address->setFont(text);
}

void CTidewellView::RebuildImageLists() {
  const ScreenMetrics& screen = SystemMetrics();
  for (int id : {IDC_BACKUP_BUTTON, IDC_RESTORE_BUTTON, IDC_EXIT_BUTTON}) {
    imageLists_[id] = LoadButtonImages(ButtonBitmap(id, screen), screen.ButtonSide(), screen);
  }
  ++imageListBuilds_;
}

void CTidewellView::LayOut() {
  const ScreenMetrics& screen = SystemMetrics();
  if (screen.height != lastHeight_) {
    RebuildImageLists();
    lastHeight_ = screen.height;
  }
  for (const auto& [id, place] : LayOutHome(screen)) {
    QWidget* control = controls_.at(id);
    control->setGeometry(ToQRect(place));
    control->update();
  }
}

void CTidewellView::resizeEvent(QResizeEvent*) { LayOut(); }

void CTidewellView::DrawItem(const COwnerDrawButton& button, QPainter& painter) const {
  const auto found = imageLists_.find(button.Id());
  if (found == imageLists_.end() || found->second.images.size() < 2) return;
  painter.drawPixmap(0, 0, found->second.images[button.isDown() ? 1 : 0]);
}

QWidget* CTidewellView::Control(int id) const {
  const auto found = controls_.find(id);
  return found != controls_.end() ? found->second : nullptr;
}

const CImageList& CTidewellView::Images(int buttonId) const {
  static const CImageList none;
  const auto found = imageLists_.find(buttonId);
  return found != imageLists_.end() ? found->second : none;
}

}  // namespace larkpost::app
