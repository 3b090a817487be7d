#!/usr/bin/env bash
# The main job: sets up, builds, and runs a whole Flash of the bundled 6K example firmware
# (MPPT block, the unit's restart, control block) against the built-in simulated unit, in real
# time at 9600 baud. Takes about a minute.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build
mkdir -p "$root/build/work"
cd "$root/build/work"
exec "$root/build/cli/flashtool" flash "$root/examples/Tilm6K_example.mot" --port sim "$@"
