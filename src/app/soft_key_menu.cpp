#include "app/soft_key_menu.h"

#include <QtGui/QAction>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>

#include <algorithm>

#include "app/frame.h"

namespace larkpost::app {

namespace {

QString WithoutMnemonic(QString text) {
  text.replace("&&", QString(QChar(0xFFFF)));
  text.remove('&');
  text.replace(QChar(0xFFFF), "&");
  return text;
}

QChar MnemonicOf(const QString& text) {
  const qsizetype at = text.indexOf('&');
  return at >= 0 && at + 1 < text.size() && text[at + 1] != '&' ? text[at + 1].toLower() : QChar();
}

}  // namespace

CSoftKeyMenu::CSoftKeyMenu(QWidget* frame) : QWidget(frame, Qt::Popup | Qt::FramelessWindowHint) {
  setMouseTracking(true);
  setAttribute(Qt::WA_NoSystemBackground);
  ApplyScreen();
}

QAction* CSoftKeyMenu::AddItem(const QString& text) {
  auto* action = new QAction(text, this);
  addAction(action);
  ApplyScreen();
  return action;
}

int CSoftKeyMenu::WidestText() const {
  const QFontMetrics metrics(font());
  int widest = 0;
  for (const QAction* action : actions()) {
    widest = std::max(widest, metrics.horizontalAdvance(WithoutMnemonic(action->text())));
  }
  return widest;
}

Rect CSoftKeyMenu::Place() const {
  return SoftKeyMenuRect(SystemMetrics(), WidestText(), static_cast<int>(actions().size()));
}

void CSoftKeyMenu::ApplyScreen() {
  setFont(CellFont(SystemMetrics().T(16)));
  const Rect place = Place();
  resize(place.Width(), place.Height());
}

void CSoftKeyMenu::Popup() {
  ApplyScreen();
  current_ = -1;
  const Rect place = Place();
  move(parentWidget()->mapToGlobal(QPoint(place.left, place.top)));
  show();
  setFocus();
}

int CSoftKeyMenu::ItemAt(const QPoint& point) const {
  const ScreenMetrics& screen = SystemMetrics();
  const Rect place = Place();
  for (int i = 0; i < actions().size(); ++i) {
    if (ToQRect(SoftKeyMenuItem(screen, place, i)).contains(point)) return i;
  }
  return -1;
}

void CSoftKeyMenu::Choose(int index) {
  if (index < 0 || index >= actions().size()) return;
  QAction* action = actions()[index];
  hide();
  action->trigger();
}

void CSoftKeyMenu::paintEvent(QPaintEvent*) {
  const ScreenMetrics& screen = SystemMetrics();
  const Rect place = Place();
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  painter.setPen(QColor(0x16, 0x34, 0x64));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
  painter.setFont(font());
  for (int i = 0; i < actions().size(); ++i) {
    const QRect item = ToQRect(SoftKeyMenuItem(screen, place, i));
    if (i == current_) painter.fillRect(item, QColor(0x2c, 0x5a, 0x9a));
    painter.setPen(i == current_ ? Qt::white : Qt::black);
    painter.drawText(item.adjusted(screen.S(12), 0, 0, 0),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic | Qt::TextSingleLine,
                     actions()[i]->text());
  }
}

void CSoftKeyMenu::mouseMoveEvent(QMouseEvent* event) {
  const int at = ItemAt(event->position().toPoint());
  if (at != current_) {
    current_ = at;
    update();
  }
}

void CSoftKeyMenu::mouseReleaseEvent(QMouseEvent* event) {
  if (!rect().contains(event->position().toPoint())) {
    hide();
    return;
  }
  Choose(ItemAt(event->position().toPoint()));
}

void CSoftKeyMenu::keyPressEvent(QKeyEvent* event) {
  const int count = static_cast<int>(actions().size());
  switch (event->key()) {
    case Qt::Key_Up:
      current_ = current_ <= 0 ? count - 1 : current_ - 1;
      update();
      return;
    case Qt::Key_Down:
      current_ = current_ + 1 >= count ? 0 : current_ + 1;
      update();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      Choose(current_);
      return;
    case Qt::Key_Escape:
    case Qt::Key_F2:
      hide();
      return;
    default:
      break;
  }
  const QString typed = event->text().toLower();
  for (int i = 0; i < count && !typed.isEmpty(); ++i) {
    if (MnemonicOf(actions()[i]->text()) == typed[0]) {
      Choose(i);
      return;
    }
  }
  QWidget::keyPressEvent(event);
}

}  // namespace larkpost::app
