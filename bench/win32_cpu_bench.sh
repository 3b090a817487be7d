#!/usr/bin/env bash
# Processor time of the Win32 desktop program over a whole real-time 6K Flash under Wine:
#   bench/win32_cpu_bench.sh [BUILD_DIR [WINDOWS_BUILD_DIR]]
# The window (QuorvaneIAP's frame, built into win32_shell_tests.exe) flashes
# examples/Tilm6K_example.mot through a Wine COM port into unitsim (a VX360R) on a virtual
# display with openbox, repainting throughout; the run's user+system time over its wall time is
# its share of one core. Needs wine, xvfb and openbox (scripts/setup.sh installs them).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
win="${2:-$root/build-win}"
wine="$(command -v wine64 || echo /usr/lib/wine/wine64)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
"$wine" wineboot -i >/dev/null 2>&1
mkdir -p "$work/flash"
start_unitsim unitsim --model VX360R --version S1.03 --flash-dir "$work/flash"
ln -sf "$pty" "$WINEPREFIX/dosdevices/com7"
cp "$root/examples/Tilm6K_example.mot" "$work/"
export FLASHTOOL_E2E_PORT=COM7 FLASHTOOL_E2E_FLASH_DIR="Z:$work/flash"
export FLASHTOOL_E2E_FILE="Z:$work/Tilm6K_example.mot"
echo "== the Win32 window against unitsim on a Wine COM port (real time, 9600 baud)"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    openbox >/dev/null 2>&1 & sleep 1
    start=$(date +%s.%N)
    /usr/bin/time -f "%U %S" -o "$2/time.txt" "$0" "$1" --gtest_filter=WindowOnAComPort.* \
        >"$2/run.out" 2>&1
    status=$?
    end=$(date +%s.%N)
    echo "$start $end $status" >"$2/wall.txt"' \
    "$wine" "$win/tests/win32_shell_tests.exe" "$work"
read -r start end status <"$work/wall.txt"
if [ "$status" -ne 0 ]; then
    cat "$work/run.out"
    exit 1
fi
read -r user sys <"$work/time.txt"
awk -v u="$user" -v s="$sys" -v a="$start" -v b="$end" \
    'BEGIN { w = b - a; printf "wall %.1f s, cpu %.2f s: %.2f%% of one core\n", w, u + s, (u + s) / w * 100 }'
