// The layout as one JSON object, for people and checks (larkpost-gui --dump-layout):
//   {"screen":{"width":W,"height":H,"dpiX":X,"dpiY":Y},
//    "home":{"<id>":[left,top,right,bottom], ... every control of the home view's table},
//    "buttons":{"<id>":{"bitmap":N,"image":[w,h]}},      the image list each button draws from
//    "about":{"template":100|200},
//    "progress":{"client":[w,h],"controls":{"<id>":[l,t,r,b]}},
//    "menu":{"rect":[l,t,r,b],"widestText":N,"items":[[l,t,r,b], ...]}}   the soft-key menu
// Rectangles are in the pixels of their window, as the layout computes them; the image sizes
// come from the bitmaps' own headers, the menu's from its texts in the screen's font (so a
// QGuiApplication must exist; it needs no display: the offscreen platform serves).
#pragma once

#include <string>

#include "app/layout.h"

namespace larkpost::app {

std::string DumpLayout(const ScreenMetrics& screen);

}  // namespace larkpost::app
