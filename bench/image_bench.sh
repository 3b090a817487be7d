#!/usr/bin/env bash
# Image build benchmark: `flashtool image` against objcopy and srec_cat on a full 128 KiB
# S-record file (8192 S2 records of 16 bytes, addresses 0 to 0x1FFF0, pseudo-random data).
#
#   bench/image_bench.sh            (from the repository root, after scripts/build.sh build)
#
# Each tool runs as a whole process. Instructions are the total Ir of one run under callgrind
# (repeatable from run to run), and those of `flashtool --version`, the start every command pays;
# wall time is the mean (and the fastest) of RUNS runs after one warm-up run, the tools taking
# turns. flashtool's tmp.bin must be byte-identical to srec_cat's output, or the script
# fails; whether objcopy's output matches too is reported.
#
# Environment: FLASHTOOL (default build/cli/flashtool), RUNS (default 30), PROFILE=1 to show
# flashtool's most expensive functions even when it needs fewer instructions than objcopy.
# Needs: valgrind, srecord (srec_cat), binutils (objcopy), gawk or mawk.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
flashtool="${FLASHTOOL:-$root/build/cli/flashtool}"
runs="${RUNS:-30}"
case "$flashtool" in /*) ;; *) flashtool="$PWD/$flashtool" ;; esac

for tool in "$flashtool" valgrind callgrind_annotate objcopy srec_cat awk; do
    if ! command -v "$tool" >/dev/null; then
        echo "image_bench: $tool is missing (build with scripts/build.sh build; apt-get install" \
            "valgrind srecord binutils)" >&2
        exit 2
    fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/image_bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mot="LB1~4K_full.mot"
input="$work/$mot"

# The firmware file: a header, 8192 S2 records of 16 bytes from address 0, an end record. The
# data comes from the Park-Miller generator, whose products stay exact in awk's doubles.
awk -v records=8192 'BEGIN {
    seed = 20240607
    print "S00600004844521B"
    for (r = 0; r < records; ++r) {
        address = r * 16
        a2 = int(address / 65536); a1 = int(address / 256) % 256; a0 = address % 256
        sum = 20 + a2 + a1 + a0
        line = sprintf("S214%02X%02X%02X", a2, a1, a0)
        for (i = 0; i < 16; ++i) {
            seed = (seed * 16807) % 2147483647
            byte = int(seed / 65536) % 256
            sum += byte
            line = line sprintf("%02X", byte)
        }
        print line sprintf("%02X", 255 - sum % 256)
    }
    print "S804000000FB"
}' >"$input"

names=(flashtool objcopy srec_cat)
outputs=("$work/flashtool/tmp.bin" "$work/objcopy.bin" "$work/srec_cat.bin")
# flashtool writes into the current folder; every tool runs from there, all alike.
mkdir -p "$work/flashtool"
cd "$work/flashtool"
# Runs tool number $1 once, behind the command words that follow it (valgrind's), if any.
run_tool() {
    case "$1" in
        0) "${@:2}" "$flashtool" image "$input" 2>"$work/flashtool.log" ;;
        1) "${@:2}" objcopy -I srec -O binary --gap-fill 0xFF "$input" "${outputs[1]}" ;;
        2) "${@:2}" srec_cat "$input" -fill 0xFF 0 0x20000 -o "${outputs[2]}" -binary ;;
    esac
}

# Sets `now` to the microseconds since the epoch, without starting a process where bash can.
if [ -n "${EPOCHREALTIME:-}" ]; then
    clock() { now="${EPOCHREALTIME/[.,]/}"; }
else
    clock() { now=$(($(date +%s%N) / 1000)); }
fi

declare -a ir mean fastest same total best
for i in 0 1 2; do
    if ! run_tool "$i"; then
        echo "image_bench: ${names[$i]} failed on $mot" >&2
        [ "$i" -ne 0 ] || cat "$work/flashtool.log" >&2
        exit 1
    fi
    profile="$work/callgrind.${names[$i]}"
    run_tool "$i" valgrind --tool=callgrind --callgrind-out-file="$profile" >/dev/null 2>&1
    ir[$i]="$(awk '/^(summary|totals):/ { print $2; exit }' "$profile")"
    total[$i]=0
    best[$i]=""
done
# What every flashtool command pays before it reads its file: loading and the command line.
valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.start" "$flashtool" --version \
    >/dev/null 2>&1
start_ir="$(awk '/^(summary|totals):/ { print $2; exit }' "$work/callgrind.start")"

# The tools take turns, run by run, so that a load on the machine weighs on all of them alike.
for ((n = 0; n < runs; ++n)); do
    for i in 0 1 2; do
        clock
        start="$now"
        run_tool "$i"
        clock
        took=$((now - start))
        total[$i]=$((total[$i] + took))
        if [ -z "${best[$i]}" ] || [ "$took" -lt "${best[$i]}" ]; then
            best[$i]="$took"
        fi
    done
done
for i in 0 1 2; do
    mean[$i]="$(awk -v t="${total[$i]}" -v n="$runs" 'BEGIN { printf "%.3f", t / n / 1000 }')"
    fastest[$i]="$(awk -v t="${best[$i]}" 'BEGIN { printf "%.3f", t / 1000 }')"
done

for i in 0 1 2; do
    if cmp -s "${outputs[$i]}" "${outputs[2]}"; then
        same[$i]="yes"
    else
        same[$i]="NO"
    fi
done

echo "input: $mot, $(stat -c %s "$input") bytes; srec_cat image $(stat -c %s "${outputs[2]}") bytes"
echo "wall time over $runs runs each, the tools taking turns, after one warm-up run"
echo
printf '%-10s %15s %14s %14s %20s\n' tool "instructions" "mean ms" "fastest ms" "same as srec_cat"
for i in 0 1 2; do
    printf '%-10s %15s %14s %14s %20s\n' "${names[$i]}" "${ir[$i]}" "${mean[$i]}" \
        "${fastest[$i]}" "${same[$i]}"
done
echo "flashtool --version (start alone): $start_ir instructions"
echo
awk -v fi="${ir[0]}" -v oi="${ir[1]}" -v fw="${mean[0]}" -v ow="${mean[1]}" 'BEGIN {
    printf "flashtool/objcopy: instructions %.3f, wall time %.3f\n", fi / oi, fw / ow
}'

# The function list of callgrind_annotate as "instructions  share  file:function", without the
# folders and the argument lists, each function once: the first $1 entries, or of those whose
# file matches $2. Reads all its input, so that the listing never ends on a broken pipe.
entries() {
    awk -v limit="$1" -v files="${2:-.}" '
        shown >= limit { next }
        /^ *[0-9,]+ +[(] *[0-9.]+%[)] / && !/PROGRAM TOTALS/ {
            count = $1
            line = $0
            sub(/^ *[0-9,]+ +[(] *[0-9.]+%[)] +/, "", line)
            share = substr($0, index($0, "(") + 1)
            share = substr(share, 1, index(share, ")") - 1)
            gsub(/ /, "", share)
            gsub(/[(]anonymous namespace[)]::/, "", line)
            file = substr(line, 1, index(line, ":") - 1)
            name = substr(line, index(line, ":") + 1)
            if (file !~ files) next
            sub(/.*[/]/, "", file)
            sub(/ [[].*/, "", name)
            sub(/[(].*/, "", name)
            if ((file ":" name) in seen) next
            seen[file ":" name] = 1
            printf "%15s %7s  %s:%s\n", count, share, file, name
            ++shown
        }'
}

if [ "${ir[0]}" -gt "${ir[1]}" ] || [ "${PROFILE:-0}" = 1 ]; then
    profile="$work/callgrind.flashtool"
    echo
    echo "flashtool, the functions that execute the most instructions themselves:"
    callgrind_annotate --auto=no "$profile" | entries 15
    echo
    echo "flashtool, instructions of its own functions with all they call:"
    callgrind_annotate --auto=no --inclusive=yes "$profile" |
        entries 20 '(^|/)(cli|image|framework)/[A-Za-z0-9_]+[.](cpp|h)$|rtld[.]c$'
fi

if [ "${same[0]}" != yes ]; then
    echo "image_bench: flashtool's tmp.bin differs from srec_cat's image" >&2
    exit 1
fi
