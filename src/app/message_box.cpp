#include "app/message_box.h"

#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollArea>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QStyle>

#include <algorithm>

#include "platform/framework/framework.h"
#include "platform/framework/strings.h"

namespace larkpost::app {

namespace {

// Sizes at 96 dpi.
constexpr int kSideMargin = 6;  // between the screen's edge and the panel
constexpr int kPadding = 8;     // inside the panel
constexpr int kIcon = 32;
constexpr int kButtonWidth = 70;
constexpr int kButtonHeight = 26;

// The longest head of `word` no longer than `fitting` characters that ends where two parts of a
// name meet: after "_", "-" or ",", or before "."; 0 when there is none.
int LastJoint(const QString& word, int fitting) {
  for (int end = std::min(fitting, static_cast<int>(word.size()) - 1); end > 0; --end) {
    const QChar before = word[end - 1];
    if (before == '_' || before == '-' || before == ',' || word[end] == '.') return end;
  }
  return 0;
}

// Breaks `text` into lines no wider than `width`: between words, each paragraph on lines of its
// own. A word that does not fit is moved to the next line, except a path (it holds a "/"), which
// fills the line and goes on below, as does any word wider than a whole line.
template <typename Visit>
void ForEachLine(const QString& text, const QFont& font, int width, Visit visit) {
  const QFontMetrics metrics(font);
  auto fits = [&](const QString& line) { return metrics.horizontalAdvance(line) <= width; };
  int y = 0;
  auto put = [&](const QString& line) {
    visit(line, y);
    y += metrics.lineSpacing();
  };
  for (const QString& paragraph : text.split('\n')) {
    QString line;
    for (const QString& word : paragraph.split(' ')) {
      const QString joined = line.isEmpty() ? word : line + " " + word;
      if (fits(joined)) {
        line = joined;
        continue;
      }
      QString rest = word;
      const bool breakable = word.contains('/') || !fits(word);
      if (!breakable) {
        put(line);
        line = word;
        continue;
      }
      // The path goes on after the line's words, broken after a "/" (not its first, so that
      // "file:/" is never left alone at a line's end), or anywhere when no "/" fits.
      QString prefix = line.isEmpty() ? QString() : line + " ";
      while (!fits(prefix + rest)) {
        int fitting = 0;
        while (fitting < rest.size() && fits(prefix + rest.left(fitting + 1))) ++fitting;
        const qsizetype firstSlash = rest.size() == word.size() ? rest.indexOf('/') : -1;
        const qsizetype slash = rest.lastIndexOf('/', std::max(fitting - 1, 0));
        const int joint = LastJoint(rest, fitting);
        if (slash > firstSlash && slash < fitting) {
          fitting = static_cast<int>(slash) + 1;
        } else if (!prefix.isEmpty()) {
          put(prefix.trimmed());
          prefix.clear();
          continue;
        } else if (joint > 0) {
          // A name wider than the line is broken where its own parts meet, not inside one.
          fitting = joint;
        }
        fitting = std::max(fitting, 1);
        put(prefix + rest.left(fitting));
        prefix.clear();
        rest = rest.mid(fitting);
      }
      QString current = prefix + rest;
      line = current;
    }
    put(line);
  }
}

// The text of the box, drawn in the lines WrapLines gives. A label, so that assistive tools read
// the whole text as the label's (Qt's own wrapping is never used: it breaks paths anywhere).
class TextBlock : public QLabel {
 public:
  TextBlock(const QString& text, QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setText(text);
    setFocusPolicy(Qt::NoFocus);
  }
  int HeightFor(int width) const {
    int lines = 0;
    ForEachLine(text(), font(), width, [&](const QString&, int) { ++lines; });
    return lines * fontMetrics().lineSpacing();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setPen(Qt::black);
    const int ascent = fontMetrics().ascent();
    ForEachLine(text(), font(), width(), [&](const QString& line, int y) {
      painter.drawText(0, y + ascent, line);
    });
  }
};

}  // namespace

void DrawMessageIcon(QPainter& painter, const QRect& area, unsigned type) {
  // Drawn from shapes at the size asked for: sharp at every resolution.
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF box = QRectF(area).adjusted(0.5, 0.5, -0.5, -0.5);
  const qreal side = std::min(box.width(), box.height());
  const QRectF square(box.center().x() - side / 2, box.center().y() - side / 2, side, side);
  QString mark;
  QColor fill;
  const unsigned icon = type & 0xF0;
  if (icon == MB_ICONWARNING) {
    QPolygonF triangle;
    triangle << QPointF(square.center().x(), square.top() + side * 0.04)
             << QPointF(square.right(), square.bottom() - side * 0.06)
             << QPointF(square.left(), square.bottom() - side * 0.06);
    painter.setPen(QPen(QColor(0x8a, 0x5a, 0x00), std::max(1.0, side / 32)));
    painter.setBrush(QColor(0xf5, 0xb8, 0x1c));
    painter.drawPolygon(triangle);
    mark = "!";
    fill = Qt::black;
  } else {
    painter.setPen(QPen(QColor(0x0c, 0x22, 0x44), std::max(1.0, side / 32)));
    painter.setBrush(icon == MB_ICONQUESTION ? QColor(0x2c, 0x7a, 0x3a) : QColor(0x2c, 0x5a, 0x9a));
    painter.drawEllipse(square);
    mark = icon == MB_ICONQUESTION ? "?" : "i";
    fill = Qt::white;
  }
  QFont font("DejaVu Sans");
  font.setBold(true);
  font.setPixelSize(std::max(1, static_cast<int>(side * 0.62)));
  painter.setFont(font);
  painter.setPen(fill);
  QRectF markArea = square;
  if (icon == MB_ICONWARNING) markArea.adjust(0, side * 0.18, 0, 0);
  painter.drawText(markArea, Qt::AlignCenter, mark);
  painter.restore();
}

namespace {

QString IconName(unsigned type) {
  switch (type & 0xF0) {
    case MB_ICONQUESTION: return "Question";
    case MB_ICONWARNING: return "Warning";
    default: return "Information";
  }
}

}  // namespace

QStringList WrapLines(const QString& text, const QFont& font, int width) {
  QStringList lines;
  ForEachLine(text, font, width, [&](const QString& line, int) { lines << line; });
  return lines;
}

int PanelTextWidth(const ScreenMetrics& screen) {
  return screen.width - 2 * screen.S(kSideMargin) - 2 * screen.S(kPadding) - screen.S(kIcon) -
         screen.S(kPadding);
}

Rect MessagePanel(const ScreenMetrics& screen, int textHeight) {
  const Rect client = DialogClient(screen);
  const int fixed = 3 * screen.T(kPadding) + screen.T(kButtonHeight);
  const int most = client.Height() - 2 * screen.T(kSideMargin);
  const int height = std::min(fixed + std::max(textHeight, screen.T(kIcon)), most);
  const int top = (client.Height() - height) / 2;
  return {screen.S(kSideMargin), top, screen.width - screen.S(kSideMargin), top + height};
}

CMessageBox::CMessageBox(QWidget* frame, const QString& text, unsigned type)
    : CDeviceDialog(frame, LoadQString(AFX_IDS_APP_TITLE), false), text_(text), type_(type) {
  setAutoFillBackground(false);  // the screen below shows, dimmed, around the panel
  setFont(CellFont(SystemMetrics().T(13)));
  scroll_ = new QScrollArea(this);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setWidgetResizable(false);
  UseScreenColours(scroll_);
  UseScreenColours(scroll_->viewport());
  textWidget_ = new TextBlock(text_, scroll_);
  textWidget_->setObjectName("text");
  scroll_->setWidget(textWidget_);
  // A screen reader names the box by its icon and reads the text as its description.
  setAccessibleName(IconName(type_));
  setAccessibleDescription(text_);
  ok_ = new QPushButton("OK", this);
  ok_->setDefault(true);
  connect(ok_, &QPushButton::clicked, this, [this] { done(IDOK); });
  if ((type_ & 0x0F) == MB_OKCANCEL) {
    cancel_ = new QPushButton("Cancel", this);
    connect(cancel_, &QPushButton::clicked, this, [this] { done(IDCANCEL); });
  }
  LayOut();
}

int CMessageBox::Run() {
  ok_->setFocus();
  // A quit ends the loop at once: the box then answers as its Escape key does, Cancel where it
  // has one.
  const int answer = exec();
  if ((type_ & 0x0F) != MB_OKCANCEL) return IDOK;
  return answer == IDOK ? IDOK : IDCANCEL;
}

QWidget* CMessageBox::TextArea() const { return scroll_; }

void CMessageBox::LayOut() {
  const ScreenMetrics& screen = SystemMetrics();
  setFont(CellFont(screen.T(13)));
  const int textWidth = std::max(PanelTextWidth(screen), 1);
  const int textHeight = static_cast<TextBlock*>(textWidget_)->HeightFor(textWidth);
  panel_ = MessagePanel(screen, textHeight);
  const int pad = screen.T(kPadding);
  const int left = panel_.left + screen.S(kPadding) + screen.S(kIcon) + screen.S(kPadding);
  const int areaHeight = panel_.Height() - 3 * pad - screen.T(kButtonHeight);
  const bool scrolls = textHeight > areaHeight;
  const int barWidth = scrolls ? scroll_->verticalScrollBar()->sizeHint().width() : 0;
  scroll_->setGeometry(left, panel_.top + pad, textWidth, areaHeight);
  textWidget_->resize(textWidth - barWidth,
                      static_cast<TextBlock*>(textWidget_)->HeightFor(textWidth - barWidth));
  const int buttonTop = panel_.bottom - pad - screen.T(kButtonHeight);
  int right = panel_.right - screen.S(kPadding);
  const QFont buttonFont = CellFont(screen.T(13), 700);
  for (QPushButton* button : {cancel_, ok_}) {
    if (button == nullptr) continue;
    button->setFont(buttonFont);
    button->setGeometry(right - screen.S(kButtonWidth), buttonTop, screen.S(kButtonWidth),
                        screen.T(kButtonHeight));
    right -= screen.S(kButtonWidth) + screen.S(kSideMargin);
  }
  update();
}

void CMessageBox::OnScreenChanged() { LayOut(); }

void CMessageBox::resizeEvent(QResizeEvent* event) {
  CDeviceDialog::resizeEvent(event);
  LayOut();
}

void PaintBoxPanel(QPainter& painter, const QRect& screenArea, const QRect& panel, unsigned type) {
  const ScreenMetrics& screen = SystemMetrics();
  painter.fillRect(screenArea, QColor(0, 0, 0, 70));
  painter.fillRect(panel, Qt::white);
  painter.setPen(QColor(0x16, 0x34, 0x64));
  painter.drawRect(panel.adjusted(0, 0, -1, -1));
  const int side = std::min(screen.S(kIcon), screen.T(kIcon));
  DrawMessageIcon(painter,
                  QRect(panel.left() + screen.S(kPadding), panel.top() + screen.T(kPadding), side,
                        side),
                  type);
}

void CMessageBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintBoxPanel(painter, rect(), ToQRect(panel_), type_);
}

}  // namespace larkpost::app
