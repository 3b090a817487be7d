#!/usr/bin/env bash
# Many units at once: one flashtool command flashes examples/LB1~4K_example.mot (17 KiB, about
# 20 s at 9600 baud) into 1, 4 and 8 unitsim instances on pseudo-terminals, and reports the wall
# time of each against one unit's.
#   bench/multi_bench.sh [BUILD_DIR]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cp "$root/examples/LB1~4K_example.mot" "$work/"
cd "$work"
single=""
for count in 1 4 8; do
    ports=()
    for i in $(seq "$count"); do
        start_unitsim "unit$count-$i" --model VX310R --version A1.03
        ports+=(--port "$pty")
    done
    start=$(date +%s.%N)
    "$build/cli/flashtool" flash "LB1~4K_example.mot" "${ports[@]}" --json >"run$count.jsonl" \
        2>"run$count.err" || { tail -20 "run$count.err"; exit 1; }
    end=$(date +%s.%N)
    seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }')
    [ -z "$single" ] && single=$seconds
    ok=$(grep -c '"result":"ok"' "run$count.jsonl")
    awk -v n="$count" -v s="$seconds" -v one="$single" -v ok="$ok" \
        'BEGIN { printf "%d unit(s): %.2f s, %.3f times one unit, %d ok\n", n, s, s / one, ok }'
done
