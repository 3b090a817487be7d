#!/usr/bin/env bash
# Many units at once: one flashtool command flashes examples/LB1~4K_example.mot (17 KiB, about
# 20 s at 9600 baud) into 1, 4 and 8 unitsim instances on pseudo-terminals, and reports the wall
# time of each against one unit's.
#   bench/multi_bench.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
work="$(mktemp -d)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
cp "$root/examples/LB1~4K_example.mot" "$work/"
cd "$work"
single=""
for count in 1 4 8; do
    ports=()
    for i in $(seq "$count"); do
        "$build/sim/unitsim" --model VX310R --version A1.03 >"unit$count-$i.out" 2>&1 &
        pids+=($!)
    done
    for i in $(seq "$count"); do
        for _ in $(seq 50); do [ -s "unit$count-$i.out" ] && break; sleep 0.1; done
        ports+=(--port "$(head -1 "unit$count-$i.out")")
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
