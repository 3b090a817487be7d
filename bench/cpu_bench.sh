#!/usr/bin/env bash
# Processor time and line share of whole real-time Flash runs:
#   bench/cpu_bench.sh [BUILD_DIR]
# 1. flashtool flashes examples/Tilm6K_example.mot into unitsim over a pseudo-terminal.
# 2. The desktop program (QuorvaneIAP) flashes the same file into its built-in simulated unit
#    under Xvfb; xdotool answers its message boxes and presses Flash.
# For each: the process's user+system time over the run's wall time (share of one core), and
# for flashtool the line share of the transfer from its summary line.
# Needs the Debian packages xvfb and xdotool for the desktop part (skipped without them).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cp "$root/examples/Tilm6K_example.mot" "$work/"

# CPU seconds (user + system) of a process from /proc, while it runs.
cpu_seconds() {
    awk -v hz="$(getconf CLK_TCK)" '{print ($14 + $15) / hz}' "/proc/$1/stat"
}

echo "== flashtool against unitsim (real time, 9600 baud)"
start_unitsim unitsim
cd "$work"
start=$(date +%s.%N)
/usr/bin/time -f "%U %S" -o "$work/time.txt" \
    "$build/cli/flashtool" flash "Tilm6K_example.mot" --port "$pty" >"$work/flash.out" 2>"$work/flash.err" ||
    { cat "$work/flash.err"; exit 1; }
end=$(date +%s.%N)
read -r user sys <"$work/time.txt"
awk -v u="$user" -v s="$sys" -v a="$start" -v b="$end" \
    'BEGIN { w = b - a; printf "wall %.1f s, cpu %.2f s: %.2f%% of one core\n", w, u + s, (u + s) / w * 100 }'
grep "line rate" "$work/flash.out"

if ! command -v Xvfb >/dev/null || ! command -v xdotool >/dev/null; then
    echo "== desktop program: skipped (needs xvfb and xdotool)"
    exit 0
fi
echo "== QuorvaneIAP against its simulated unit (real time, under Xvfb)"
Xvfb :58 -screen 0 800x600x24 >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=:58 QT_QPA_PLATFORM=xcb
sleep 1
"$build/shell/qt/QuorvaneIAP" --simulate "Tilm6K_example.mot" >"$work/gui.out" 2>&1 &
gui=$!
pids+=($gui)
sleep 3
xdotool key Return  # the notice of the opened file
sleep 1
before=$(cpu_seconds "$gui")
start=$(date +%s.%N)
id=$(xdotool search --name "Tilm6K_example.mot - " | head -1)
# The toolbar's Flash button (the second one); Flash has no key of its own.
xdotool mousemove --window "$id" 70 38 click 1
# The run ends with a message box, captioned with the program's name.
for _ in $(seq 1800); do
    xdotool search --onlyvisible --name "QUORVANE Series Flash Tool" >/dev/null 2>&1 && break
    sleep 0.1
done
end=$(date +%s.%N)
after=$(cpu_seconds "$gui")
awk -v c0="$before" -v c1="$after" -v a="$start" -v b="$end" \
    'BEGIN { w = b - a; printf "wall %.1f s, cpu %.2f s: %.2f%% of one core\n", w, c1 - c0, (c1 - c0) / w * 100 }'
