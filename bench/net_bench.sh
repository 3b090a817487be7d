#!/usr/bin/env bash
# Line share of a real-time Flash through a serial server on the loopback:
#   bench/net_bench.sh [BUILD_DIR]
# unitsim's pseudo-terminal is served by ser2net once over RFC 2217 and once as a raw socket;
# flashtool flashes examples/LB1~4K_example.mot (17 KiB) through each, and its summary line gives
# the share of the 9600-baud line rate. CHARDELAY=true keeps ser2net's default character delay
# (it holds the unit's answers back to gather more) to show what it costs.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
chardelay="${CHARDELAY:-false}"
cp "$root/examples/LB1~4K_example.mot" "$work/"
mkdir -p "$work/flash"
start_unitsim unitsim --model VX310R --version A1.03 --restart-ms 500 --flash-dir "$work/flash"
for entry in "rfc telnet(rfc2217),tcp 47461" "raw tcp 47462"; do
    read -r name accepter port <<<"$entry"
    cat >>"$work/ser2net.yaml" <<YAML
connection: &$name
    accepter: $accepter,127.0.0.1,$port
    enable: on
    connector: serialdev,$pty,9600n81,local
    options:
        chardelay: $chardelay

YAML
done
ser2net -n -d -c "$work/ser2net.yaml" >"$work/ser2net.log" 2>&1 &
pids+=($!)
sleep 1
cd "$work"
for url in rfc2217://127.0.0.1:47461 tcp://127.0.0.1:47462; do
    "$build/cli/flashtool" flash "LB1~4K_example.mot" --port "$url" >out.txt 2>err.txt ||
        { cat err.txt; exit 1; }
    echo "$url (chardelay $chardelay): $(grep "line rate" out.txt)"
    cmp -s -n "$(stat -c %s tmp.bin)" tmp.bin flash/control.bin ||
        { echo "the unit's flash does not hold the image"; exit 1; }
    sleep 1  # the unit restarts after the block
done
