// The pop-up that the right soft key opens: the items of menu 128's "Menu" pop-up, sized from
// their texts in the screen's font as the handheld sizes its menus (layout.h: SoftKeyMenuRect),
// so every item shows its whole text at any screen and resolution. Drawn by itself, in the
// screen's own face and colours; the pressed or chosen item is highlighted. Keys: Up, Down,
// Return or Enter, Escape, and each item's underlined letter.
//
// Runs on the user-interface thread.
#pragma once

#include <QtWidgets/QWidget>

#include "app/layout.h"

namespace larkpost::app {

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

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  int ItemAt(const QPoint& point) const;
  void Choose(int index);

  int current_ = -1;
};

}  // namespace larkpost::app
