#!/usr/bin/env bash
# Takes screenshots of both editions under Xvfb with the openbox window manager (so captions and
# frames are real) into docs/: each main window with a file loaded, and a transfer in progress.
# Needs the Debian packages xvfb, openbox, imagemagick, x11-utils and xdotool; run after
# scripts/build.sh build.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$root/docs"
work="$(mktemp -d)"
Xvfb :57 -screen 0 800x600x24 >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:57 QT_QPA_PLATFORM=xcb
sleep 1
openbox >/dev/null 2>&1 &
wm=$!
trap 'kill $wm $xvfb 2>/dev/null; rm -rf "$work"' EXIT
sleep 1
cp "$root/examples/Tilm6K_example.mot" "$work/"
# The window (with its frame) whose caption matches, as a PNG.
shoot() {  # NAME_PATTERN OUTPUT
    local id
    id=$(xdotool search --onlyvisible --name "$1" | head -1)
    import -frame -window "$id" "$2"
}
edition() {  # PROGRAM OUTPUT TRANSFER_OUTPUT
    (cd "$work" && HOME="$work" "$1" --simulate Tilm6K_example.mot) &
    local pid=$!
    sleep 3
    xdotool key Return  # the notice of the opened file
    sleep 1
    shoot "Tilm6K_example.mot - " "$2"
    if [ -n "$3" ]; then
        local id
        id=$(xdotool search --onlyvisible --name "Tilm6K_example.mot - " | head -1)
        # The toolbar's Flash button.
        xdotool mousemove --window "$id" 70 38 click 1
        sleep 7
        shoot "Programming" "$3"
    fi
    kill "$pid"
    wait "$pid" 2>/dev/null || true
}
edition "$root/build/shell/qt/QuorvaneIAP" "$root/docs/QuorvaneIAP.png" "$root/docs/transfer.png"
edition "$root/build/shell/qt/Flash_LB1~6K" "$root/docs/Flash_LB1-6K.png" ""
echo "screenshots in $root/docs"
