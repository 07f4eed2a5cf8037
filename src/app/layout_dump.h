// The layout as one JSON object, for people and checks (larkpost-gui --dump-layout):
//   {"screen":{"width":W,"height":H,"dpiX":X,"dpiY":Y},
//    "home":{"<id>":[left,top,right,bottom], ... every control of the home view's table},
//    "buttons":{"<id>":{"bitmap":N,"image":[w,h]}},      the image list each button draws from
//    "about":{"template":100|200},
//    "progress":{"client":[w,h],"controls":{"<id>":[l,t,r,b]}}}
// Rectangles are in the pixels of their window, as the layout computes them; the image sizes
// come from the bitmaps' own headers. Needs no display.
#pragma once

#include <string>

#include "app/layout.h"

namespace larkpost::app {

std::string DumpLayout(const ScreenMetrics& screen);

}  // namespace larkpost::app
