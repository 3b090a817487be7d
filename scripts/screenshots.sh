#!/usr/bin/env bash
# Takes a screenshot of each edition's main window under Xvfb into docs/.
# Needs the Debian packages xvfb, imagemagick, x11-utils and xdotool; run after
# scripts/build.sh build.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$root/docs"
work="$(mktemp -d)"
Xvfb :57 -screen 0 800x600x24 >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb; rm -rf "$work"' EXIT
export DISPLAY=:57 QT_QPA_PLATFORM=xcb
sleep 1
cp "$root/examples/Tilm6K_example.mot" "$work/"
shoot() {  # PROGRAM OUTPUT
    (cd "$work" && "$1" --simulate Tilm6K_example.mot) &
    local pid=$!
    sleep 3
    xdotool key Return  # the notice of the opened file
    sleep 1
    local id caption
    id=$(xwininfo -root -tree | awk '/Tilm6K_example.mot - / {print $1; exit}')
    caption=$(xwininfo -id "$id" | sed -n 's/.*"\(.*\)"$/\1/p')
    # Xvfb has no window manager, so the caption is drawn above the window's content.
    import -window "$id" "$work/shot.png"
    convert "$work/shot.png" -background '#30363d' -gravity north -splice 0x24 \
        -fill white -pointsize 13 -annotate +0+5 "$caption" "$2"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
}
shoot "$root/build/shell/QuorvaneIAP" "$root/docs/QuorvaneIAP.png"
shoot "$root/build/shell/Flash_LB1~6K" "$root/docs/Flash_LB1-6K.png"
echo "screenshots in $root/docs"
