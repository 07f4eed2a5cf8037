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
# The save dialog shows a home of a few backups, and its settings go there too.
export HOME=$XDG_DATA_HOME/ann XDG_CONFIG_HOME=$XDG_DATA_HOME/config
mkdir -p "$HOME/Backups"
touch "$HOME/BAK_20251231_2140.bak" "$HOME/sms-20240101.xml" "$HOME/messages.zip"
export QT_QPA_PLATFORM=offscreen
"$gui" --screen 240x320 --dpi 96 --screenshot "$out/home-240x320-96.png"
"$gui" --screen 480x800 --dpi 192 --screenshot "$out/home-480x800-192.png"
"$gui" --screen 240x320 --dpi 96 --show menu --screenshot "$out/menu.png"
"$gui" --screen 768x1024 --dpi 288 --show menu --screenshot "$out/menu-768x1024-288.png"
"$gui" --screen 480x640 --dpi 192 --show save --screenshot "$out/save-480x640-192.png"
"$gui" --screen 240x320 --dpi 96 --show confirm --screenshot "$out/confirm-240x320-96.png"
"$gui" --screen 480x640 --dpi 192 --show restored --screenshot "$out/restored-480x640-192.png"
"$gui" --screen 240x320 --dpi 96 --show about --screenshot "$out/about.png"
"$gui" --screen 240x320 --dpi 96 --show progress --screenshot "$out/progress.png"
ls -l "$out"
