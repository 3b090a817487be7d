#!/usr/bin/env bash
# The Windows build under Wine: its unit tests, then flashtool.exe flashing unitsim's
# pseudo-terminal through a Wine COM port, by name (COM7) and by number (7), then two units at
# once.
#   tests/windows/wine_tests.sh WINDOWS_BUILD_DIR UNITSIM
# Prints "N passed, N failed" and exits non-zero when anything failed.
set -uo pipefail
win="$(cd "$1" && pwd)"
unitsim="$2"
wine="$(command -v wine64 || echo /usr/lib/wine/wine64)"
work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
unitsim_pid=""
cleanup() {
    [ -n "$unitsim_pid" ] && kill "$unitsim_pid" 2>/dev/null
    "${wine%/*}/wineserver" -k 2>/dev/null || wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
. "$(dirname "$0")/lib.sh"

"$wine" wineboot -i >/dev/null 2>&1

"$wine" "$win/tests/unit_tests.exe" --gtest_brief=1 >"$work/unit.log" 2>&1
status=$?
tail -3 "$work/unit.log"
check "unit_tests.exe" "$status"

# A small image with the bytes a serial layer likes to mangle (0x00, 0x11, 0xFF).
cat >"$work/LB1~4K_wine.mot" <<'MOT'
S00600004844521B
S11300000011FF5F84A9CEF3183D6287ACD1F61BC3
S11300100011FF6F94B9DE03284D7297BCE1062BE3
S11300200011FF7FA4C9EE13385D82A7CCF1163B03
S11300300011FF8FB4D9FE23486D92B7DC01264B23
S11300400011FF9FC4E90E33587DA2C7EC11365B43
S11300500011FFAFD4F91E43688DB2D7FC21466B63
S11300600011FFBFE4092E53789DC2E70C31567B83
S11300700011FFCFF4193E6388ADD2F71C41668BA3
S9030000FC
MOT

for port in COM7 7; do
    flash="$work/flash-$port"
    mkdir -p "$flash"
    "$unitsim" --model VX310R --version A1.03 --flash-dir "$flash" >"$work/unitsim.out" 2>&1 &
    unitsim_pid=$!
    for _ in $(seq 50); do [ -s "$work/unitsim.out" ] && break; sleep 0.1; done
    pty="$(head -1 "$work/unitsim.out")"
    rm -f "$WINEPREFIX/dosdevices/com7"
    ln -s "$pty" "$WINEPREFIX/dosdevices/com7"
    (cd "$work" && "$wine" "$win/cli/flashtool.exe" flash 'LB1~4K_wine.mot' --port "$port" \
        --work-dir "run-$port" >"$work/out-$port.txt" 2>"$work/err-$port.txt")
    status=$?
    kill "$unitsim_pid" 2>/dev/null
    wait "$unitsim_pid" 2>/dev/null
    unitsim_pid=""
    ok=1
    if [ "$status" -ne 0 ] || ! grep -q "Programming successfully !" "$work/err-$port.txt"; then
        ok=0
        cat "$work/err-$port.txt"
    fi
    image="$work/run-$port/tmp.bin"
    if [ ! -f "$image" ] || [ ! -f "$flash/control.bin" ] ||
        ! cmp -s -n "$(stat -c %s "$image")" "$image" "$flash/control.bin"; then
        ok=0
        echo "the unit's flash does not hold the image"
    fi
    check "flashtool.exe flash --port $port" $((1 - ok))
done

# Two units at once, one by name and one by number, each served by a child flashtool.exe; both
# must hold the image the single runs built.
pids=()
for n in 7 8; do
    mkdir -p "$work/many-$n"
    "$unitsim" --model VX310R --version A1.03 --flash-dir "$work/many-$n" >"$work/many-$n.out" 2>&1 &
    pids+=($!)
done
for n in 7 8; do
    for _ in $(seq 50); do [ -s "$work/many-$n.out" ] && break; sleep 0.1; done
    rm -f "$WINEPREFIX/dosdevices/com$n"
    ln -s "$(head -1 "$work/many-$n.out")" "$WINEPREFIX/dosdevices/com$n"
done
(cd "$work" && "$wine" "$win/cli/flashtool.exe" flash 'LB1~4K_wine.mot' --port COM7 --port 8 \
    --json >"$work/many.jsonl" 2>"$work/many.err")
status=$?
kill "${pids[@]}" 2>/dev/null
wait "${pids[@]}" 2>/dev/null
ok=1
if [ "$status" -ne 0 ] || [ "$(grep -c '"result":"ok"' "$work/many.jsonl")" -ne 2 ]; then
    ok=0
    cat "$work/many.err" "$work/many.jsonl"
fi
for n in 7 8; do
    if ! cmp -s -n "$(stat -c %s "$work/run-7/tmp.bin")" "$work/run-7/tmp.bin" \
        "$work/many-$n/control.bin"; then
        ok=0
        echo "unit $n does not hold the image"
    fi
done
check "flashtool.exe flash --port COM7 --port 8" $((1 - ok))

echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
