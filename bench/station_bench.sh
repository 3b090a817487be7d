#!/usr/bin/env bash
# A station at work: `flashtool station` on PORTS (8) unitsim lines at once, each presenting
# UNITS (4) units one after another (--next-units; each unit restarts in 1 s, stays 3 s once left
# alone, and the line is silent for 1 s before the next arrives), flashing
# examples/LB1~4K_example.mot (17 KiB, about 20 s at 9600 baud) or IMAGE. Reports units per hour
# and, from unitsim's event logs, the time from each unit's first identity answer to its write
# start (the block table taken by its loader); the goal is at most 2 s.
#   bench/station_bench.sh [BUILD_DIR]
#   PORTS=2 UNITS=3 IMAGE=some.mot bench/station_bench.sh
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ports=${PORTS:-8}
units=${UNITS:-4}
image=${IMAGE:-$root/examples/LB1~4K_example.mot}
file="$(basename "$image")"
cp "$image" "$work/$file"
cd "$work"
args=()
for p in $(seq "$ports"); do
    next=()
    for u in $(seq 2 "$units"); do next+=("$(printf '5156%02X%02X000000000000' "$p" "$u")"); done
    extra=()
    if [ "${#next[@]}" -gt 0 ]; then extra=(--next-units "$(IFS=,; echo "${next[*]}")"); fi
    start_unitsim "line$p" --model VX310R --version A1.03 --restart-ms 1000 --stay-ms 3000 \
        --away-ms 1000 --unit-id "$(printf '5156%02X%02X000000000000' "$p" 1)" "${extra[@]}" \
        --events "$work/events$p.txt"
    args+=(--port "$pty")
done
total=$((ports * units))
start=$(date +%s.%N)
"$build/cli/flashtool" station "$file" "${args[@]}" --json >records.jsonl 2>station.err &
station=$!
pids+=("$station")
while [ "$(wc -l <records.jsonl)" -lt "$total" ]; do
    kill -0 "$station" 2>/dev/null || { tail -20 station.err; exit 1; }
    sleep 0.2
done
end=$(date +%s.%N)
kill -INT "$station"
wait "$station" || true
ok=$(grep -c '"result":"ok"' records.jsonl || true)
awk -v n="$total" -v ok="$ok" -v a="$start" -v b="$end" -v p="$ports" 'BEGIN {
    printf "%d units on %d ports (%d ok) in %.1f s: %.0f units per hour (%.0f per port)\n",
        n, p, ok, b - a, n * 3600 / (b - a), n * 3600 / (b - a) / p }'
# First identity answer to write start, per unit of every line.
for p in $(seq "$ports"); do
    awk -v line="$p" '$3 == "answer" && !(($2) in answer) { answer[$2] = $1 }
        $3 == "table" && !(($2) in table) { table[$2] = $1 }
        END { for (u in answer) if (u in table) printf "%d %d %.3f\n", line, u, table[u] - answer[u] }' \
        "events$p.txt"
done | sort -n -k1 -k2 >arrival.txt
awk '{ s = $3; sum += s; n++; if (n == 1 || s < min) min = s; if (s > max) max = s; if (s <= 2) good++ }
    END { printf "first identity answer to write start over %d units: mean %.2f s, min %.2f s, max %.2f s, %d within 2 s\n",
        n, sum / n, min, max, good }' arrival.txt
