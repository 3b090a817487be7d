#!/usr/bin/env bash
# Screenshots of the Win32 programs of the Windows build under Wine, on Xvfb with the openbox
# window manager, into docs/: each main window with a file loaded, and a transfer in progress.
# Needs xvfb, openbox, imagemagick and xdotool; run after
#   scripts/build.sh build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
win="${1:-$root/build-win}"
wine="$(command -v wine64 || echo /usr/lib/wine/wine64)"
work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
Xvfb :58 -screen 0 800x600x24 >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:58
sleep 1
openbox >/dev/null 2>&1 &
wm=$!
trap '"${wine%/*}/wineserver" -k 2>/dev/null || true; kill $wm $xvfb 2>/dev/null; rm -rf "$work"' EXIT
"$wine" wineboot -i >/dev/null 2>&1
cp "$root/examples/Tilm6K_example.mot" "$work/"
shoot() {  # NAME_PATTERN OUTPUT
    local id
    id=$(xdotool search --onlyvisible --name "$1" | head -1)
    import -frame -window "$id" "$2"
}
edition() {  # PROGRAM OUTPUT TRANSFER_OUTPUT
    (cd "$work" && "$wine" "$1" --simulate Tilm6K_example.mot) &
    local pid=$!
    xdotool mousemove 790 590  # away from the toolbar
    sleep 6
    xdotool key Return  # the notice of the opened file
    sleep 1
    shoot "Tilm6K_example.mot - " "$2"
    if [ -n "$3" ]; then
        local id
        id=$(xdotool search --onlyvisible --name "Tilm6K_example.mot - " | head -1)
        # The toolbar's Flash button.
        xdotool mousemove --window "$id" 75 38 click 1
        sleep 8
        shoot "Programming" "$3"
    fi
    "${wine%/*}/wineserver" -k 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
edition "$win/shell/win32/QuorvaneIAP.exe" "$root/docs/win32-QuorvaneIAP.png" \
    "$root/docs/win32-transfer.png"
edition "$win/shell/win32/Flash_LB1~6K.exe" "$root/docs/win32-Flash_LB1-6K.png" ""
echo "screenshots in $root/docs"
