// The home view: title, maker label, three owner-drawn image buttons (Backup, Restore, Exit)
// with their headings and descriptions, separator lines and the home-page address. Every
// control is placed in code from the screen's width, height and resolution on each resize
// (layout.h holds the table); fonts and button images are scaled to the screen's resolution.
#pragma once

#include <QtGui/QPixmap>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QWidget>

#include <map>
#include <vector>

#include "app/layout.h"

class QLabel;

namespace larkpost::app {

// A bitmap resource as stored: its pixels and its header's resolution.
struct BitmapResource {
  QImage image;
  int pixelsPerMetreX = 0;
  int pixelsPerMetreY = 0;
  bool Valid() const { return !image.isNull(); }
};
BitmapResource LoadBitmapResource(int id);
// The 32 × 32 application icon 128.
QPixmap LoadAppIcon();

// Images of equal size, drawn by index; empty when it could not be built.
struct CImageList {
  std::vector<QPixmap> images;
  int imageWidth = 0, imageHeight = 0;
  bool Empty() const { return images.empty(); }
};
// Loads a button's image list from its bitmap for the screen (images `side` pixels wide at the
// bitmap's resolution), scaling the bitmap by the resolution rule with a plain pixel copy.
CImageList LoadButtonImages(int bitmapId, int side, const ScreenMetrics& screen);

// A picture label that stretches its bitmap over its whole area.
class CMyStatic : public QWidget {
 public:
  explicit CMyStatic(QWidget* parent) : QWidget(parent) {}
  void SetBitmap(int id) { bitmapId_ = id; update(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int bitmapId_ = 0;
};

class CTidewellView;

// A push button whose face the view draws; a dotted frame shows where the keyboard's focus is.
class COwnerDrawButton : public QPushButton {
 public:
  COwnerDrawButton(CTidewellView* view, int id);
  int Id() const { return id_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  CTidewellView* view_;
  int id_;
  bool keyboardFocus_ = false;
};

class CTidewellView : public QWidget {
 public:
  // `command` receives the buttons' commands (the frame's routing).
  explicit CTidewellView(QWidget* parent);

  // Fonts, texts and line bitmaps, after creation.
  void OnInitialUpdate();
  // Lays every control out for SystemMetrics(); rebuilds the image lists when the screen height
  // differs from the last layout's.
  void LayOut();
  // Draws a button's face: image 1 while it is held down, image 0 otherwise.
  void DrawItem(const COwnerDrawButton& button, QPainter& painter) const;

  QWidget* Control(int id) const;
  const CImageList& Images(int buttonId) const;
  int ImageListBuilds() const { return imageListBuilds_; }  // for tests

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void RebuildImageLists();

  std::map<int, QWidget*> controls_;
  std::map<int, CImageList> imageLists_;
  int lastHeight_ = 0;
  int imageListBuilds_ = 0;
};

}  // namespace larkpost::app
