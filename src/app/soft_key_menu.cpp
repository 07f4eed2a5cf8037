#include "app/soft_key_menu.h"

#include <QtCore/QPointer>
#include <QtGui/QAccessible>
#include <QtGui/QAction>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QAccessibleWidget>

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

constexpr const char* kOpensMenu = "opensSoftKeyMenu";

void InstallMenuAccessibility();

// The menu as assistive tools see it: a pop-up menu whose children are its items.
class AccessibleMenu : public QAccessibleWidget {
 public:
  explicit AccessibleMenu(CSoftKeyMenu* menu)
      : QAccessibleWidget(menu, QAccessible::PopupMenu, "Menu") {}
  QAccessibleInterface* parent() const override {
    // The key that opened it.
    for (auto* key : widget()->parentWidget()->findChildren<QAbstractButton*>()) {
      if (key->property(kOpensMenu).toBool()) return QAccessible::queryAccessibleInterface(key);
    }
    return QAccessibleWidget::parent();
  }
  int childCount() const override { return static_cast<int>(widget()->actions().size()); }
  QAccessibleInterface* child(int index) const override {
    const QList<QAction*> items = widget()->actions();
    return index >= 0 && index < items.size() ? QAccessible::queryAccessibleInterface(items[index])
                                              : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child != nullptr ? static_cast<int>(widget()->actions().indexOf(
                                  qobject_cast<QAction*>(child->object())))
                            : -1;
  }
  QAccessibleInterface* focusChild() const override {
    const int current = static_cast<CSoftKeyMenu*>(widget())->Current();
    return current >= 0 ? child(current) : nullptr;
  }
};

// One item: its text without the "&", its place on the screen, and "press" to choose it.
class AccessibleMenuItem : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  AccessibleMenuItem(CSoftKeyMenu* menu, QAction* action) : menu_(menu), action_(action) {}

  bool isValid() const override { return !menu_.isNull() && !action_.isNull(); }
  QObject* object() const override { return action_; }
  QWindow* window() const override { return menu_ ? menu_->windowHandle() : nullptr; }
  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(menu_); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QAccessibleInterface* focusChild() const override { return nullptr; }
  QAccessible::Role role() const override { return QAccessible::MenuItem; }
  void setText(QAccessible::Text, const QString&) override {}
  QString text(QAccessible::Text kind) const override {
    if (!isValid()) return QString();
    switch (kind) {
      case QAccessible::Name: return WithoutMnemonic(action_->text());
      case QAccessible::Accelerator: {
        const QChar key = MnemonicOf(action_->text());
        return key.isNull() ? QString() : QString(key.toUpper());
      }
      default: return QString();
    }
  }
  QRect rect() const override {
    if (!isValid()) return QRect();
    const int index = static_cast<int>(menu_->actions().indexOf(action_));
    const QRect item = ToQRect(SoftKeyMenuItem(SystemMetrics(), menu_->Place(), index));
    return QRect(menu_->mapToGlobal(item.topLeft()), item.size());
  }
  QAccessible::State state() const override {
    QAccessible::State state;
    state.focusable = true;
    state.invisible = !isValid() || !menu_->isVisible();
    state.focused = isValid() && menu_->Current() == menu_->actions().indexOf(action_);
    return state;
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                : nullptr;
  }
  QStringList actionNames() const override { return {pressAction()}; }
  void doAction(const QString& name) override {
    if (name == pressAction() && isValid()) {
      menu_->Choose(static_cast<int>(menu_->actions().indexOf(action_)));
    }
  }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }

 private:
  QPointer<CSoftKeyMenu> menu_;
  QPointer<QAction> action_;
};

// The key that opens the menu: a menu button whose child is the open menu (assistive tools list
// no pop-up window of their own), as a desktop's menu buttons are.
class AccessibleMenuKey : public QAccessibleWidget {
 public:
  explicit AccessibleMenuKey(QAbstractButton* key)
      : QAccessibleWidget(key, QAccessible::ButtonMenu) {}
  CSoftKeyMenu* Menu() const {
    // By its type (it has no meta-object of its own, so not findChild).
    for (QObject* child : widget()->window()->children()) {
      if (auto* menu = dynamic_cast<CSoftKeyMenu*>(child)) return menu;
    }
    return nullptr;
  }
  int childCount() const override {
    const CSoftKeyMenu* menu = Menu();
    return menu != nullptr && menu->isVisible() ? 1 : 0;
  }
  QAccessibleInterface* child(int index) const override {
    return index == 0 && childCount() == 1 ? QAccessible::queryAccessibleInterface(Menu())
                                           : nullptr;
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    return child != nullptr && child->object() == Menu() && childCount() == 1 ? 0 : -1;
  }
  QString text(QAccessible::Text kind) const override {
    if (kind == QAccessible::Name && widget()->accessibleName().isEmpty()) {
      return static_cast<QAbstractButton*>(widget())->text();
    }
    return QAccessibleWidget::text(kind);
  }
  QStringList actionNames() const override { return {pressAction(), showMenuAction()}; }
  void doAction(const QString& name) override {
    if (name == pressAction() || name == showMenuAction()) {
      static_cast<QAbstractButton*>(widget())->click();
    }
  }
};

QAccessibleInterface* MenuAccessibility(const QString&, QObject* object) {
  if (auto* menu = dynamic_cast<CSoftKeyMenu*>(object)) return new AccessibleMenu(menu);
  if (auto* key = qobject_cast<QAbstractButton*>(object);
      key != nullptr && key->property(kOpensMenu).toBool()) {
    return new AccessibleMenuKey(key);
  }
  if (auto* action = qobject_cast<QAction*>(object)) {
    if (auto* menu = dynamic_cast<CSoftKeyMenu*>(action->parent())) {
      return new AccessibleMenuItem(menu, action);
    }
  }
  return nullptr;
}

void InstallMenuAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(MenuAccessibility);
    return true;
  }();
  (void)installed;
}

}  // namespace

void MarkAsMenuKey(QAbstractButton* key) {
  InstallMenuAccessibility();
  key->setProperty(kOpensMenu, true);
}

CSoftKeyMenu::CSoftKeyMenu(QWidget* frame) : QWidget(frame, Qt::Popup | Qt::FramelessWindowHint) {
  InstallMenuAccessibility();
  setMouseTracking(true);
  setAttribute(Qt::WA_NoSystemBackground);
  setAccessibleName("Menu");
  ApplyScreen();
}

void CSoftKeyMenu::SetCurrent(int index) {
  if (index == current_) return;
  current_ = index;
  update();
  if (current_ >= 0 && current_ < actions().size()) {
    // A screen reader follows the highlighted item.
    QAccessibleEvent focus(actions()[current_], QAccessible::Focus);
    QAccessible::updateAccessibility(&focus);
  }
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
  SetCurrent(ItemAt(event->position().toPoint()));
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
      SetCurrent(current_ <= 0 ? count - 1 : current_ - 1);
      return;
    case Qt::Key_Down:
      SetCurrent(current_ + 1 >= count ? 0 : current_ + 1);
      return;
    case Qt::Key_Home:
      SetCurrent(0);
      return;
    case Qt::Key_End:
      SetCurrent(count - 1);
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
      Choose(current_);
      return;
    case Qt::Key_Escape:
    case Qt::Key_F2:
    case Qt::Key_F10:
    case Qt::Key_Menu:
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
