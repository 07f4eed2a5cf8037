#!/usr/bin/env bash
# Renders every screen of the desktop program at the four screens it is checked on, with the
# program itself, into docs/screenshots/SCREEN-WxH-DPI.png (the README shows a few of them).
#   scripts/gui-screenshots.sh [BUILD_DIR]   (default build/test)
set -euo pipefail
cd "$(dirname "$0")/.."
gui=${1:-build/test}/src/app/larkpost-gui
out=docs/screenshots
mkdir -p "$out"
# A throw-away home: taking pictures touches no store, and the dialogs' settings and the folder
# the save and open dialogs show (a few backups) are made here.
export XDG_DATA_HOME=$(mktemp -d)
trap 'rm -rf "$XDG_DATA_HOME"' EXIT
export HOME=$XDG_DATA_HOME/ann XDG_CONFIG_HOME=$XDG_DATA_HOME/config
mkdir -p "$HOME/Backups"
touch "$HOME/BAK_20251231_2140.bak" "$HOME/sms-20240101.xml" "$HOME/messages.zip" "$HOME/chat.db"
mkdir -p "$HOME/iPhone backup"
export QT_QPA_PLATFORM=offscreen
rm -f "$out"/*.png
for config in 240x320@96 480x640@192 480x800@240 1080x1920@480; do
  size=${config%@*} dpi=${config#*@}
  for screen in home menu about progress closing waiting save open confirm restored backedup failed \
                password passphrase encryptto wrongkey; do
    # The store the About box names (pictures never open or make it).
    "$gui" --screen "$size" --dpi "$dpi" --store /home/ann/.local/share/larkpost/messages.db \
      --show "$screen" --screenshot "$out/$screen-$size-$dpi.png"
  done
done
du -ch "$out"/*.png | tail -1
