#!/usr/bin/env bash
# The Win32 desktop programs of the Windows build: their imports (system DLLs only), then the
# window driven by its messages (win32_shell_tests.exe) under Wine on a virtual display with the
# openbox window manager, in virtual time against the simulated unit and, on a Wine COM port
# linked to unitsim's pseudo-terminal, in real time through the Win32 serial back end.
#   tests/windows/wine_desktop_tests.sh WINDOWS_BUILD_DIR UNITSIM
set -uo pipefail
win="$(cd "$1" && pwd)"
unitsim="$2"
wine="$(command -v wine64 || echo /usr/lib/wine/wine64)"
objdump="$(command -v x86_64-w64-mingw32-objdump || echo objdump)"
work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
unitsim_pid=""
trap '[ -n "$unitsim_pid" ] && kill "$unitsim_pid" 2>/dev/null; "${wine%/*}/wineserver" -k 2>/dev/null; rm -rf "$work"' EXIT
failed=0
system_dlls='^(advapi32|comctl32|comdlg32|gdi32|kernel32|msvcrt|shell32|user32|ws2_32)\.dll$'
for program in "$win/shell/win32/QuorvaneIAP.exe" "$win/shell/win32/Flash_LB1~6K.exe"; do
    others="$("$objdump" -p "$program" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' |
        grep -Ev "$system_dlls")"
    if [ -n "$others" ]; then
        echo "FAIL ${program##*/} imports: $others"
        failed=1
    else
        echo "PASS ${program##*/} needs system DLLs only"
    fi
done
"$wine" wineboot -i >/dev/null 2>&1
# The unit behind COM7, for the window's run on a real port.
mkdir -p "$work/flash"
"$unitsim" --model VX310R --version A1.03 --restart-ms 200 --flash-dir "$work/flash" \
    >"$work/unitsim.out" 2>&1 &
unitsim_pid=$!
for _ in $(seq 50); do [ -s "$work/unitsim.out" ] && break; sleep 0.1; done
ln -sf "$(head -1 "$work/unitsim.out")" "$WINEPREFIX/dosdevices/com7"
export FLASHTOOL_E2E_PORT=COM7 FLASHTOOL_E2E_FLASH_DIR="Z:$work/flash"
# Wine needs a display to create windows; openbox gives them real frames and focus.
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    command -v openbox >/dev/null && { openbox >/dev/null 2>&1 & sleep 1; }
    "$0" "$1" --gtest_brief=1' "$wine" "$win/tests/win32_shell_tests.exe" >"$work/shell.log" 2>&1
status=$?
tail -15 "$work/shell.log"
[ "$status" -eq 0 ] || failed=1
[ "$failed" -eq 0 ]
