// What every screen of the program shares: the screen's metrics, the handheld's fonts measured
// to its cell heights, its colours, and the strings of its resources.
#include <QtGui/QFontMetrics>
#include <QtGui/QPalette>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <tuple>

#include "app/frame.h"
#include "platform/framework/strings.h"

namespace larkpost::app {

namespace {

constexpr const char* kFontFamily = "DejaVu Sans";

}  // namespace

ScreenMetrics& SystemMetrics() {
  static ScreenMetrics metrics;
  return metrics;
}

QFont CellFont(int cellHeight, int weight, int averageWidth) {
  // Searched once per request: the widths and heights are met by measuring, and the same
  // request always gives the same face.
  static std::map<std::tuple<int, int, int>, QFont> made;
  const auto key = std::make_tuple(cellHeight, weight, averageWidth);
  if (const auto found = made.find(key); found != made.end()) return found->second;

  QFont font(kFontFamily);
  font.setStyleStrategy(QFont::PreferAntialias);
  // The handheld's narrow system font is closest to the condensed cut of the family.
  font.setStretch(QFont::SemiCondensed);
  font.setWeight(weight >= 700 ? QFont::Bold : QFont::Normal);
  // The handheld's heights are cell heights (ascent plus descent); Qt sizes the em square. The
  // largest pixel size whose cell is no taller than asked. (The face's ascent and descent are
  // whole pixels each, so a few cell heights fall between two sizes; finer sizes do not help.)
  // Pixels, not points: the same on every screen whatever its logical resolution.
  const int height = std::max(cellHeight, 1);
  auto cellAt = [&](int pixels) {
    font.setPixelSize(pixels);
    return QFontMetrics(font).height();
  };
  int pixels = std::max(1, height * 5 / 6);
  while (pixels > 1 && cellAt(pixels) > height) --pixels;
  while (cellAt(pixels + 1) <= height) ++pixels;
  font.setPixelSize(pixels);
  if (averageWidth > 0) {
    // The stretch (drawn by widening or narrowing the glyphs) whose average character width is
    // the one asked for, the nearest to the face's own where several are.
    int best = font.stretch();
    int bestMiss = std::abs(QFontMetrics(font).averageCharWidth() - averageWidth);
    for (int step = 1; step <= 80 && bestMiss > 0; ++step) {
      for (const int candidate : {QFont::SemiCondensed - step, QFont::SemiCondensed + step}) {
        font.setStretch(candidate);
        const int miss = std::abs(QFontMetrics(font).averageCharWidth() - averageWidth);
        if (miss < bestMiss) {
          best = candidate;
          bestMiss = miss;
        }
      }
    }
    font.setStretch(best);
  }
  made.emplace(key, font);
  return font;
}

void UseScreenColours(QWidget* widget) {
  widget->setAutoFillBackground(true);
  QPalette colors = widget->palette();
  colors.setColor(QPalette::Window, Qt::white);
  colors.setColor(QPalette::WindowText, Qt::black);
  widget->setPalette(colors);
}

QString LoadQString(unsigned id) { return QString::fromStdU16String(LoadString(id)); }

}  // namespace larkpost::app
