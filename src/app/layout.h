// The handheld's screen geometry, in plain integers so that it can be checked without a window:
// the emulated screen's metrics, the home view's layout table, the button image sizes, the
// progress dialog's placement and the About box's templates.
//
// Sizes are written for 96 dpi and scaled by the screen's pixels per inch, rounded half up:
// S(n) = (dpiX·n + 48) / 96 horizontally and T(n) = (dpiY·n + 48) / 96 vertically, integer
// division. Rectangles are (left, top, right, bottom) in the pixels of the window they lie in.
#pragma once

#include <array>
#include <utility>
#include <vector>

namespace larkpost::app {

struct ScreenMetrics {
  int width = 480;
  int height = 640;
  int dpiX = 192;
  int dpiY = 192;

  int S(int n) const { return (dpiX * n + 48) / 96; }
  int T(int n) const { return (dpiY * n + 48) / 96; }
  // The screen is tall from 800 pixels up: bigger buttons, more air above and below.
  bool Tall() const { return height >= 800; }
  // Side of a home-view button image at 96 dpi.
  int ButtonSide() const { return Tall() ? 72 : 64; }
  // Rotating the device swaps width and height; the resolution stays.
  ScreenMetrics Rotated() const { return {height, width, dpiX, dpiY}; }
};

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool operator==(const Rect&) const = default;
};

// Control identifiers of the home view (form 101) and its buttons.
enum HomeControl : int {
  IDC_TITLE = 1014,
  IDC_MAKER = 1041,
  IDC_LINE1 = 1042,
  IDC_LINE2 = 1043,
  IDC_LINE3 = 1044,
  IDC_LINE4 = 1045,
  IDC_BACKUP_HEADING = 1049,
  IDC_BACKUP_TEXT = 1050,
  IDC_RESTORE_HEADING = 1051,
  IDC_RESTORE_TEXT = 1052,
  IDC_EXIT_HEADING = 1053,
  IDC_ADDRESS = 1032,
  IDC_BACKUP_BUTTON = 1027,
  IDC_RESTORE_BUTTON = 1030,
  IDC_EXIT_BUTTON = 1031,
};

// Every control of the home view with its rectangle in view pixels, in the order the layout
// moves them. The column is centred on the screen's width, not the view's.
std::vector<std::pair<int, Rect>> LayOutHome(const ScreenMetrics& screen);

// The bitmap a button's two images (normal, pressed) come from: 145/133/147 below 800 pixels of
// screen height, 146/144/148 from 800 up.
int ButtonBitmap(int buttonId, const ScreenMetrics& screen);

// Resolution of a bitmap from its header's pixels per metre: raised to at least 3780 (96 dpi)
// and converted to dots per inch, (ppm·100 + 1968) / 3937.
int BitmapDpi(int pixelsPerMetre);

// How a button's image list is built from its bitmap (`count` square images side by side, each
// `side` pixels at the bitmap's own resolution `bitmapDpiX` × `bitmapDpiY`).
struct ImageListPlan {
  int imageWidth = 0;    // of one image in the list
  int imageHeight = 0;
  bool scaled = false;   // false: the bitmap is loaded as it is
  bool onePiece = true;  // scaled as one strip (whole multiple) or image by image
};
ImageListPlan PlanImageList(const ScreenMetrics& screen, int side, int bitmapHeight,
                            int bitmapDpiX, int bitmapDpiY);

// The progress dialog's controls for a client area `clientWidth` wide: bar 1012, number 1013,
// percent sign 1016, top label 1014, bottom label 1015.
std::vector<std::pair<int, Rect>> LayOutProgress(const ScreenMetrics& screen, int clientWidth);

// The About box: template 100 when the screen is taller than wide, 200 otherwise (square too).
int AboutTemplate(const ScreenMetrics& screen);

// A control of an About template in dialog units.
struct DialogItem {
  int id;
  int x, y, cx, cy;
};
const std::array<DialogItem, 3>& AboutItems(int templateId);
// Dialog units to pixels with the base units of the dialog font ("System" 8): 6 × 13 pixels at
// 96 dpi, scaled like everything else; x·baseX/4 and y·baseY/8 as the dialog manager rounds.
Rect DialogUnitsToPixels(const ScreenMetrics& screen, const DialogItem& item);

// The screen's own furniture: the title strip on top and the soft-key bar at the bottom, each
// 26 pixels at 96 dpi; windows lie between them, dialogs from the title strip down.
Rect TitleStrip(const ScreenMetrics& screen);
Rect SoftKeyBar(const ScreenMetrics& screen);
Rect FrameClient(const ScreenMetrics& screen);   // the view
Rect DialogClient(const ScreenMetrics& screen);  // About box and progress dialog

// The right soft key's menu, in frame pixels: right-aligned on the soft-key bar, one item below
// the other, each T(28) high; as wide as its widest text (`widestText` pixels in the menu's
// font) with S(12) before and S(24) after it, but never wider than the screen; a 1-pixel border.
Rect SoftKeyMenuRect(const ScreenMetrics& screen, int widestText, int items);
Rect SoftKeyMenuItem(const ScreenMetrics& screen, const Rect& menu, int index);  // menu pixels

}  // namespace larkpost::app
