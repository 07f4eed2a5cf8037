#include "app/layout.h"

#include <algorithm>
#include <cmath>

namespace larkpost::app {

namespace {

Rect AtSize(int left, int top, int width, int height) {
  return {left, top, left + width, top + height};
}

// The dialog manager's MulDiv: a·b/c rounded half away from zero.
int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

}  // namespace

std::vector<std::pair<int, Rect>> LayOutHome(const ScreenMetrics& screen) {
  const int W = screen.width;
  const int b = screen.ButtonSide();
  const bool tall = screen.Tall();
  auto S = [&](int n) { return screen.S(n); };
  auto T = [&](int n) { return screen.T(n); };
  const int L = (W - S(200)) / 2;
  const int R = L + S(200);

  std::vector<std::pair<int, Rect>> out;
  auto place = [&](int id, int left, int top, int right, int bottom) {
    out.emplace_back(id, Rect{left, top, right, bottom});
    return out.back().second;
  };
  // Each row starts from the one before it.
  int left = (W - S(70)) / 2, top = tall ? T(18) : 0;
  const Rect maker = place(IDC_MAKER, left, top, left + S(70), top + T(12));
  left = (W - S(150)) / 2;
  const Rect title = place(IDC_TITLE, left, maker.bottom, left + S(150), maker.bottom + T(22));
  Rect line = place(IDC_LINE1, L, title.bottom + T(3), R, title.bottom + T(3) + T(1));

  struct Row {
    int button, heading, text, line, headingOffset, headingWidth;
  };
  const Row rows[] = {
      {IDC_BACKUP_BUTTON, IDC_BACKUP_HEADING, IDC_BACKUP_TEXT, IDC_LINE2, 5, 120},
      {IDC_RESTORE_BUTTON, IDC_RESTORE_HEADING, IDC_RESTORE_TEXT, IDC_LINE3, 5, 120},
      {IDC_EXIT_BUTTON, IDC_EXIT_HEADING, 0, IDC_LINE4, 20, 100},
  };
  for (const Row& row : rows) {
    top = line.bottom + T(5);
    const Rect button = place(row.button, L, top, L + S(b), top + T(b));
    left = button.right + S(5);
    top = button.top + T(row.headingOffset);
    const Rect heading =
        place(row.heading, left, top, left + S(row.headingWidth), top + T(20));
    if (row.text != 0) {
      top = heading.bottom + T(3);
      place(row.text, heading.left, top, heading.left + S(140), top + T(24));
    }
    top = button.bottom + T(1);
    line = place(row.line, L, top, R, top + T(1));
  }
  left = (W - S(160)) / 2;
  top = line.bottom + (tall ? T(20) : 0);
  place(IDC_ADDRESS, left, top, left + S(160), top + T(12));
  return out;
}

int ButtonBitmap(int buttonId, const ScreenMetrics& screen) {
  const bool tall = screen.Tall();
  switch (buttonId) {
    case IDC_BACKUP_BUTTON: return tall ? 146 : 145;
    case IDC_RESTORE_BUTTON: return tall ? 144 : 133;
    case IDC_EXIT_BUTTON: return tall ? 148 : 147;
    default: return 0;
  }
}

int BitmapDpi(int pixelsPerMetre) {
  return (std::max(pixelsPerMetre, 3780) * 100 + 1968) / 3937;
}

ImageListPlan PlanImageList(const ScreenMetrics& screen, int side, int bitmapHeight,
                            int bitmapDpiX, int bitmapDpiY) {
  ImageListPlan plan;
  if (bitmapDpiX == screen.dpiX) {
    plan.imageWidth = side;
    plan.imageHeight = bitmapHeight;
    return plan;
  }
  plan.scaled = true;
  plan.imageWidth = (side * screen.dpiX + bitmapDpiX / 2) / bitmapDpiX;
  plan.imageHeight = (bitmapHeight * screen.dpiY + bitmapDpiY / 2) / bitmapDpiY;
  plan.onePiece = screen.dpiX % bitmapDpiX == 0;
  return plan;
}

std::vector<std::pair<int, Rect>> LayOutProgress(const ScreenMetrics& screen, int clientWidth) {
  auto s = [&](int k) { return screen.T(k); };   // vertical resolution
  auto sx = [&](int k) { return screen.S(k); };  // horizontal resolution
  const int W = static_cast<int>(std::trunc(clientWidth * 0.8));
  const int L = (clientWidth - W) / 2;
  const int T = s(50);
  const int H = s(20);
  const int NX = L + (W - sx(64)) / 2;
  const int NY = T + H + s(3);
  return {
      {1012, AtSize(L, T, W, H)},
      {1013, AtSize(NX, NY, sx(48), s(16))},
      {1016, AtSize(NX + sx(48), NY, sx(16), s(16))},
      {1014, AtSize(L, T - s(16) - s(10), clientWidth - L, s(16))},
      {1015, AtSize(L, NY + s(25), clientWidth - L, s(16))},
  };
}

int AboutTemplate(const ScreenMetrics& screen) {
  return screen.height > screen.width ? 100 : 200;
}

const std::array<DialogItem, 3>& AboutItems(int templateId) {
  static const std::array<DialogItem, 3> portrait = {{
      {1033, 8, 8, 21, 20},
      {202, 36, 11, 83, 18},
      {1035, 11, 103, 122, 15},
  }};
  static const std::array<DialogItem, 3> landscape = {{
      {1033, 8, 8, 21, 20},
      {202, 39, 11, 104, 17},
      {1035, 33, 92, 133, 8},
  }};
  return templateId == 200 ? landscape : portrait;
}

Rect DialogUnitsToPixels(const ScreenMetrics& screen, const DialogItem& item) {
  const int baseX = screen.S(6);
  const int baseY = screen.T(13);
  return {MulDiv(item.x, baseX, 4), MulDiv(item.y, baseY, 8), MulDiv(item.x + item.cx, baseX, 4),
          MulDiv(item.y + item.cy, baseY, 8)};
}

Rect TitleStrip(const ScreenMetrics& screen) { return {0, 0, screen.width, screen.T(26)}; }

Rect SoftKeyBar(const ScreenMetrics& screen) {
  return {0, screen.height - screen.T(26), screen.width, screen.height};
}

Rect FrameClient(const ScreenMetrics& screen) {
  return {0, TitleStrip(screen).bottom, screen.width, SoftKeyBar(screen).top};
}

Rect DialogClient(const ScreenMetrics& screen) {
  return {0, TitleStrip(screen).bottom, screen.width, screen.height};
}

Rect SoftKeyMenuRect(const ScreenMetrics& screen, int widestText, int items) {
  const int width = std::min(screen.S(12) + widestText + screen.S(24) + 2, screen.width);
  const int height = items * screen.T(28) + 2;
  const int bottom = SoftKeyBar(screen).top;
  return {screen.width - width, bottom - height, screen.width, bottom};
}

Rect SoftKeyMenuItem(const ScreenMetrics& screen, const Rect& menu, int index) {
  const int top = 1 + index * screen.T(28);
  return {1, top, menu.Width() - 1, top + screen.T(28)};
}

}  // namespace larkpost::app
