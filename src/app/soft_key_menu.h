// The pop-up that the right soft key opens: the items of menu 128's "Menu" pop-up, sized from
// their texts in the screen's font as the handheld sizes its menus (layout.h: SoftKeyMenuRect),
// so every item shows its whole text at any screen and resolution. Drawn by itself, in the
// screen's own face and colours; the pressed or chosen item is highlighted. Keys: Up, Down, Home,
// End, Return, Enter or Space, Escape (or the key that opened it), and each item's underlined
// letter. Assistive tools see a pop-up menu with its items, the highlighted one focused.
//
// Runs on the user-interface thread.
#pragma once

#include <QtWidgets/QWidget>

#include "app/layout.h"

class QAbstractButton;

namespace larkpost::app {

// Makes `key` the menu's key for assistive tools: a menu button whose child is the open menu.
void MarkAsMenuKey(QAbstractButton* key);

class CSoftKeyMenu : public QWidget {
 public:
  explicit CSoftKeyMenu(QWidget* frame);

  // Adds an item ("&Backup Messages": B is its key); its action is triggered when it is chosen.
  QAction* AddItem(const QString& text);
  // Fonts and size for SystemMetrics().
  void ApplyScreen();
  // The menu's place in the frame and the widest item text, in pixels.
  Rect Place() const;
  int WidestText() const;
  // Opens it above the right soft key.
  void Popup();
  // The highlighted item (-1 for none), and choosing an item as its key does.
  int Current() const { return current_; }
  void Choose(int index);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  int ItemAt(const QPoint& point) const;
  void SetCurrent(int index);

  int current_ = -1;
};

}  // namespace larkpost::app
