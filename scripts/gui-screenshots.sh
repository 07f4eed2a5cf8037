#!/usr/bin/env bash
# Renders the README's pictures of the desktop program with the program itself.
#   scripts/gui-screenshots.sh [BUILD_DIR]   (default build/test)
set -euo pipefail
cd "$(dirname "$0")/.."
gui=${1:-build/test}/src/app/larkpost-gui
out=docs/screenshots
mkdir -p "$out"
# A throw-away default store, so that taking pictures creates nothing in the user's home.
export XDG_DATA_HOME=$(mktemp -d)
trap 'rm -rf "$XDG_DATA_HOME"' EXIT
export QT_QPA_PLATFORM=offscreen
"$gui" --screen 240x320 --dpi 96 --screenshot "$out/home-240x320-96.png"
"$gui" --screen 480x800 --dpi 192 --screenshot "$out/home-480x800-192.png"
"$gui" --screen 240x320 --dpi 96 --show menu --screenshot "$out/menu.png"
"$gui" --screen 240x320 --dpi 96 --show about --screenshot "$out/about.png"
"$gui" --screen 240x320 --dpi 96 --show progress --screenshot "$out/progress.png"
ls -l "$out"
