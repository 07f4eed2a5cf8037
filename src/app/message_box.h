// The handheld's message box: a panel across the screen's width with an icon, the text broken
// into lines of that width (between words where it can, inside a long path where it must) and
// OK, or OK and Cancel, below. It is part of the screen, not a window of the desktop: it covers
// the screen below the title strip, so nothing under it can be pressed while it is up, and it is
// laid out again when the screen turns or the window is resized. A text taller than the screen
// scrolls inside the panel.
//
// Runs on the user-interface thread.
#pragma once

#include "app/frame.h"

class QPainter;
class QPushButton;
class QScrollArea;

namespace larkpost::app {

// Lines of `text` as they are drawn `width` pixels wide in `font`: broken between words, and
// inside a path (or a word wider than the line) so that it fills the lines it takes.
QStringList WrapLines(const QString& text, const QFont& font, int width);

// The panel of a message box on the screen, in the box's own pixels (it lies in DialogClient):
// `textHeight` is the height the text needs at PanelTextWidth().
Rect MessagePanel(const ScreenMetrics& screen, int textHeight);

// The box's icon for `type` (MB_ICONINFORMATION, MB_ICONWARNING, MB_ICONQUESTION), drawn from
// shapes into `area` at any size.
void DrawMessageIcon(QPainter& painter, const QRect& area, unsigned type);
// A box's look: the screen dimmed around it, its white panel with a frame, and its icon at the
// panel's top left.
void PaintBoxPanel(QPainter& painter, const QRect& screenArea, const QRect& panel, unsigned type);
int PanelTextWidth(const ScreenMetrics& screen);

class CMessageBox : public CDeviceDialog {
 public:
  // `type` is the framework's: MB_OK or MB_OKCANCEL with one of the MB_ICON* icons.
  CMessageBox(QWidget* frame, const QString& text, unsigned type);

  // Shows the box until it is answered: IDOK, or IDCANCEL (Cancel, or Escape and the program
  // quitting in a box that has Cancel).
  int Run();

  const QString& Text() const { return text_; }
  QRect Panel() const { return ToQRect(panel_); }  // for tests and screenshots
  QWidget* TextArea() const;                       // the text's viewport, for tests

  void OnScreenChanged() override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void LayOut();

  QString text_;
  unsigned type_;
  QWidget* textWidget_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  Rect panel_;
};

}  // namespace larkpost::app
