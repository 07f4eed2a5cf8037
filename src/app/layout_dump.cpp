#include "app/layout_dump.h"

#include <nlohmann/json.hpp>

#include <QtGui/QFontMetrics>

#include <algorithm>

#include "app/frame.h"
#include "app/home_view.h"

namespace larkpost::app {

namespace {

nlohmann::ordered_json Box(const Rect& r) {
  return {r.left, r.top, r.right, r.bottom};
}

nlohmann::ordered_json LayoutJson(const ScreenMetrics& screen) {
  nlohmann::ordered_json dump;
  dump["screen"] = {{"width", screen.width},
                    {"height", screen.height},
                    {"dpiX", screen.dpiX},
                    {"dpiY", screen.dpiY}};
  nlohmann::ordered_json home = nlohmann::ordered_json::object();
  for (const auto& [id, place] : LayOutHome(screen)) home[std::to_string(id)] = Box(place);
  dump["home"] = home;
  nlohmann::ordered_json buttons = nlohmann::ordered_json::object();
  for (int id : {IDC_BACKUP_BUTTON, IDC_RESTORE_BUTTON, IDC_EXIT_BUTTON}) {
    const int bitmapId = ButtonBitmap(id, screen);
    const BitmapResource bitmap = LoadBitmapResource(bitmapId);
    const ImageListPlan plan =
        PlanImageList(screen, screen.ButtonSide(), bitmap.image.height(),
                      BitmapDpi(bitmap.pixelsPerMetreX), BitmapDpi(bitmap.pixelsPerMetreY));
    buttons[std::to_string(id)] = {{"bitmap", bitmapId},
                                   {"image", {plan.imageWidth, plan.imageHeight}}};
  }
  dump["buttons"] = buttons;
  dump["about"] = {{"template", AboutTemplate(screen)}};
  const Rect client = DialogClient(screen);
  nlohmann::ordered_json controls = nlohmann::ordered_json::object();
  for (const auto& [id, place] : LayOutProgress(screen, client.Width())) {
    controls[std::to_string(id)] = Box(place);
  }
  dump["progress"] = {{"client", {client.Width(), client.Height()}}, {"controls", controls}};
  // The soft-key menu, sized from its items' texts in the screen's font.
  const QFontMetrics metrics(CellFont(screen.T(16)));
  const auto& items = MenuResource128()[1].items;
  int widest = 0;
  for (const MenuItem& item : items) {
    widest = std::max(widest, metrics.horizontalAdvance(QString::fromUtf8(item.text).remove('&')));
  }
  const Rect menu = SoftKeyMenuRect(screen, widest, static_cast<int>(items.size()));
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  for (size_t i = 0; i < items.size(); ++i) {
    rows.push_back(Box(SoftKeyMenuItem(screen, menu, static_cast<int>(i))));
  }
  dump["menu"] = {{"rect", Box(menu)}, {"widestText", widest}, {"items", rows}};
  return dump;
}

}  // namespace

std::string DumpLayout(const ScreenMetrics& screen) { return LayoutJson(screen).dump(); }

}  // namespace larkpost::app
