// larkpost-gui-art: draws the desktop program's bitmaps at build time and writes them as the
// handheld's resources were stored: 32 bits per pixel, bottom-up, 2834 pixels per metre.
//
//   larkpost-gui-art OUTDIR
//
// writes bitmap145.bmp ... bitmap150.bmp (button image strips and the separator line),
// icon128.bmp (the 32 × 32 application icon) and larkpost-gui.png (256 × 256, for the desktop's
// launcher). Only shapes are drawn, so no font or display is needed.
#include <QtGui/QImage>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>

#include <cstdio>
#include <initializer_list>
#include <fstream>
#include <string>

namespace {

constexpr int kPixelsPerMetre = 2834;

void Put16(std::string& out, unsigned v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& out, unsigned v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// BITMAPFILEHEADER, BITMAPINFOHEADER (BI_RGB, 32 bpp), then the rows bottom-up as B, G, R, 0.
bool WriteBmp(const QImage& source, const std::string& path) {
  const QImage image = source.convertToFormat(QImage::Format_RGB32);
  const unsigned w = image.width(), h = image.height();
  const unsigned pixelBytes = w * h * 4;
  std::string out;
  out += "BM";
  Put32(out, 14 + 40 + pixelBytes);
  Put32(out, 0);
  Put32(out, 14 + 40);
  Put32(out, 40);
  Put32(out, w);
  Put32(out, h);
  Put16(out, 1);
  Put16(out, 32);
  Put32(out, 0);  // BI_RGB
  Put32(out, pixelBytes);
  Put32(out, kPixelsPerMetre);
  Put32(out, kPixelsPerMetre);
  Put32(out, 0);
  Put32(out, 0);
  for (int y = static_cast<int>(h) - 1; y >= 0; --y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (unsigned x = 0; x < w; ++x) {
      out.push_back(static_cast<char>(qBlue(row[x])));
      out.push_back(static_cast<char>(qGreen(row[x])));
      out.push_back(static_cast<char>(qRed(row[x])));
      out.push_back(0);
    }
  }
  std::ofstream file(path, std::ios::binary);
  file.write(out.data(), static_cast<std::streamsize>(out.size()));
  return static_cast<bool>(file);
}

enum class Glyph { Backup, Restore, Exit, Icon };

struct Palette {
  QColor light, dark;
};

// The closed outline through these corners, in order.
QPainterPath Outline(std::initializer_list<QPointF> corners) {
  QPainterPath path;
  path.moveTo(*corners.begin());
  for (auto corner = corners.begin() + 1; corner != corners.end(); ++corner) path.lineTo(*corner);
  path.closeSubpath();
  return path;
}

// A phone on the left, a tray on the right and an arrow between them; the arrow points to the
// tray for a backup and back to the phone for a restore. Drawn in a 100 × 100 box.
void DrawTransfer(QPainter& p, bool toTray) {
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  QPainterPath phone;
  phone.addRoundedRect(QRectF(14, 22, 26, 46), 5, 5);
  QPainterPath screen;
  screen.addRect(QRectF(18, 28, 18, 30));
  p.drawPath(phone.subtracted(screen));
  p.drawEllipse(QPointF(27, 63), 2.2, 2.2);
  // Message lines on the phone's screen.
  p.drawRect(QRectF(20, 32, 14, 3));
  p.drawRect(QRectF(20, 38, 10, 3));
  // The tray: an open box.
  p.drawPath(Outline({{58, 52}, {58, 70}, {88, 70}, {88, 52}, {82, 52}, {82, 64}, {64, 64},
                      {64, 52}}));
  // The arrow, a bent path from one to the other.
  if (toTray) {
    p.drawPath(Outline({{44, 30}, {66, 30}, {66, 42}, {58, 42}, {73, 58}, {88, 42}, {80, 42},
                        {80, 22}, {44, 22}}));
  } else {
    p.drawPath(Outline({{66, 56}, {66, 36}, {58, 36}, {58, 44}, {42, 30}, {58, 16}, {58, 24},
                        {80, 24}, {80, 56}}));
  }
}

void DrawPower(QPainter& p) {
  QPen pen(Qt::white, 9, Qt::SolidLine, Qt::RoundCap);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(27, 29, 46, 46), 55 * 16, -290 * 16);
  p.drawLine(QPointF(50, 20), QPointF(50, 50));
}

// The application's mark: an envelope with a small arrow, for the About box and the launcher.
void DrawEnvelope(QPainter& p) {
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(16, 28, 68, 46), 5, 5);
  QPen fold(QColor(0x1f, 0x5f, 0x9e), 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(fold);
  p.setBrush(Qt::NoBrush);
  p.drawPolyline(QPolygonF({QPointF(20, 32), QPointF(50, 55), QPointF(80, 32)}));
}

// One square image: a rounded tile with a soft gradient and a white glyph. The pressed image is
// darker, and its glyph sits one step lower, as a pressed key does.
void DrawTile(QPainter& p, const QRectF& box, const Palette& colors, Glyph glyph, bool pressed) {
  p.save();
  p.translate(box.topLeft());
  p.scale(box.width() / 100.0, box.height() / 100.0);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF tile(5, 5, 90, 90);
  QLinearGradient fill(0, 5, 0, 95);
  fill.setColorAt(0, pressed ? colors.dark : colors.light);
  fill.setColorAt(1, pressed ? colors.dark.darker(130) : colors.dark);
  if (!pressed) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 40));
    p.drawRoundedRect(tile.translated(0, 3), 18, 18);
  }
  p.setPen(QPen(colors.dark.darker(pressed ? 150 : 120), 1.5));
  p.setBrush(fill);
  p.drawRoundedRect(tile, 18, 18);
  if (!pressed) {
    // A gloss over the upper half.
    QLinearGradient gloss(0, 5, 0, 50);
    gloss.setColorAt(0, QColor(255, 255, 255, 90));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawRoundedRect(QRectF(8, 8, 84, 44), 15, 15);
  }
  if (pressed) p.translate(0, 3);
  switch (glyph) {
    case Glyph::Backup: DrawTransfer(p, true); break;
    case Glyph::Restore: DrawTransfer(p, false); break;
    case Glyph::Exit: DrawPower(p); break;
    case Glyph::Icon: DrawEnvelope(p); break;
  }
  p.restore();
}

// A button's bitmap: normal and pressed images of `side` pixels side by side.
QImage ButtonStrip(int side, const Palette& colors, Glyph glyph) {
  QImage image(2 * side, side, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::white);
  QPainter p(&image);
  DrawTile(p, QRectF(0, 0, side, side), colors, glyph, false);
  DrawTile(p, QRectF(side, 0, side, side), colors, glyph, true);
  return image;
}

QImage Icon(int side) {
  QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  DrawTile(p, QRectF(0, 0, side, side), {QColor(0x4a, 0x9b, 0xe8), QColor(0x1f, 0x5f, 0x9e)},
           Glyph::Icon, false);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: larkpost-gui-art OUTDIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const Palette green{QColor(0x5c, 0xc2, 0x6e), QColor(0x23, 0x86, 0x3c)};
  const Palette orange{QColor(0xf6, 0xb0, 0x4a), QColor(0xd0, 0x6a, 0x12)};
  const Palette red{QColor(0xee, 0x6a, 0x5f), QColor(0xb3, 0x26, 0x22)};
  struct Strip {
    int id, side;
    Palette colors;
    Glyph glyph;
  };
  const Strip strips[] = {
      {145, 64, green, Glyph::Backup},  {146, 72, green, Glyph::Backup},
      {133, 64, orange, Glyph::Restore}, {144, 72, orange, Glyph::Restore},
      {147, 64, red, Glyph::Exit},       {148, 72, red, Glyph::Exit},
  };
  bool ok = true;
  for (const Strip& strip : strips) {
    ok &= WriteBmp(ButtonStrip(strip.side, strip.colors, strip.glyph),
                   dir + "/bitmap" + std::to_string(strip.id) + ".bmp");
  }
  QImage line(543, 1, QImage::Format_RGB32);
  line.fill(QColor(203, 202, 202));
  ok &= WriteBmp(line, dir + "/bitmap150.bmp");
  // The About box's icon keeps the white of the dialog behind its rounded corners.
  QImage small(32, 32, QImage::Format_RGB32);
  small.fill(Qt::white);
  {
    QPainter p(&small);
    p.drawImage(0, 0, Icon(32));
  }
  ok &= WriteBmp(small, dir + "/icon128.bmp");
  ok &= Icon(256).save(QString::fromStdString(dir + "/larkpost-gui.png"));
  if (!ok) {
    std::fprintf(stderr, "larkpost-gui-art: cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
